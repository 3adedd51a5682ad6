// Heap types from a declarative description, and the storage of C++ values
// inside Python objects.
//
// Every class of the extension is a heap type built once per process by
// `build_type`. Its C++ state lives in `Instance<T>::value`, constructed by
// `create<T>` (move-construction only, so nothing can fail half-way) and
// destroyed by `dealloc<T>`. Types that own Python references directly set
// Py_TPFLAGS_HAVE_GC and report exactly those references in tp_traverse.
#pragma once

#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#include "py/errors.hpp"

namespace kavex::py {

struct TypeSpec {
  // Fully qualified type name ("kavex_core.State"); must have static storage.
  const char* name;
  // "Name(signature)\n--\n\nText" so that inspect.signature works; may be null.
  const char* doc = nullptr;
  int basicsize = 0;
  unsigned flags = Py_TPFLAGS_DEFAULT;
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getset = nullptr;
  std::initializer_list<PyType_Slot> slots = {};
  // false: calling the class raises "No constructor defined for <Name>".
  bool constructible = true;
  // Set as __module__ after creation (for bare type names).
  const char* module = nullptr;
};

// Creates the type; throws ErrorAlreadySet on failure.
Ref build_type(const TypeSpec& spec);

// A type object created on first use and kept for the process's lifetime
// in `slot`; the result is a borrowed reference.
PyObject* lazy_type(PyObject*& slot, const TypeSpec& spec);

template <class T>
struct Instance {
  PyObject_HEAD
  T value;
};

template <class T>
T& payload(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

inline PyTypeObject* as_type(PyObject* type) noexcept { return reinterpret_cast<PyTypeObject*>(type); }

// Allocates an instance of `type` (which must have basicsize
// sizeof(Instance<T>) or more) holding `value`.
template <class T>
Ref create(PyObject* type, T&& value) {
  static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<T>>);
  using U = std::remove_cvref_t<T>;
  // Every class here keeps the default allocator.
  PyObject* self = PyType_GenericAlloc(as_type(type), 0);
  if (self == nullptr) throw ErrorAlreadySet{};
  new (&payload<U>(self)) U(std::forward<T>(value));
  return Ref::steal(self);
}

// tp_dealloc for Instance<T>.
template <class T>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  const bool gc = PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC;
  if (gc) PyObject_GC_UnTrack(self);
  payload<T>(self).~T();
  // The default deallocators of collected and plain heap types.
  if (gc) {
    PyObject_GC_Del(self);
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Entry-point adapters: turn C++ functions returning Ref into C slots.

template <class T>
using FastBody = Ref (*)(PyObject* self, T& value, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <class T, FastBody<T> F>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard([&] { return F(self, payload<T>(self), args, nargs, kwnames); });
}

template <class T>
using NoArgsBody = Ref (*)(PyObject* self, T& value);

template <class T, NoArgsBody<T> F>
PyObject* noargs(PyObject* self, PyObject*) noexcept {
  return guard([&] { return F(self, payload<T>(self)); });
}

template <class T, NoArgsBody<T> F>
PyObject* getter(PyObject* self, void*) noexcept {
  return guard([&] { return F(self, payload<T>(self)); });
}

template <class T, NoArgsBody<T> F>
PyObject* unary(PyObject* self) noexcept {
  return guard([&] { return F(self, payload<T>(self)); });
}

// Method table entries.
template <class T, FastBody<T> F>
constexpr PyMethodDef method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<T, F>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <class T, NoArgsBody<T> F>
constexpr PyMethodDef method_noargs(const char* name, const char* doc) {
  return {name, &noargs<T, F>, METH_NOARGS, doc};
}

template <class T, NoArgsBody<T> F>
constexpr PyGetSetDef readonly(const char* name, const char* doc = nullptr) {
  return {name, &getter<T, F>, nullptr, doc, nullptr};
}

// setattro that refuses deletion with "can't delete attribute" and otherwise
// defers to generic attribute assignment.
int refuse_delete_attr(PyObject* self, PyObject* name, PyObject* value) noexcept;
// NotImplementedError "can't delete item" / AttributeError "can't delete attribute".
[[noreturn]] void raise_cannot_delete_item();
[[noreturn]] void raise_cannot_delete_attribute();

}  // namespace kavex::py
