// ConflictManager and RetryDecision: the Python faces of the conflict
// counters (backoff with jitter, one priority holder).
#pragma once

#include "core/conflict.hpp"
#include "py/ref.hpp"

namespace kavex {

PyObject* conflict_manager_type();
PyObject* retry_decision_type();

py::Ref make_retry_decision(const RetryDecision& decision);

}  // namespace kavex
