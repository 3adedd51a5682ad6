// Owning references to Python objects.
//
// Rules of the toolkit:
//  - `Ref` owns exactly one strong reference (or none). Copying increments,
//    destruction decrements; nothing else in the code base calls Py_DECREF.
//  - A raw `PyObject*` in a signature is *borrowed*: valid for the call only.
//  - Errors travel as C++ exceptions inside the extension. `ErrorAlreadySet`
//    means "a Python exception is set"; every entry point (see errors.hpp)
//    turns it, and any other C++ exception, into NULL plus a Python error.
//  - All operations on `Ref` need the interpreter lock.
#pragma once

#include <utility>

#include "py/python.hpp"

namespace kavex::py {

// Thrown after a Python exception was set (or left set by an API call).
struct ErrorAlreadySet {};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Adopts a new reference (may be null).
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Takes an extra reference to a borrowed object (may be null).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }
  // Adopts the result of an API call that returns a new reference or NULL
  // with an exception set.
  static Ref check(PyObject* p) {
    if (p == nullptr) throw ErrorAlreadySet{};
    return steal(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  PyObject* p_ = nullptr;
};

// Throws when a status-returning API call reported failure (-1).
inline void check(int status) {
  if (status < 0) throw ErrorAlreadySet{};
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
inline bool is_none(PyObject* o) noexcept { return o == Py_None; }

}  // namespace kavex::py
