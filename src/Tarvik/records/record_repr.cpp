// The repr() every record type shares: the type's name and each member's
// current value, read the way attribute access reads it, in member-table
// order. Reading changes nothing: no member is set, made or cached.
#include <Python.h>

#include "records/record_type.h"

namespace tarvik {

namespace {

// Lists this long or shorter are shown item by item (a trade's four
// conditions); longer ones (256 category fields, 512 market-maker quotes)
// by their length alone.
constexpr Py_ssize_t kListShownWhole = 4;

// The module's own type of a record: a Python subclass is a heap type whose
// member table holds only its own slots, so walk up to the first static type.
PyTypeObject* record_type_of(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    while (type != nullptr && (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) type = type->tp_base;
    return type;
}

// An object member's stored pointer, read without the attribute machinery:
// an unset T_OBJECT_EX member would raise where the repr should say so.
PyObject* stored_object(PyObject* self, const PyMemberDef& member) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + member.offset);
}

int write_object(PyUnicodeWriter* writer, PyObject* value) {
    if (PyList_CheckExact(value) && PyList_GET_SIZE(value) > kListShownWhole) {
        return PyUnicodeWriter_Format(writer, "[%zd items]", PyList_GET_SIZE(value));
    }
    return PyUnicodeWriter_WriteRepr(writer, value);
}

int write_member(PyUnicodeWriter* writer, PyObject* self, const PyMemberDef& member) {
    if (PyUnicodeWriter_Format(writer, " %s=", member.name) < 0) return -1;
    if (member.type == Py_T_OBJECT_EX || member.type == _Py_T_OBJECT) {
        PyObject* value = stored_object(self, member);
        if (value == nullptr) {
            return PyUnicodeWriter_WriteUTF8(writer, member.type == Py_T_OBJECT_EX ? "<unset>" : "None", -1);
        }
        // Held while its repr runs: a program's object in a writable member
        // may have a repr that replaces that member.
        Py_INCREF(value);
        int written = write_object(writer, value);
        Py_DECREF(value);
        return written;
    }
    PyObject* value = PyMember_GetOne(reinterpret_cast<const char*>(self), const_cast<PyMemberDef*>(&member));
    if (value == nullptr) return -1;
    int written = PyUnicodeWriter_WriteRepr(writer, value);
    Py_DECREF(value);
    return written;
}

int write_record(PyUnicodeWriter* writer, PyObject* self) {
    PyObject* name = PyType_GetName(Py_TYPE(self));
    if (name == nullptr) return -1;
    int written = PyUnicodeWriter_Format(writer, "<%U", name);
    Py_DECREF(name);
    if (written < 0) return -1;
    // A record reached again inside its own repr (a program may store one
    // record in another's writable member) is shown by its name alone.
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered < 0 ? -1 : PyUnicodeWriter_WriteUTF8(writer, " ...>", -1);
    written = 0;
    PyTypeObject* type = record_type_of(self);
    for (const PyMemberDef* member = type->tp_members; member != nullptr && member->name != nullptr; ++member) {
        written = write_member(writer, self, *member);
        if (written < 0) break;
    }
    Py_ReprLeave(self);
    if (written < 0) return -1;
    return PyUnicodeWriter_WriteChar(writer, '>');
}

}  // namespace

PyObject* record_repr(PyObject* self) {
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) return nullptr;
    if (write_record(writer, self) < 0) {
        PyUnicodeWriter_Discard(writer);
        return nullptr;
    }
    return PyUnicodeWriter_Finish(writer);
}

}  // namespace tarvik
