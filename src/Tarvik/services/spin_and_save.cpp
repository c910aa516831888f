#include "services/spin_and_save.h"

#include "module/errors.h"

namespace tarvik {

PyObject* SpinSymbols(PyObject*, PyObject*) { return raise_not_implemented("SpinSymbols"); }
PyObject* SaveState(PyObject*, PyObject*) { return raise_not_implemented("SaveState"); }

}  // namespace tarvik
