// What every record type shares. A record type is declared once, as a
// RecordSpec beside its member table: the spec makes the type object, whose
// tp_new and tp_dealloc are the generic ones below, driven by the spec.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

namespace tarvik {

// Subclassable plain data: no cyclic GC, no instance dictionary, no weak
// references.
inline constexpr unsigned long kRecordTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;

// The offset of a member stored in a block: the block's offset in the
// object plus the member's offset in the block.
constexpr Py_ssize_t at(std::size_t block, std::size_t field) { return static_cast<Py_ssize_t>(block + field); }

// What a record makes of one of its members when it is made.
enum class Made : unsigned char {
    kChild,      // a child record: its type called with no arguments
    kChildList,  // a list of child records, which the record also keeps in an array of its own
    kIntList,    // a list whose items are all one int
};

struct MadeMember {
    Made kind;
    Py_ssize_t offset;    // the member
    PyTypeObject* type;   // kChild, kChildList: the children's type
    Py_ssize_t count;     // the lists: their length
    Py_ssize_t items;     // kChildList: the record's own array of the children
    long value;           // kIntList: the int every item is
};

constexpr MadeMember child(std::size_t offset, PyTypeObject& type) {
    return {Made::kChild, static_cast<Py_ssize_t>(offset), &type, 0, 0, 0};
}

constexpr MadeMember child_list(std::size_t offset, PyTypeObject& type, std::size_t items, Py_ssize_t count) {
    return {Made::kChildList, static_cast<Py_ssize_t>(offset), &type, count, static_cast<Py_ssize_t>(items), 0};
}

constexpr MadeMember int_list(std::size_t offset, Py_ssize_t count, long value) {
    return {Made::kIntList, static_cast<Py_ssize_t>(offset), nullptr, count, 0, value};
}

// One record type. Every object member of `members` (Py_T_OBJECT_EX or
// _Py_T_OBJECT) holds a reference of its own or null; `made` lists, in the
// order they are made, the ones a new record fills. Everything else starts
// zero.
struct RecordSpec {
    const char* name;  // "Tarvik.<short name>"
    const char* doc;   // "<short name> Object"
    Py_ssize_t size;
    PyMemberDef* members;
    std::span<const MadeMember> made = {};
    initproc init = nullptr;
};

// A zero-filled record of `type` (or of a subclass) with the members `made`
// lists made in order. Null with the exception set when any of them cannot
// be made; what was made so far goes with the record.
PyObject* make_record(PyTypeObject* type, std::span<const MadeMember> made);

// Releases the children the record keeps in arrays of its own, then every
// object member of `members` in table order, then frees the record through
// its own type, so that Python subclasses are freed by their allocator.
void free_record(PyObject* self, const PyMemberDef* members, std::span<const MadeMember> made);

template <const RecordSpec& kSpec>
PyObject* record_new(PyTypeObject* type, PyObject*, PyObject*) {
    return make_record(type, kSpec.made);
}

template <const RecordSpec& kSpec>
void record_dealloc(PyObject* self) {
    free_record(self, kSpec.members, kSpec.made);
}

// The repr() of every record: "<TarvikTrade Price=15012 Size=100 ...>", each
// member's current value in member-table order (record_repr.cpp).
PyObject* record_repr(PyObject* self);

// The static type object `kSpec` declares.
template <const RecordSpec& kSpec>
constexpr PyTypeObject record_type() {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = kSpec.name;
    type.tp_basicsize = kSpec.size;
    type.tp_dealloc = record_dealloc<kSpec>;
    type.tp_repr = record_repr;
    type.tp_flags = kRecordTypeFlags;
    type.tp_doc = kSpec.doc;
    type.tp_members = kSpec.members;
    type.tp_init = kSpec.init;
    type.tp_new = record_new<kSpec>;
    return type;
}

}  // namespace tarvik
