// The library's named integer constants, added to the module at import.
#pragma once

#include <Python.h>

namespace tarvik {

// Adds the constants in table order. Failures are left pending for the
// import machinery, which then fails the import.
void add_constants(PyObject* module);

}  // namespace tarvik
