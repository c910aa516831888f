// What every record type shares: the type-object template, the repr, the
// shared deallocator and the way constructors make their owned children.
#pragma once

#include <Python.h>

namespace tarvik {

// Subclassable plain data: no cyclic GC, no instance dictionary, no weak
// references.
inline constexpr unsigned long kRecordTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;

// The repr() of every record: "<TarvikTrade Price=15012 Size=100 ...>", each
// member's current value in member-table order (record_repr.cpp).
PyObject* record_repr(PyObject* self);

// A static record type: "Tarvik.<short name>", docstring "<short name> Object".
constexpr PyTypeObject record_type(const char* name, const char* doc, Py_ssize_t basicsize, PyMemberDef* members,
                                   newfunc create, destructor dealloc, initproc init = nullptr) {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    type.tp_dealloc = dealloc;
    type.tp_repr = record_repr;
    type.tp_flags = kRecordTypeFlags;
    type.tp_doc = doc;
    type.tp_members = members;
    type.tp_init = init;
    type.tp_new = create;
    return type;
}

// Deallocator of the records that own no object: frees through the
// object's own type, so that Python subclasses are freed by their allocator.
void dealloc_plain_record(PyObject* self);

// Allocates a zero-filled record of `type` (or of a subclass).
template <typename Object>
Object* alloc_record(PyTypeObject* type) {
    return reinterpret_cast<Object*>(type->tp_alloc(type, 0));
}

// Makes an owned child by calling its type with no arguments. Returns
// false with the exception set when the child cannot be made.
template <typename Child>
bool make_child(Child*& slot, PyTypeObject& type) {
    slot = reinterpret_cast<Child*>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&type)));
    return slot != nullptr;
}

}  // namespace tarvik
