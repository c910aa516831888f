// The library's result codes and ProcessReturnValue, which prints their text.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tarvik {

// The text of a result code, or null for a code outside -16..1.
const char* return_code_text(int32_t code);

PyObject* ProcessReturnValue(PyObject* module, PyObject* args);

}  // namespace tarvik
