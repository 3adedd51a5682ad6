// Argument conversion and parsing.
//
// Conversions take a borrowed object and the parameter name. A wrong type
// raises TypeError "argument 'NAME': expected X, got Y"; an integer outside
// the target width raises OverflowError with the same prefix. `None` is a
// wrong type unless the caller tests for it first (see `optional_arg`).
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "py/errors.hpp"

namespace kavex::py {

[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);
[[noreturn]] void raise_arg_overflow(const char* name, const char* target);

// UTF-8 view of a `str`; valid while the object lives.
std::string_view arg_str_slow(PyObject* o, const char* name);
inline std::string_view arg_str(PyObject* o, const char* name) {
  if (PyUnicode_CheckExact(o)) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(o, &size)) return {text, static_cast<std::size_t>(size)};
    throw ErrorAlreadySet{};  // e.g. lone surrogates
  }
  return arg_str_slow(o, name);
}
// Only `bool` is accepted (not int, not None).
bool arg_bool(PyObject* o, const char* name);
// The object itself after checking it is a dict (subclasses accepted).
PyObject* arg_dict(PyObject* o, const char* name);
// The object itself after checking it is a list (subclasses accepted).
PyObject* arg_list(PyObject* o, const char* name);

std::uint64_t arg_u64(PyObject* o, const char* name, const char* target);
std::int64_t arg_i64(PyObject* o, const char* name, const char* target);

template <std::integral T>
T arg_int(PyObject* o, const char* name) {
  if constexpr (std::same_as<T, bool>) {
    return arg_bool(o, name);
  } else if constexpr (std::is_unsigned_v<T>) {
    constexpr const char* target = sizeof(T) == 1 ? "u8" : sizeof(T) == 2 ? "u16" : sizeof(T) == 4 ? "u32" : "u64";
    std::uint64_t v = arg_u64(o, name, target);
    if (v > std::numeric_limits<T>::max()) raise_arg_overflow(name, target);
    return static_cast<T>(v);
  } else {
    constexpr const char* target = sizeof(T) == 1 ? "i8" : sizeof(T) == 2 ? "i16" : sizeof(T) == 4 ? "i32" : "i64";
    std::int64_t v = arg_i64(o, name, target);
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) raise_arg_overflow(name, target);
    return static_cast<T>(v);
  }
}

// `None` (or an omitted argument, null) gives nullopt; anything else goes
// through `convert(o, name)`.
template <class F>
auto optional_arg(PyObject* o, const char* name, F convert) -> std::optional<decltype(convert(o, name))> {
  if (o == nullptr || is_none(o)) return std::nullopt;
  return convert(o, name);
}

// ---------------------------------------------------------------------------
// Parameter lists. A signature names every parameter in order; the first
// `required` are mandatory. Parsing fills one borrowed slot per parameter,
// null where the argument was omitted, so defaults apply only to omitted
// arguments. All parameters are positional-or-keyword.

struct SignatureView {
  const char* function;  // for messages, e.g. "update"
  const char* const* names;
  std::size_t count;
  std::size_t required;
  // One slot per parameter: the keyword object first matched by text, kept
  // (with a strong reference, for the life of the process) so that later
  // calls match the interpreter's interned keyword names by identity.
  PyObject** seen;
};

// Signatures live in static storage (`static const Signature<N> sig{...}`):
// their keyword cache is filled on use and never released.
template <std::size_t N>
struct Signature {
  const char* function;
  std::array<const char*, N> names;
  std::size_t required = 0;
  mutable std::array<PyObject*, N> seen{};
  SignatureView view() const noexcept { return {function, names.data(), N, required, seen.data()}; }
};

template <std::size_t N>
using Args = std::array<PyObject*, N>;

// METH_FASTCALL | METH_KEYWORDS calling convention.
void parse_fastcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// tp_new / tp_init calling convention (tuple and optional dict).
void parse_tuple(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<N> out{};
  if (kwnames == nullptr && nargs >= static_cast<Py_ssize_t>(sig.required) && nargs <= static_cast<Py_ssize_t>(N)) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];  // positional only: done
    return out;
  }
  parse_fastcall(sig.view(), args, nargs, kwnames, out.data());
  return out;
}

template <std::size_t N>
Args<N> parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  Args<N> out{};
  parse_tuple(sig.view(), args, kwargs, out.data());
  return out;
}

// Python values from C++ values.
Ref to_py(std::string_view text);

// A new list with `to_object(item)` (a Ref) for each item, in order.
template <class Range, class F>
Ref list_of(Range&& items, F&& to_object) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t i = 0;
  for (auto&& item : items) PyList_SetItem(list.get(), i++, to_object(item).release());  // steals
  return list;
}
Ref to_py_u64(std::uint64_t value);
Ref to_py_double(double value);

}  // namespace kavex::py
