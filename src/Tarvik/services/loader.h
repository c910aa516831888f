// LoadTarvik, UnloadTarvik, APIVersion and the version split.
#pragma once

#include <Python.h>


namespace tarvik {

PyObject* LoadTarvik(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* UnloadTarvik(PyObject* module, PyObject* unused);
PyObject* APIVersion(PyObject* module, PyObject* unused);
PyObject* GetMajorVersion(PyObject* module, PyObject* args);
PyObject* GetMinorVersion(PyObject* module, PyObject* args);
PyObject* GetBuildVersion(PyObject* module, PyObject* args);

}  // namespace tarvik
