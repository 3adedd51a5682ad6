#include "py/convert.hpp"

namespace kavex::py {

void raise_arg_type(const char* name, const char* expected, PyObject* got) {
  std::string message = "argument '";
  message += name;
  message += "': expected ";
  message += expected;
  message += ", got ";
  message += type_name(got);
  raise(PyExc_TypeError, message);
}

void raise_arg_overflow(const char* name, const char* target) {
  std::string message = "argument '";
  message += name;
  message += "': value out of range for ";
  message += target;
  raise(PyExc_OverflowError, message);
}

std::string_view arg_str_slow(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) raise_arg_type(name, "str", o);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &size);
  if (text == nullptr) throw ErrorAlreadySet{};  // e.g. lone surrogates
  return {text, static_cast<std::size_t>(size)};
}

bool arg_bool(PyObject* o, const char* name) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  raise_arg_type(name, "bool", o);
}

PyObject* arg_dict(PyObject* o, const char* name) {
  if (!PyDict_Check(o)) raise_arg_type(name, "dict", o);
  return o;
}

PyObject* arg_list(PyObject* o, const char* name) {
  if (!PyList_Check(o)) raise_arg_type(name, "list", o);
  return o;
}

std::uint64_t arg_u64(PyObject* o, const char* name, const char* target) {
  if (!PyLong_Check(o)) raise_arg_type(name, "int", o);
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    raise_arg_overflow(name, target);
  }
  return v;
}

std::int64_t arg_i64(PyObject* o, const char* name, const char* target) {
  if (!PyLong_Check(o)) raise_arg_type(name, "int", o);
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    raise_arg_overflow(name, target);
  }
  return v;
}

namespace {

[[noreturn]] void raise_call_error(SignatureView sig, const std::string& what) {
  raise(PyExc_TypeError, std::string(sig.function) + "() " + what);
}

void place(SignatureView sig, std::size_t i, PyObject* value, PyObject** out) {
  if (out[i] != nullptr) raise_call_error(sig, std::string("got multiple values for argument '") + sig.names[i] + "'");
  out[i] = value;
}

// Places one keyword argument into its slot: by identity with a keyword
// object seen before (the common, interned case), else by text.
void place_keyword(SignatureView sig, PyObject* key, PyObject* value, PyObject** out) {
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.seen[i] == key) return place(sig, i, value, out);
  }
  if (!PyUnicode_Check(key)) raise_call_error(sig, "keywords must be strings");
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
      if (sig.seen[i] == nullptr) {
        Py_INCREF(key);
        sig.seen[i] = key;
      }
      return place(sig, i, value, out);
    }
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) throw ErrorAlreadySet{};
  raise_call_error(sig, "got an unexpected keyword argument '" + std::string(text, static_cast<std::size_t>(size)) + "'");
}

void check_positional_count(SignatureView sig, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) > sig.count) {
    raise_call_error(sig, "takes at most " + std::to_string(sig.count) + " argument" + (sig.count == 1 ? "" : "s") +
                              " (" + std::to_string(nargs) + " given)");
  }
}

void check_required(SignatureView sig, PyObject** out) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) raise_call_error(sig, std::string("missing required argument '") + sig.names[i] + "'");
  }
}

}  // namespace

void parse_fastcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      place_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], out);
    }
  }
  check_required(sig, out);
}

void parse_tuple(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
  }
  check_required(sig, out);
}

Ref to_py(std::string_view text) {
  return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref to_py_u64(std::uint64_t value) { return Ref::check(PyLong_FromUnsignedLongLong(value)); }

Ref to_py_double(double value) { return Ref::check(PyFloat_FromDouble(value)); }

}  // namespace kavex::py
