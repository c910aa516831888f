// The 28 record types handed to Python programs.
#pragma once

#include <Python.h>

namespace tarvik {

// Makes the 28 types ready in their fixed order; stops at the first failure
// and returns -1 with its exception set.
int ready_record_types();

// Binds the ready types in the module under their short names, in order.
void bind_record_types(PyObject* module);

}  // namespace tarvik
