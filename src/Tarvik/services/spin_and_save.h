// Symbol spins and state saves requested from inside a ProcessTape callback.
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* SpinSymbols(PyObject* module, PyObject* args);
PyObject* SaveState(PyObject* module, PyObject* args);

}  // namespace tarvik
