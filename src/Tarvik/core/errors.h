// The module's few error texts and the helpers that raise them.
#pragma once

#include <Python.h>

namespace tarvik {

inline constexpr const char kInvalidParameters[] = "invalid parameters";
inline constexpr const char kMustBeCallable[] = "parameter must be callable";
inline constexpr const char kLibraryNotLoaded[] = "Tarvik library not loaded on this thread";

// Replaces whatever the argument parser raised with TypeError "invalid parameters".
inline PyObject* raise_invalid_parameters() {
    PyErr_SetString(PyExc_TypeError, kInvalidParameters);
    return nullptr;
}

inline PyObject* raise_not_callable() {
    PyErr_SetString(PyExc_TypeError, kMustBeCallable);
    return nullptr;
}

inline PyObject* raise_library_not_loaded() {
    PyErr_SetString(PyExc_RuntimeError, kLibraryNotLoaded);
    return nullptr;
}

}  // namespace tarvik
