// RemovePermission and ExcludeOpraExch: take permissions away from the
// thread's library (the library's optional sTarvikExcludeOpraExch).
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* RemovePermission(PyObject* module, PyObject* args);
PyObject* ExcludeOpraExch(PyObject* module, PyObject* args);

}  // namespace tarvik
