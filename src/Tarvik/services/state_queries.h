// State queries: a symbol's exchange quotes, market-maker quotes and last trade.
#pragma once

#include <Python.h>

namespace tarvik {

PyObject* StateGetLastTrade(PyObject* module, PyObject* args);
PyObject* StateGetMMQuotes(PyObject* module, PyObject* args);
PyObject* StateGetExgQuotes(PyObject* module, PyObject* args);

}  // namespace tarvik
