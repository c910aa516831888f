#include "services/loader.h"

#include "core/errors.h"
#include "core/thread_data.h"

namespace tarvik {

PyObject* LoadTarvik(PyObject*, PyObject* args, PyObject* kwargs) {
    ThreadData& data = thread_data();
    static const char* const keywords[] = {"StringTarvikLib", nullptr};
    const char* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", const_cast<char**>(keywords), &path)) {
        return raise_invalid_parameters();
    }
    if (!data.api.load(path)) return PyLong_FromLong(0);
    int32_t version = data.api.APIVersion();
    return PyLong_FromLong(version);
}

PyObject* UnloadTarvik(PyObject*, PyObject*) {
    thread_data().api.unload();
    Py_RETURN_NONE;
}

PyObject* APIVersion(PyObject*, PyObject*) {
    ApiTable* api = loaded_api();
    if (api == nullptr) return nullptr;
    return PyLong_FromLong(api->APIVersion());
}

namespace {

// Parses one 32-bit version; on failure clears the error and returns false.
bool parse_version(PyObject* args, int* version) {
    if (PyArg_ParseTuple(args, "i", version)) return true;
    PyErr_Clear();
    return false;
}

}  // namespace

PyObject* GetMajorVersion(PyObject*, PyObject* args) {
    int version;
    if (!parse_version(args, &version)) Py_RETURN_FALSE;
    return PyLong_FromLong(version >> 24);  // arithmetic shift keeps the sign
}

PyObject* GetMinorVersion(PyObject*, PyObject* args) {
    int version;
    if (!parse_version(args, &version)) Py_RETURN_FALSE;
    return PyLong_FromLong((static_cast<uint32_t>(version) >> 16) & 0xFF);
}

PyObject* GetBuildVersion(PyObject*, PyObject* args) {
    int version;
    if (!parse_version(args, &version)) Py_RETURN_FALSE;
    return PyLong_FromLong(static_cast<uint32_t>(version) & 0xFFFF);
}

}  // namespace tarvik
