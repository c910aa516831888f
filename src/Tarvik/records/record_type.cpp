// The out-of-line parts of every record's tp_new and tp_dealloc: the lists.
#include "records/record_type.h"

namespace tarvik::detail {

namespace {

PyObject*& child_at(PyObject* self, const MadeMember& list, Py_ssize_t i) {
    return member_at(self, list.items + i * static_cast<Py_ssize_t>(sizeof(PyObject*)));
}

// A new reference to item `i` of a made list.
PyObject* make_item(PyObject* self, const MadeMember& list, Py_ssize_t i) {
    if (list.kind == Made::kIntList) return PyLong_FromLong(list.value);
    PyObject*& child = child_at(self, list, i);
    if (!make_object(child, *list.type)) return nullptr;
    return Py_NewRef(child);
}

}  // namespace

bool make_list(PyObject* self, const MadeMember& list) {
    PyObject*& slot = member_at(self, list.offset);
    slot = PyList_New(list.count);
    if (slot == nullptr) return false;
    for (Py_ssize_t i = 0; i < list.count; ++i) {
        PyObject* item = make_item(self, list, i);
        if (item == nullptr) return false;
        PyList_SET_ITEM(slot, i, item);
    }
    return true;
}

void release_children(PyObject* self, const MadeMember& list) {
    for (Py_ssize_t i = 0; i < list.count; ++i) Py_CLEAR(child_at(self, list, i));
}

}  // namespace tarvik::detail
