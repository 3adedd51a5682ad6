#include "proxy.hpp"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <utility>

#include "py/convert.hpp"
#include "py/type_builder.hpp"

namespace kavex {

namespace {

using namespace py;

// ---------------------------------------------------------------------------
// The value behind a proxy. What it means is fixed at construction: only the
// text of the path may be joined later (see `path()`), and only the cycle
// collector ever empties `target` and `transaction` (tp_clear).

struct Proxy {
  Ref target;
  Ref transaction;  // null: no transaction
  bool read_only = false;

  // The wrapped object; None once the cycle collector has cleared the proxy.
  PyObject* wrapped() const noexcept { return target ? target.get() : Py_None; }

  // The dotted path (an exact str, possibly empty). A proxy made by a read
  // through another one keeps its parent's path and the step's text and
  // joins them on first use: most children are read from and dropped
  // without anyone asking for their path.
  PyObject* path() const;

  mutable Ref full_path;    // null until joined
  mutable Ref parent_path;  // with `step`, while `full_path` is null
  mutable Ref step;         // an attribute name or the text of a key
  char step_open = 0;       // '.' (attribute) or '[' (item)
};

// The exact class, and the tables the attribute paths consult. Both are
// built by supervisor_proxy_type() before it hands out the class, so they
// exist whenever a proxy does. Neither is ever freed: static destructors
// run after the interpreter is gone.
PyObject* proxy_type_slot = nullptr;

// How the exact proxy class and dict treat an attribute name.
enum NameKind : long {
  kOtherName = 0,
  kProxyAttribute = 1,  // found by normal lookup on an exact proxy
  kDictAttribute = 2,   // found by getattr on a plain dict
};

struct Tables {
  // Interned names of the methods and attributes used on wrapped objects.
  Ref getitem, setitem, get, contains, iter, copy, to_dict, log_delta, dunder_dict;
  Ref empty;  // ""
  // NameKind flags (int) of every name in dir() of the exact proxy class or
  // of dict. Both classes are immutable and their instances have no
  // __dict__, so these are exactly the names normal attribute lookup can
  // find on their instances.
  Ref name_kinds;
  allocfunc alloc = nullptr;  // the exact class's tp_alloc
};
const Tables* tables = nullptr;

Ref intern(const char* text) { return Ref::check(PyUnicode_InternFromString(text)); }

void add_name_kind(PyObject* kinds, PyObject* type, long kind) {
  Ref names = Ref::check(PyObject_Dir(type));
  const Py_ssize_t n = PyList_Size(names.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyList_GetItem(names.get(), i);
    PyObject* known = PyDict_GetItemWithError(kinds, name);
    if (known == nullptr && PyErr_Occurred()) throw ErrorAlreadySet{};
    const long flags = known != nullptr ? PyLong_AsLong(known) | kind : kind;
    Ref value = Ref::check(PyLong_FromLong(flags));
    check(PyDict_SetItem(kinds, name, value.get()));
  }
}

void build_tables(PyObject* type) {
  auto t = std::make_unique<Tables>();
  t->getitem = intern("__getitem__");
  t->setitem = intern("__setitem__");
  t->get = intern("get");
  t->contains = intern("__contains__");
  t->iter = intern("__iter__");
  t->copy = intern("copy");
  t->to_dict = intern("to_dict");
  t->log_delta = intern("log_delta");
  t->dunder_dict = intern("__dict__");
  t->empty = intern("");
  t->name_kinds = Ref::check(PyDict_New());
  add_name_kind(t->name_kinds.get(), type, kProxyAttribute);
  add_name_kind(t->name_kinds.get(), reinterpret_cast<PyObject*>(&PyDict_Type), kDictAttribute);
  t->alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(as_type(type), Py_tp_alloc));
  tables = t.release();
}

// The NameKind flags of an exact str.
long name_kind(PyObject* name) {
  PyObject* kind = PyDict_GetItemWithError(tables->name_kinds.get(), name);
  if (kind != nullptr) return PyLong_AsLong(kind);
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
  return kOtherName;
}

bool is_exact_proxy(PyObject* o) noexcept { return Py_TYPE(o) == as_type(proxy_type_slot); }

// ---------------------------------------------------------------------------
// Errors.

// Lets a pending exception that is not an Exception (KeyboardInterrupt,
// SystemExit, ...) propagate: the places that turn a failed read into
// another error, or discard it, only mean ordinary errors.
void pass_on_base_exceptions() {
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet{};
}

// Raises `type(format % ...)` in place of the pending exception, if any,
// which becomes the new exception's __context__ (as raising inside an
// `except` block does), so the original failure stays visible.
[[noreturn]] void raise_instead(PyObject* type, const char* format, ...) {
  PyObject *old_type = nullptr, *old_value = nullptr, *old_tb = nullptr;
  PyErr_Fetch(&old_type, &old_value, &old_tb);
  if (old_type != nullptr) {
    PyErr_NormalizeException(&old_type, &old_value, &old_tb);
    if (old_value != nullptr && old_tb != nullptr) PyException_SetTraceback(old_value, old_tb);
  }
  Ref previous_type = Ref::steal(old_type), previous = Ref::steal(old_value), previous_tb = Ref::steal(old_tb);

  std::va_list args;
  va_start(args, format);
  Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (!message) throw ErrorAlreadySet{};
  PyErr_SetObject(type, message.get());

  if (previous) {
    PyObject *new_type = nullptr, *new_value = nullptr, *new_tb = nullptr;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    if (new_value != nullptr) PyException_SetContext(new_value, previous.release());
    PyErr_Restore(new_type, new_value, new_tb);
  }
  throw ErrorAlreadySet{};
}

// KeyError(key), the way dict reports a missing key (a tuple key is not
// unpacked into the exception's arguments).
[[noreturn]] void raise_key_error(PyObject* key) {
  Ref args = Ref::check(PyTuple_Pack(1, key));
  PyErr_SetObject(PyExc_KeyError, args.get());
  throw ErrorAlreadySet{};
}

[[noreturn]] void raise_missing_key(PyObject* name, PyObject* path) {
  raise_instead(PyExc_AttributeError,
                "'SupervisorProxy[dict]' object has no attribute '%U'. "
                "(Hint: Key '%U' missing in wrapped dict at path '%U')",
                name, name, path);
}

// ---------------------------------------------------------------------------
// Paths.

Ref exact_str(PyObject* text) {
  if (PyUnicode_CheckExact(text)) return Ref::borrow(text);
  return Ref::check(PyUnicode_FromObject(text));
}

// `path + open + text` (with a closing ']' after an opening '['), or `text`
// alone when `path` is empty.
Ref join_path(PyObject* path, PyObject* text, char open) {
  const char close = open == '[' ? ']' : 0;
  Py_ssize_t path_size = 0, text_size = 0;
  const char* path_utf8 = PyUnicode_AsUTF8AndSize(path, &path_size);
  const char* text_utf8 = path_utf8 != nullptr ? PyUnicode_AsUTF8AndSize(text, &text_size) : nullptr;
  if (text_utf8 == nullptr) {
    // Strings with lone surrogates have no UTF-8 form: format the objects.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    if (PyUnicode_GetLength(path) == 0) return exact_str(text);
    if (close == 0) return Ref::check(PyUnicode_FromFormat("%U%c%U", path, open, text));
    return Ref::check(PyUnicode_FromFormat("%U%c%U%c", path, open, text, close));
  }
  if (path_size == 0) return exact_str(text);

  const auto head = static_cast<std::size_t>(path_size), tail = static_cast<std::size_t>(text_size);
  const std::size_t size = head + 1 + tail + (close != 0 ? 1 : 0);
  char small[128];
  std::unique_ptr<char[]> large;
  char* out = small;
  if (size > sizeof small) {
    large = std::make_unique<char[]>(size);
    out = large.get();
  }
  std::memcpy(out, path_utf8, head);
  out[head] = open;
  std::memcpy(out + head + 1, text_utf8, tail);
  if (close != 0) out[size - 1] = close;
  return Ref::check(PyUnicode_FromStringAndSize(out, static_cast<Py_ssize_t>(size)));
}

PyObject* Proxy::path() const {
  if (!full_path) {
    full_path = join_path(parent_path.get(), step.get(), step_open);
    parent_path.reset();
    step.reset();
  }
  return full_path.get();
}

// The text of a key in paths: str(key).
Ref key_text(PyObject* key) { return exact_str(Ref::check(PyObject_Str(key)).get()); }

// ---------------------------------------------------------------------------
// Creating proxies and wrapping values read through them.

Ref new_proxy(PyObject* type, Ref target, Ref path, bool read_only, Ref transaction) {
  if (transaction && is_none(transaction.get())) transaction.reset();
  return create(type, Proxy{.target = std::move(target),
                            .transaction = std::move(transaction),
                            .read_only = read_only,
                            .full_path = std::move(path),
                            .parent_path = {},
                            .step = {},
                            .step_open = 0});
}

// Whether a value read through a proxy is handed out wrapped: dicts and
// objects with a __dict__ attribute are.
bool needs_wrapping(PyObject* value) {
  if (PyDict_Check(value)) return true;
  // Common built-in types whose instances have no __dict__ (answered without
  // a failing attribute read).
  PyTypeObject* type = Py_TYPE(value);
  if (value == Py_None || type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type ||
      type == &PyBool_Type || type == &PyList_Type || type == &PyTuple_Type || type == &PyBytes_Type ||
      type == &PySet_Type || type == &PyFrozenSet_Type || type == &PyCFunction_Type ||
      type == as_type(proxy_type_slot)) {
    return false;
  }
  Ref dict = Ref::steal(PyObject_GetAttr(value, tables->dunder_dict.get()));
  if (dict) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
  PyErr_Clear();
  return false;
}

// A child proxy over `value` (read through `parent`): same flag and
// transaction, path = the parent's path extended by `step` (an exact str;
// see Proxy::path).
Ref make_child(const Proxy& parent, Ref value, Ref step, char open) {
  Ref parent_path = Ref::borrow(parent.path());
  PyObject* self = tables->alloc(as_type(proxy_type_slot), 0);
  if (self == nullptr) throw ErrorAlreadySet{};
  new (&payload<Proxy>(self)) Proxy{.target = std::move(value),
                                    .transaction = parent.transaction,
                                    .read_only = parent.read_only,
                                    .full_path = {},
                                    .parent_path = std::move(parent_path),
                                    .step = std::move(step),
                                    .step_open = open};
  return Ref::steal(self);
}

// ---------------------------------------------------------------------------
// Reads.

// target[key] through the target's own __getitem__.
Ref get_item(PyObject* target, PyObject* key) {
  if (PyDict_CheckExact(target)) {
    if (PyObject* value = PyDict_GetItemWithError(target, key)) return Ref::borrow(value);
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    raise_key_error(key);
  }
  return Ref::check(PyObject_CallMethodObjArgs(target, tables->getitem.get(), key, nullptr));
}

bool starts_with_underscore(PyObject* name) {
  return PyUnicode_GetLength(name) > 0 && PyUnicode_ReadChar(name, 0) == '_';
}

// The attribute `name` of the target or, for dict targets, its key `name`.
// `kind` holds the name's NameKind flags when known, -1 otherwise.
Ref attribute_or_key(const Proxy& p, PyObject* name, long kind) {
  PyObject* target = p.wrapped();
  if (PyDict_CheckExact(target) && PyUnicode_CheckExact(name)) {
    if (kind < 0) kind = name_kind(name);
    if (!(kind & kDictAttribute)) {
      // A plain dict has no attributes besides its class's: go straight to
      // the key instead of through a failing getattr.
      if (PyObject* value = PyDict_GetItemWithError(target, name)) return Ref::borrow(value);
      pass_on_base_exceptions();
      raise_missing_key(name, p.path());
    }
  }
  Ref value = Ref::steal(PyObject_GetAttr(target, name));
  if (value) return value;
  pass_on_base_exceptions();
  if (!PyDict_Check(target)) {
    const std::string type = type_name(target);
    raise_instead(PyExc_AttributeError, "'SupervisorProxy[%s]' object has no attribute '%U'. (Path: '%U')",
                  type.c_str(), name, p.path());
  }
  PyErr_Clear();
  value = Ref::steal(PyObject_CallMethodObjArgs(target, tables->getitem.get(), name, nullptr));
  if (value) return value;
  pass_on_base_exceptions();
  raise_missing_key(name, p.path());
}

// An attribute read that normal lookup on the proxy did not answer.
Ref read_missing_attribute(const Proxy& p, PyObject* name, long kind) {
  if (!PyUnicode_Check(name)) raise_arg_type("name", "str", name);
  if (starts_with_underscore(name)) {
    raise_instead(PyExc_AttributeError, "'SupervisorProxy' object has no attribute '%U'", name);
  }
  Ref value = attribute_or_key(p, name, kind);
  if (!needs_wrapping(value.get())) return value;
  return make_child(p, std::move(value), exact_str(name), '.');
}

// Normal attribute lookup first: the proxy's own attributes win over the
// target's attributes and keys.
PyObject* proxy_getattro(PyObject* self, PyObject* name) noexcept {
  if (is_exact_proxy(self) && PyUnicode_CheckExact(name)) {
    // Only names the (immutable) class defines can be found on an exact
    // proxy, which has no __dict__: skip the failing generic lookup.
    return guard([&] {
      const long kind = name_kind(name);
      if (kind & kProxyAttribute) {
        PyObject* found = PyObject_GenericGetAttr(self, name);
        if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref::check(found);
        PyErr_Clear();
      }
      return read_missing_attribute(payload<Proxy>(self), name, kind);
    });
  }
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  return guard([&] { return read_missing_attribute(payload<Proxy>(self), name, -1); });
}

PyObject* proxy_subscript(PyObject* self, PyObject* key) noexcept {
  return guard([&] {
    const Proxy& p = payload<Proxy>(self);
    Ref value = get_item(p.wrapped(), key);
    if (!needs_wrapping(value.get())) return value;
    return make_child(p, std::move(value), key_text(key), '[');
  });
}

// ---------------------------------------------------------------------------
// Writes.

// The value a write replaces, for the log: the result of `read`, or None
// when the read failed (the error is dropped).
Ref logged_old_value(PyObject* read) {
  if (read != nullptr) return Ref::steal(read);
  pass_on_base_exceptions();
  PyErr_Clear();
  return none();
}

// The dict's value under `key` (its `get`), or None when that read fails.
Ref dict_old_value(PyObject* target, PyObject* key) {
  if (PyDict_CheckExact(target)) {
    if (PyObject* value = PyDict_GetItemWithError(target, key)) return Ref::borrow(value);
    return logged_old_value(nullptr);
  }
  return logged_old_value(PyObject_CallMethodObjArgs(target, tables->get.get(), key, nullptr));
}

// Reports a write to the transaction's log_delta, when it has one. Failures
// of the lookup and of the call are dropped: the write goes ahead anyway.
void report_write(PyObject* transaction, PyObject* full_path, PyObject* old_value, PyObject* value) {
  Ref log = Ref::steal(PyObject_GetAttr(transaction, tables->log_delta.get()));
  if (log) {
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(log.get(), full_path, old_value, value, nullptr));
    if (result) return;
  }
  pass_on_base_exceptions();
  PyErr_Clear();
}

void set_key(PyObject* target, PyObject* key, PyObject* value) {
  if (PyDict_CheckExact(target)) {
    check(PyDict_SetItem(target, key, value));
  } else {
    Ref result = Ref::check(PyObject_CallMethodObjArgs(target, tables->setitem.get(), key, value, nullptr));
  }
}

int proxy_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return guard_status([&] {
    if (value == nullptr) raise_cannot_delete_attribute();
    if (!PyUnicode_Check(name)) raise_arg_type("name", "str", name);
    const Proxy& p = payload<Proxy>(self);
    if (p.read_only) {
      raise_instead(PyExc_PermissionError, "PURE process cannot write to '%U.%U'", p.path(), name);
    }
    PyObject* target = p.wrapped();
    const bool is_dict = PyDict_Check(target);
    if (p.transaction) {
      Ref full_path = join_path(p.path(), name, '.');
      Ref old = is_dict ? dict_old_value(target, name) : logged_old_value(PyObject_GetAttr(target, name));
      report_write(p.transaction.get(), full_path.get(), old.get(), value);
    }
    if (is_dict) {
      set_key(target, name, value);
    } else {
      check(PyObject_SetAttr(target, name, value));
    }
  });
}

int proxy_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
  return guard_status([&] {
    if (value == nullptr) raise_cannot_delete_item();
    const Proxy& p = payload<Proxy>(self);
    if (p.read_only) raise(PyExc_PermissionError, "PURE process cannot write");
    PyObject* target = p.wrapped();
    if (p.transaction) {
      Ref full_path = join_path(p.path(), key_text(key).get(), '[');
      Ref old = dict_old_value(target, key);
      report_write(p.transaction.get(), full_path.get(), old.get(), value);
    }
    set_key(target, key, value);
  });
}

// ---------------------------------------------------------------------------
// Membership, iteration, rendering and the Python-visible members.

int proxy_contains(PyObject* self, PyObject* key) noexcept {
  try {
    PyObject* target = payload<Proxy>(self).wrapped();
    Ref result = Ref::check(PyObject_CallMethodObjArgs(target, tables->contains.get(), key, nullptr));
    if (!PyBool_Check(result.get())) {
      raise(PyExc_TypeError, "__contains__ should return bool, returned " + type_name(result.get()));
    }
    return result.get() == Py_True ? 1 : 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

Ref proxy_iter(PyObject*, Proxy& self) {
  return Ref::check(PyObject_CallMethodObjArgs(self.wrapped(), tables->iter.get(), nullptr));
}

Ref proxy_repr(PyObject*, Proxy& self) {
  const std::string type = type_name(self.wrapped());
  return Ref::check(PyUnicode_FromFormat("<SupervisorProxy[%s] at path='%U'>", type.c_str(), self.path()));
}

Ref proxy_is_proxy(PyObject*, Proxy&) { return boolean(true); }

Ref proxy_to_dict(PyObject*, Proxy& self) {
  PyObject* target = self.wrapped();
  Ref method = Ref::steal(PyObject_GetAttr(target, tables->to_dict.get()));
  if (method) return Ref::check(PyObject_CallNoArgs(method.get()));
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
  PyErr_Clear();
  if (PyDict_Check(target)) return Ref::check(PyObject_CallMethodObjArgs(target, tables->copy.get(), nullptr));
  raise(PyExc_AttributeError, "Wrapped object has no to_dict");
}

Ref proxy_get_path(PyObject*, Proxy& self) { return Ref::borrow(self.path()); }
Ref proxy_get_read_only(PyObject*, Proxy& self) { return boolean(self.read_only); }
Ref proxy_get_target(PyObject*, Proxy& self) { return Ref::borrow(self.wrapped()); }

PyObject* proxy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<4> sig{"SupervisorProxy", {"target", "path", "read_only", "transaction"}, 1};
    auto a = parse(sig, args, kwargs);
    Ref path = tables->empty;
    if (a[1] != nullptr) {
      if (!PyUnicode_Check(a[1])) raise_arg_type("path", "str", a[1]);
      path = exact_str(a[1]);
    }
    const bool read_only = a[2] != nullptr && arg_bool(a[2], "read_only");
    return new_proxy(reinterpret_cast<PyObject*>(type), Ref::borrow(a[0]), std::move(path), read_only,
                     Ref::borrow(a[3]));
  });
}

int proxy_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  const Proxy& p = payload<Proxy>(self);
  Py_VISIT(p.target.get());
  Py_VISIT(p.transaction.get());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int proxy_clear(PyObject* self) noexcept {
  Proxy& p = payload<Proxy>(self);
  p.target.reset();
  p.transaction.reset();
  return 0;
}

PyMethodDef proxy_methods[] = {
    method_noargs<Proxy, proxy_is_proxy>("is_proxy",
                                         "is_proxy($self)\n--\n\n"
                                         "Helper for users confused by type checks\n"
                                         "\"isinstance(proxy, dict)\" fails, so we provide this hint."),
    method_noargs<Proxy, proxy_to_dict>("to_dict",
                                        "to_dict($self)\n--\n\n"
                                        "Conversion to dict (Delegates to target or returns None)"),
    {},
};

PyGetSetDef proxy_getset[] = {
    readonly<Proxy, proxy_get_path>("path"),
    readonly<Proxy, proxy_get_read_only>("read_only"),
    readonly<Proxy, proxy_get_target>("supervisor_target", "Get the underlying target (for internal use)"),
    {},
};

}  // namespace

PyObject* supervisor_proxy_type() {
  PyObject* type = lazy_type(
      proxy_type_slot,
      {
          .name = "kavex_core.SupervisorProxy",
          .doc = "SupervisorProxy(target, path=..., read_only=False, transaction=None)\n--\n\n"
                 "SupervisorProxy - The Gatekeeper for Python object access\n\n"
                 "Unlike FrozenDict which returns copies, SupervisorProxy returns\n"
                 "the original Python object while intercepting mutations.",
          .basicsize = static_cast<int>(sizeof(Instance<Proxy>)),
          // Immutable, so the attribute names of the exact class stay those
          // recorded in the tables; Python subclasses are not affected.
          .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
          .methods = proxy_methods,
          .getset = proxy_getset,
          .slots = {{Py_tp_new, reinterpret_cast<void*>(&proxy_new)},
                    {Py_tp_getattro, reinterpret_cast<void*>(&proxy_getattro)},
                    {Py_tp_setattro, reinterpret_cast<void*>(&proxy_setattro)},
                    {Py_tp_repr, reinterpret_cast<void*>(&unary<Proxy, proxy_repr>)},
                    {Py_tp_str, reinterpret_cast<void*>(&unary<Proxy, proxy_repr>)},
                    {Py_tp_iter, reinterpret_cast<void*>(&unary<Proxy, proxy_iter>)},
                    {Py_mp_subscript, reinterpret_cast<void*>(&proxy_subscript)},
                    {Py_mp_ass_subscript, reinterpret_cast<void*>(&proxy_ass_subscript)},
                    {Py_sq_contains, reinterpret_cast<void*>(&proxy_contains)},
                    {Py_tp_traverse, reinterpret_cast<void*>(&proxy_traverse)},
                    {Py_tp_clear, reinterpret_cast<void*>(&proxy_clear)},
                    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Proxy>)}},
      });
  if (tables == nullptr) build_tables(type);
  return type;
}

Ref make_proxy(Ref target, std::string path, bool read_only, Ref transaction) {
  PyObject* type = supervisor_proxy_type();
  return new_proxy(type, std::move(target), to_py(path), read_only, std::move(transaction));
}

}  // namespace kavex
