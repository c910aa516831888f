// What every record type shares. A record type is declared once, as a
// RecordDescriptor beside its member table: the descriptor makes the type object, whose
// tp_new and tp_dealloc are the ones below, compiled for the descriptor.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "core/make_object.h"

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
    Py_ssize_t offset;   // the member
    PyTypeObject* type;  // kChild, kChildList: the children's type
    Py_ssize_t count;    // the lists: their length
    Py_ssize_t items;    // kChildList: the record's own array of the children
    long value;          // kIntList: the int every item is
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
// zero. Descriptors and member tables are constants (of the file that declares
// them): the type's tp_new and tp_dealloc are compiled for its descriptor.
struct RecordDescriptor {
    const char* name;  // "Tarvik.<short name>"
    const char* doc;   // "<short name> Object"
    Py_ssize_t size;
    const PyMemberDef* members;
    std::span<const MadeMember> made = {};
    initproc init = nullptr;
};

namespace detail {

inline PyObject*& member_at(PyObject* self, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

constexpr bool is_object_member(const PyMemberDef& member) {
    return member.type == Py_T_OBJECT_EX || member.type == _Py_T_OBJECT;
}

constexpr std::size_t count_object_members(const PyMemberDef* members) {
    std::size_t count = 0;
    for (; members->name != nullptr; ++members) count += is_object_member(*members) ? 1 : 0;
    return count;
}

// The offsets of the object members of `kDescriptor`, in table order.
template <const RecordDescriptor& kDescriptor>
constexpr auto object_member_offsets() {
    std::array<Py_ssize_t, count_object_members(kDescriptor.members)> offsets{};
    std::size_t next = 0;
    for (const PyMemberDef* member = kDescriptor.members; member->name != nullptr; ++member) {
        if (is_object_member(*member)) offsets[next++] = member->offset;
    }
    return offsets;
}

// Makes a list of `list`'s kind and stores it in its member before making
// the items: a failure leaves it, with the items made so far, to the
// record's deallocator. False with the exception set on failure.
bool make_list(PyObject* self, const MadeMember& list);

// Releases the record's own references to the children of `list`.
void release_children(PyObject* self, const MadeMember& list);

inline void release(PyObject*& member) { Py_CLEAR(member); }

// Makes the descriptor's made members in order, each compiled for itself; stops
// at the first failure.
template <const RecordDescriptor& kDescriptor, std::size_t... kIndex>
bool make_members(PyObject* self, std::index_sequence<kIndex...>) {
    [[maybe_unused]] auto make = [self](const MadeMember& member) {
        return member.kind == Made::kChild ? make_object(member_at(self, member.offset), *member.type)
                                           : make_list(self, member);
    };
    return (make(kDescriptor.made[kIndex]) && ...);
}

// Releases the children the descriptor's lists keep in the record's own arrays,
// then every object member in table order, each compiled for its offset.
template <const RecordDescriptor& kDescriptor, std::size_t... kIndex>
void release_members(PyObject* self, std::index_sequence<kIndex...>) {
    [[maybe_unused]] auto release_list = [self](const MadeMember& member) {
        if (member.kind == Made::kChildList) release_children(self, member);
    };
    (release_list(kDescriptor.made[kIndex]), ...);
    static constexpr auto kObjectMembers = object_member_offsets<kDescriptor>();
    [self]<std::size_t... kObject>(std::index_sequence<kObject...>) {
        (release(member_at(self, kObjectMembers[kObject])), ...);
    }(std::make_index_sequence<kObjectMembers.size()>{});
}

}  // namespace detail

// tp_new: a zero-filled record of `type` (or of a subclass) with the
// members the descriptor lists made in order. Null with the exception set when
// any of them cannot be made; what was made so far goes with the record.
template <const RecordDescriptor& kDescriptor>
PyObject* record_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    if (!detail::make_members<kDescriptor>(self, std::make_index_sequence<kDescriptor.made.size()>{})) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// tp_dealloc: releases the children the record keeps in arrays of its own,
// then every object member in table order, then frees the record through
// its own type, so that Python subclasses are freed by their allocator.
template <const RecordDescriptor& kDescriptor>
void record_dealloc(PyObject* self) {
    detail::release_members<kDescriptor>(self, std::make_index_sequence<kDescriptor.made.size()>{});
    Py_TYPE(self)->tp_free(self);
}

// The repr() of every record: "<TarvikTrade Price=15012 Size=100 ...>", each
// member's current value in member-table order (record_repr.cpp).
PyObject* record_repr(PyObject* self);

// The static type object `kDescriptor` declares.
template <const RecordDescriptor& kDescriptor>
constexpr PyTypeObject record_type() {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = kDescriptor.name;
    type.tp_basicsize = kDescriptor.size;
    type.tp_dealloc = record_dealloc<kDescriptor>;
    type.tp_repr = record_repr;
    type.tp_flags = kRecordTypeFlags;
    type.tp_doc = kDescriptor.doc;
    // CPython only reads a static type's member table.
    type.tp_members = const_cast<PyMemberDef*>(kDescriptor.members);
    type.tp_init = kDescriptor.init;
    type.tp_new = record_new<kDescriptor>;
    return type;
}

}  // namespace tarvik
