#include "buffer_descriptor.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "py/convert.hpp"
#include "py/type_builder.hpp"

namespace kavex {

namespace {

using namespace py;

struct Descriptor {
  std::string name;
  std::size_t size;
  std::vector<std::size_t> shape;
  std::string dtype;
};

std::vector<std::size_t> convert_shape(PyObject* o) {
  // Any sequence of non-negative ints except text, which is a sequence too.
  if (PyUnicode_Check(o) || !PySequence_Check(o)) raise_arg_type("shape", "a sequence of int", o);
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) throw ErrorAlreadySet{};
  std::vector<std::size_t> shape;
  shape.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::check(PySequence_GetItem(o, i));
    shape.push_back(arg_int<std::size_t>(item.get(), "shape"));
  }
  return shape;
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&] {
    static const Signature<4> sig{"BufferDescriptor", {"name", "size", "shape", "dtype"}, 4};
    auto a = parse(sig, args, kwargs);
    Descriptor d{
        std::string(arg_str(a[0], "name")),
        arg_int<std::size_t>(a[1], "size"),
        convert_shape(a[2]),
        std::string(arg_str(a[3], "dtype")),
    };
    return create(reinterpret_cast<PyObject*>(type), std::move(d));
  });
}

Ref get_name(PyObject*, Descriptor& d) { return to_py(d.name); }
Ref get_size(PyObject*, Descriptor& d) { return to_py_u64(d.size); }
Ref get_dtype(PyObject*, Descriptor& d) { return to_py(d.dtype); }

Ref get_shape(PyObject*, Descriptor& d) { return list_of(d.shape, to_py_u64); }

Ref repr(PyObject*, Descriptor& d) {
  std::string text = "<BufferDescriptor name='" + d.name + "' size=" + std::to_string(d.size) + " shape=[";
  for (std::size_t i = 0; i < d.shape.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(d.shape[i]);
  }
  text += "] dtype='" + d.dtype + "'>";
  return to_py(text);
}

PyGetSetDef getset[] = {
    readonly<Descriptor, get_name>("name"),
    readonly<Descriptor, get_size>("size"),
    readonly<Descriptor, get_shape>("shape"),
    readonly<Descriptor, get_dtype>("dtype"),
    {},
};

}  // namespace

PyObject* buffer_descriptor_type() {
  static PyObject* type = nullptr;
  return lazy_type(type, {
      .name = "BufferDescriptor",
      .doc = "BufferDescriptor(name, size, shape, dtype)\n--\n\n"
             "BufferDescriptor: The \"Passport\" for Zero-Copy Data.\n"
             "Contains metadata needed for Python to reconstruct a memoryview.",
      .basicsize = static_cast<int>(sizeof(Instance<Descriptor>)),
      .getset = getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&descriptor_new)},
                {Py_tp_repr, reinterpret_cast<void*>(&unary<Descriptor, repr>)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Descriptor>)}},
      .module = "builtins",
  });
}

}  // namespace kavex
