#include "py/errors.hpp"

#include <new>
#include <stdexcept>

namespace kavex::py {

void raise(PyObject* type, std::string_view message) {
  Ref text = Ref::check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyErr_SetObject(type, text.get());
  throw ErrorAlreadySet{};
}

namespace {

// Creates an exception class once per process. The dotted name gives the
// class its __module__ and __name__; no docstring, no namespace of its own.
PyObject* exception_type(PyObject*& slot, const char* dotted_name, PyObject* base) {
  if (slot == nullptr) {
    slot = PyErr_NewException(dotted_name, base, nullptr);
    if (slot == nullptr) throw ErrorAlreadySet{};
  }
  return slot;
}

}  // namespace

namespace exc {

#define KAVEX_EXCEPTION(fn, dotted, base)       \
  PyObject* fn() {                              \
    static PyObject* type = nullptr;            \
    return exception_type(type, dotted, base);  \
  }

KAVEX_EXCEPTION(write_timeout_error, "kavex_core.WriteTimeoutError", PyExc_TimeoutError)
KAVEX_EXCEPTION(context_error, "kavex.structures.ContextError", PyExc_Exception)
KAVEX_EXCEPTION(schema_violation_error, "kavex.config.SchemaViolationError", PyExc_Exception)
KAVEX_EXCEPTION(audit_block_error, "kavex_core.AuditBlockError", PyExc_RuntimeError)
KAVEX_EXCEPTION(audit_abort_error, "kavex_core.AuditAbortError", PyExc_RuntimeError)
KAVEX_EXCEPTION(audit_stop_error, "kavex_core.AuditStopError", PyExc_RuntimeError)
KAVEX_EXCEPTION(audit_warning, "kavex_core.AuditWarning", PyExc_UserWarning)
KAVEX_EXCEPTION(internal_fault, "kavex_core.InternalFault", PyExc_BaseException)

#undef KAVEX_EXCEPTION

}  // namespace exc

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "kavex_core: error reported without an exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    try {
      PyErr_SetString(exc::internal_fault(), e.what());
    } catch (...) {
      // internal_fault() left its own creation error set.
    }
  } catch (...) {
    try {
      PyErr_SetString(exc::internal_fault(), "unknown internal error");
    } catch (...) {
    }
  }
}

std::optional<std::string> try_type_name(PyObject* o) noexcept {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::optional<std::string> result;
  try {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
      if (text != nullptr) result.emplace(text, static_cast<std::size_t>(size));
    }
  } catch (...) {
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return result;
}

std::string type_name(PyObject* o) noexcept {
  try {
    return try_type_name(o).value_or("object");
  } catch (...) {
    return {};
  }
}

}  // namespace kavex::py
