#include "services/utilities.h"

#include "module/errors.h"

namespace tarvik {

PyObject* PriceFormat(PyObject*, PyObject*) { return raise_not_implemented("PriceFormat"); }
PyObject* PriceConvert(PyObject*, PyObject*) { return raise_not_implemented("PriceConvert"); }
PyObject* PriceToDouble(PyObject*, PyObject*) { return raise_not_implemented("PriceToDouble"); }
PyObject* GetTapeName(PyObject*, PyObject*) { return raise_not_implemented("GetTapeName"); }
PyObject* GetSymbolAtom32(PyObject*, PyObject*) { return raise_not_implemented("GetSymbolAtom32"); }
PyObject* GetDefinedString(PyObject*, PyObject*) { return raise_not_implemented("GetDefinedString"); }
PyObject* DateFromNDays(PyObject*, PyObject*) { return raise_not_implemented("DateFromNDays"); }
PyObject* DateFromYMD(PyObject*, PyObject*) { return raise_not_implemented("DateFromYMD"); }

}  // namespace tarvik
