// LoadTarvik, UnloadTarvik, APIVersion and the version split.
#pragma once

#include <Python.h>

#include "module/thread_data.h"

namespace tarvik {

PyObject* LoadTarvik(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* UnloadTarvik(PyObject* module, PyObject* unused);
PyObject* APIVersion(PyObject* module, PyObject* unused);
PyObject* GetMajorVersion(PyObject* module, PyObject* args);
PyObject* GetMinorVersion(PyObject* module, PyObject* args);
PyObject* GetBuildVersion(PyObject* module, PyObject* args);

// The calling thread's library binding, or null with RuntimeError set when
// no library is loaded on this thread.
ApiTable* loaded_api();

}  // namespace tarvik
