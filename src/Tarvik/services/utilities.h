// Price, date and string helpers over the library's utility exports.
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* PriceFormat(PyObject* module, PyObject* args);
PyObject* PriceConvert(PyObject* module, PyObject* args);
PyObject* PriceToDouble(PyObject* module, PyObject* args);
PyObject* GetTapeName(PyObject* module, PyObject* unused);
PyObject* GetSymbolAtom32(PyObject* module, PyObject* unused);
PyObject* GetDefinedString(PyObject* module, PyObject* args);
PyObject* DateFromNDays(PyObject* module, PyObject* args);
PyObject* DateFromYMD(PyObject* module, PyObject* args);

}  // namespace tarvik
