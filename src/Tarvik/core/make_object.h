// Making objects the way a program does, by calling their type.
#pragma once

#include <Python.h>

namespace tarvik {

template <typename Object>
PyObject* as_object(Object* object) {
    return reinterpret_cast<PyObject*>(object);
}

// Calls `type` with no arguments, as a program would, and stores the new
// object in `slot`. Returns false with the exception set (and `slot` null)
// when the object cannot be made.
template <typename Object>
bool make_object(Object*& slot, PyTypeObject& type) {
    slot = reinterpret_cast<Object*>(PyObject_CallNoArgs(as_object(&type)));
    return slot != nullptr;
}

}  // namespace tarvik
