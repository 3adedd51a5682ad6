// Initialisation of the two extension modules, kavex_core and kavex_shm.
//
// Both are single-phase modules created at most once per process and cached;
// a repeated initialisation returns the cached module. The first interpreter
// that initialises a module owns it: any other interpreter gets ImportError.
#pragma once

#include "py/python.hpp"

extern "C" {
PyMODINIT_FUNC PyInit_kavex_core(void);
PyMODINIT_FUNC PyInit_kavex_shm(void);
}
