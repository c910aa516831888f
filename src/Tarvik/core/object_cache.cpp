#include "core/object_cache.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace tarvik {

namespace {

// Replaces the cached str of one option component when the header points at
// another record; an unchanged pointer keeps its object. The entry holds a
// reference of its own to the str of componentStrings, which keeps every
// record's str to the run's end: objects of the run may still show the
// replaced one.
void refresh_component(ThreadState& state, const TqStringRecord*& cached_record, PyObject*& cached_object,
                       const TqStringRecord* current) {
    if (cached_record == current) return;
    Py_CLEAR(cached_object);
    cached_record = current;
    if (current == nullptr) return;
    PyObject*& object = state.componentStrings[current];
    if (object == nullptr) object = text_object(string_text(current));
    Py_XINCREF(object);
    cached_object = object;
}

bool map_option_entries(ThreadState& state) {
    void* table = mmap(nullptr, kAtomSlots * sizeof(OptionObjectEntry), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (table == MAP_FAILED) return false;
    state.optionEntries = static_cast<OptionObjectEntry*>(table);  // zero pages: every entry unused
    return true;
}

}  // namespace

PyObject* text_object(const char* text, std::size_t size) {
    PyObject* object = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace");
    if (object == nullptr) PyErr_Clear();  // out of memory: shown as absent
    return object;
}

PyObject* text_object(const char* text) { return text_object(text, std::strlen(text)); }

namespace detail {

PyObject* FindStringObject(ThreadState& state, const char* text, RecentString& slot) {
    PyObject* object;
    if (auto found = state.StringObjectMap.find(text); found != state.StringObjectMap.end()) {
        object = found->second;
    } else {
        object = text_object(text);
        if (object == nullptr) return nullptr;
        state.StringObjectMap.emplace(text, object);
    }
    slot = RecentString{text, object};
    return object;
}

PyObject* MakeSymbolObject(ThreadState& state, const TqStringRecord* record, uint8_t exchange) {
    PyObject**& table = state.symbolObjectTables[exchange];
    if (table == nullptr) {
        table = static_cast<PyObject**>(std::calloc(kAtomSlots, sizeof(PyObject*)));
        if (table == nullptr) return nullptr;
    }
    if (record == nullptr) return nullptr;
    const char* text = string_text(record);
    if (record->Atom != TqATOM_MAX_16BIT) {
        if (PyObject* cached = table[record->Atom]) return cached;
    } else if (auto found = state.symbolOverflow[exchange].find(text);
               found != state.symbolOverflow[exchange].end()) {
        return found->second;
    }
    PyObject* object = text_object(text);
    if (object == nullptr) return nullptr;
    if (record->Atom != TqATOM_MAX_16BIT) {
        table[record->Atom] = object;
    } else {
        state.symbolOverflow[exchange][text] = object;
    }
    IndexSymbolName(state, exchange, const_cast<TqStringRecord*>(record));
    return object;
}

OptionObjectEntry* MakeOptionObjects(ThreadState& state, const TqStringRecord* root, const TqOptionHdrRecord* header) {
    if (root == nullptr) return nullptr;
    const char* text = string_text(root);
    OptionObjectEntry* entry;
    if (root->Atom != TqATOM_MAX_16BIT) {
        if (state.optionEntries == nullptr && !map_option_entries(state)) return nullptr;
        entry = &state.optionEntries[root->Atom];
    } else {
        OptionObjectEntry*& slot = state.optionOverflow[text];
        if (slot == nullptr) slot = new (std::nothrow) OptionObjectEntry{};
        if (slot == nullptr) return nullptr;
        entry = slot;
    }
    if (entry->root == nullptr) {
        entry->root = text_object(text);
        if (entry->root == nullptr) return nullptr;
        if (root->Atom != TqATOM_MAX_16BIT) state.optionAtoms.push_back(root->Atom);
    }
    refresh_component(state, entry->underlyingRecord, entry->underlying, header->ptqsUnderlying);
    refresh_component(state, entry->seriesChainRecord, entry->seriesChain, header->ptqsSeriesChain);
    refresh_component(state, entry->specialSettleRecord, entry->specialSettle, header->ptqsSpecialSettle);
    return entry;
}

PyObject* MakeDateAndStrikeObject(ThreadState& state, const TqStringRecord* record, DateAndStrikeCode code) {
    PyObject*& cached = state.DateAndStrikeCache[code.slot];
    if (cached == nullptr) cached = text_object(string_text(record), code.length);
    return cached;
}

}  // namespace detail

}  // namespace tarvik
