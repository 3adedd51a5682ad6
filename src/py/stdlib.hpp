// Calls into Python's standard library by module and attribute name.
#pragma once

#include "py/ref.hpp"

namespace kavex::py {

// `import module; return module.attr` (errors propagate as ErrorAlreadySet).
Ref import_attr(const char* module, const char* attr);

// copy.deepcopy(obj) or copy.deepcopy(obj, memo).
Ref deepcopy(PyObject* obj, PyObject* memo = nullptr);

}  // namespace kavex::py
