// Exception types of the system and the translation of C++ failures into
// Python exceptions at every entry point.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py/ref.hpp"

namespace kavex::py {

// Sets `type(message)` as the current Python exception and throws
// ErrorAlreadySet. The exception is built from one message string, so
// `err.args == (message,)`.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// The system's exception and warning types. Each is created on first use and
// kept for the life of the process; module initialisation is normally that
// first use. Each returns a borrowed reference and throws ErrorAlreadySet if
// the type cannot be created.
namespace exc {
PyObject* write_timeout_error();
PyObject* context_error();
PyObject* schema_violation_error();
PyObject* audit_block_error();
PyObject* audit_abort_error();
PyObject* audit_stop_error();
PyObject* audit_warning();
// Internal faults that ordinary use cannot reach (a poisoned lock, a failed
// runtime). Derived from BaseException and deliberately not exported.
PyObject* internal_fault();
}  // namespace exc

// Translates the C++ exception currently being handled into a Python
// exception. Call only inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs an entry point body that returns a Ref; returns the new reference, or
// NULL with a Python exception set. No C++ exception escapes.
template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The same for slots that report failure as -1 (init, setattro, setitem).
template <class F>
int guard_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// The Python-visible name of an object's type (`type(o).__name__`), for
// messages, or nothing when it cannot be read. Keeps any pending exception.
std::optional<std::string> try_type_name(PyObject* o) noexcept;
// The same with "object" standing in for an unreadable name.
std::string type_name(PyObject* o) noexcept;

}  // namespace kavex::py
