#include "py/type_builder.hpp"

#include <string>
#include <vector>

#include "structmember.h"

namespace kavex::py {

namespace {

// tp_new of classes that Python code may not instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return guard([&]() -> Ref {
    Ref name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) throw ErrorAlreadySet{};
    raise(PyExc_TypeError, "No constructor defined for " + std::string(text, static_cast<std::size_t>(size)));
  });
}

// A bare type name gives a type without __module__, and the interpreter warns
// about it while creating the type. A placeholder entry under that name keeps
// it quiet; build_type replaces it with the real text right away.
PyMemberDef module_placeholder[] = {
    {"__module__", T_OBJECT, 0, READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

Ref build_type(const TypeSpec& spec) {
  std::vector<PyType_Slot> slots(spec.slots);
  if (spec.module != nullptr) slots.push_back({Py_tp_members, module_placeholder});
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getset != nullptr) slots.push_back({Py_tp_getset, spec.getset});
  if (!spec.constructible) slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec{spec.name, spec.basicsize, 0, spec.flags, slots.data()};
  Ref type = Ref::check(PyType_FromSpec(&type_spec));
  if (spec.module != nullptr) {
    Ref module = Ref::check(PyUnicode_FromString(spec.module));
    check(PyObject_SetAttrString(type.get(), "__module__", module.get()));
  }
  return type;
}

PyObject* lazy_type(PyObject*& slot, const TypeSpec& spec) {
  if (slot == nullptr) slot = build_type(spec).release();
  return slot;
}

void raise_cannot_delete_item() { raise(PyExc_NotImplementedError, "can't delete item"); }

void raise_cannot_delete_attribute() { raise(PyExc_AttributeError, "can't delete attribute"); }

int refuse_delete_attr(PyObject* self, PyObject* name, PyObject* value) noexcept {
  if (value == nullptr) {
    return guard_status([] { raise_cannot_delete_attribute(); });
  }
  return PyObject_GenericSetAttr(self, name, value);
}

}  // namespace kavex::py
