#include "services/permissions.h"

#include <cstdint>

#include "core/errors.h"
#include "core/thread_data.h"
#include "tarvik/constants.h"

namespace tarvik {

namespace {

PyObject* remove_permission_key(int32_t key) {
    sTarvikExcludeOpraExch_t exclude = thread_data().api.ExcludeOpraExch;
    if (exclude == nullptr) return PyLong_FromLong(TqAPIERR_BAD_PARAMETERS);
    return PyLong_FromLong(exclude(key));
}

}  // namespace

PyObject* RemovePermission(PyObject*, PyObject* args) {
    int permission;
    if (!PyArg_ParseTuple(args, "i", &permission)) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    return remove_permission_key(permission | TqPERMID_REMOVE);
}

PyObject* ExcludeOpraExch(PyObject*, PyObject* args) {
    int key;
    if (!PyArg_ParseTuple(args, "i", &key)) return raise_invalid_parameters();
    return remove_permission_key(key);
}

}  // namespace tarvik
