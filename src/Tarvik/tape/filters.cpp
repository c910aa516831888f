#include "tape/filters.h"

#include "module/errors.h"

namespace tarvik {

PyObject* FilterSymbols(PyObject*, PyObject*) { return raise_not_implemented("FilterSymbols"); }
PyObject* ExcludeSymbols(PyObject*, PyObject*) { return raise_not_implemented("ExcludeSymbols"); }
PyObject* FilterSymbolsRange(PyObject*, PyObject*) { return raise_not_implemented("FilterSymbolsRange"); }
PyObject* RemovePermission(PyObject*, PyObject*) { return raise_not_implemented("RemovePermission"); }
PyObject* ExcludeOpraExch(PyObject*, PyObject*) { return raise_not_implemented("ExcludeOpraExch"); }

}  // namespace tarvik
