// The module's method table.
#pragma once

#include <Python.h>

namespace tarvik {

inline constexpr int kFunctionCount = 29;

// kFunctionCount entries, then the all-empty end marker.
extern PyMethodDef kMethodTable[];

}  // namespace tarvik
