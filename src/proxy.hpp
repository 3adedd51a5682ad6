// SupervisorProxy: hands out the objects inside a wrapped Python object
// itself (no copies) and routes every attribute and item write through
// itself, refusing it when read-only and reporting it to the transaction's
// `log_delta` otherwise.
#pragma once

#include <string>

#include "py/ref.hpp"

namespace kavex {

// The class object (borrowed), created on first use.
PyObject* supervisor_proxy_type();

// A new proxy (exact SupervisorProxy type); transaction may be a null Ref
// (no transaction).
py::Ref make_proxy(py::Ref target, std::string path, bool read_only, py::Ref transaction);

}  // namespace kavex
