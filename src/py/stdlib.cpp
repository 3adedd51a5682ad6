#include "py/stdlib.hpp"

namespace kavex::py {

Ref import_attr(const char* module, const char* attr) {
  Ref mod = Ref::check(PyImport_ImportModule(module));
  return Ref::check(PyObject_GetAttrString(mod.get(), attr));
}

Ref deepcopy(PyObject* obj, PyObject* memo) {
  Ref fn = import_attr("copy", "deepcopy");
  return Ref::check(PyObject_CallFunctionObjArgs(fn.get(), obj, memo, nullptr));
}

}  // namespace kavex::py
