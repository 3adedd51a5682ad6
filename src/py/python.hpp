// The one place that includes Python.h: every translation unit of the
// extension sees the same limited-API level through this header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030A0000
#error "kavex_core is built against the stable ABI of Python 3.10 (Py_LIMITED_API=0x030A0000)"
#endif
