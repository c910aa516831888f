#include "services/state_queries.h"

#include "module/errors.h"

namespace tarvik {

PyObject* StateGetLastTrade(PyObject*, PyObject*) { return raise_not_implemented("StateGetLastTrade"); }
PyObject* StateGetMMQuotes(PyObject*, PyObject*) { return raise_not_implemented("StateGetMMQuotes"); }
PyObject* StateGetExgQuotes(PyObject*, PyObject*) { return raise_not_implemented("StateGetExgQuotes"); }

}  // namespace tarvik
