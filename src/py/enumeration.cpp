#include "py/enumeration.hpp"

#include <cstring>
#include <string>

#include "py/convert.hpp"

namespace kavex::py {

namespace {

struct Member {
  long value;
  const char* name;
  const char* class_name;  // unqualified, points into the type's name
};

PyObject* member_repr(PyObject* self) noexcept {
  return guard([&] {
    const Member& m = payload<Member>(self);
    return to_py(std::string(m.class_name) + "." + m.name);
  });
}

PyObject* member_int(PyObject* self) noexcept { return PyLong_FromLong(payload<Member>(self).value); }

PyObject* member_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guard([&]() -> Ref {
    if (op != Py_EQ && op != Py_NE) return Ref::borrow(Py_NotImplemented);
    long mine = payload<Member>(self).value;
    bool equal;
    if (Py_TYPE(other) == Py_TYPE(self)) {
      equal = payload<Member>(other).value == mine;
    } else if (PyLong_Check(other)) {
      Ref value = Ref::check(PyLong_FromLong(mine));
      int eq = PyObject_RichCompareBool(value.get(), other, Py_EQ);
      check(eq);
      equal = eq != 0;
    } else {
      return Ref::borrow(Py_NotImplemented);
    }
    return boolean(op == Py_EQ ? equal : !equal);
  });
}

}  // namespace

Ref build_enum(const char* qualified_name, const char* doc, std::span<const EnumMember> members) {
  Ref type = build_type({
      .name = qualified_name,
      .doc = doc,
      .basicsize = static_cast<int>(sizeof(Instance<Member>)),
      .slots = {{Py_tp_repr, reinterpret_cast<void*>(&member_repr)},
                {Py_tp_richcompare, reinterpret_cast<void*>(&member_richcompare)},
                {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
                {Py_nb_int, reinterpret_cast<void*>(&member_int)},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Member>)}},
      .constructible = false,
  });
  const char* dot = std::strrchr(qualified_name, '.');
  const char* class_name = dot ? dot + 1 : qualified_name;
  for (const EnumMember& m : members) {
    Ref member = create(type.get(), Member{m.value, m.name, class_name});
    check(PyObject_SetAttrString(type.get(), m.name, member.get()));
  }
  return type;
}

}  // namespace kavex::py
