// Symbol filters and permission removal.
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* FilterSymbols(PyObject* module, PyObject* args);
PyObject* ExcludeSymbols(PyObject* module, PyObject* args);
PyObject* FilterSymbolsRange(PyObject* module, PyObject* args);
PyObject* RemovePermission(PyObject* module, PyObject* args);
PyObject* ExcludeOpraExch(PyObject* module, PyObject* args);

}  // namespace tarvik
