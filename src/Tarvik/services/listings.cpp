#include "services/listings.h"

#include "module/errors.h"

namespace tarvik {

PyObject* ListAPIDLLs(PyObject*, PyObject*) { return raise_not_implemented("ListAPIDLLs"); }
PyObject* ListTapes(PyObject*, PyObject*) { return raise_not_implemented("ListTapes"); }

}  // namespace tarvik
