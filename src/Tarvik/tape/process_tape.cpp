#include "tape/process_tape.h"

#include "module/errors.h"

namespace tarvik {

PyObject* ProcessTape(PyObject*, PyObject*, PyObject*) { return raise_not_implemented("ProcessTape"); }

}  // namespace tarvik
