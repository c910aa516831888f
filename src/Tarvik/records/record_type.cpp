// The tp_new and tp_dealloc every record type shares, driven by its spec.
#include "records/record_type.h"

#include "core/make_object.h"

namespace tarvik {

namespace {

PyObject*& member_at(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

PyObject*& item_at(PyObject* self, const MadeMember& list, Py_ssize_t i) {
    return member_at(self, list.items + i * static_cast<Py_ssize_t>(sizeof(PyObject*)));
}

bool is_object_member(const PyMemberDef& member) {
    return member.type == Py_T_OBJECT_EX || member.type == _Py_T_OBJECT;
}

// A new reference to item `i` of a made list.
PyObject* make_item(PyObject* self, const MadeMember& list, Py_ssize_t i) {
    if (list.kind == Made::kIntList) return PyLong_FromLong(list.value);
    PyObject*& own = item_at(self, list, i);
    if (!make_object(own, *list.type)) return nullptr;
    return Py_NewRef(own);
}

// The list is stored before its items are made: a failure leaves it to the
// record's deallocator with the items made so far.
bool make_member(PyObject* self, const MadeMember& member) {
    PyObject*& slot = member_at(self, member.offset);
    if (member.kind == Made::kChild) return make_object(slot, *member.type);
    slot = PyList_New(member.count);
    if (slot == nullptr) return false;
    for (Py_ssize_t i = 0; i < member.count; ++i) {
        PyObject* item = make_item(self, member, i);
        if (item == nullptr) return false;
        PyList_SET_ITEM(slot, i, item);
    }
    return true;
}

}  // namespace

PyObject* make_record(PyTypeObject* type, std::span<const MadeMember> made) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    for (const MadeMember& member : made) {
        if (!make_member(self, member)) {
            Py_DECREF(self);
            return nullptr;
        }
    }
    return self;
}

void free_record(PyObject* self, const PyMemberDef* members, std::span<const MadeMember> made) {
    for (const MadeMember& member : made) {
        if (member.kind != Made::kChildList) continue;
        for (Py_ssize_t i = 0; i < member.count; ++i) Py_CLEAR(item_at(self, member, i));
    }
    for (const PyMemberDef* member = members; member->name != nullptr; ++member) {
        if (is_object_member(*member)) Py_CLEAR(member_at(self, member->offset));
    }
    Py_TYPE(self)->tp_free(self);
}

}  // namespace tarvik
