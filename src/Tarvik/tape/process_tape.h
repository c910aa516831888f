// ProcessTape: hands a tape to the library and answers its message callbacks.
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* ProcessTape(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace tarvik
