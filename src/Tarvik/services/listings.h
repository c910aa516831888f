// Tape and library listings.
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* ListAPIDLLs(PyObject* module, PyObject* args);
PyObject* ListTapes(PyObject* module, PyObject* args);

}  // namespace tarvik
