// KavexEngine (the owner of the current state), Transaction and
// OutboxCollector.
#pragma once

#include "py/ref.hpp"

namespace kavex {

PyObject* engine_type();
PyObject* transaction_type();
PyObject* outbox_collector_type();

bool is_transaction(PyObject* o);

}  // namespace kavex
