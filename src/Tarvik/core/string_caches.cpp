#include "core/string_caches.h"

#include <cstdlib>

#include <sys/mman.h>

namespace tarvik {

namespace {

// Releases the entry's objects and leaves it unused.
void release_entry(OptionObjectEntry& entry) {
    Py_XDECREF(entry.root);
    Py_XDECREF(entry.underlying);
    Py_XDECREF(entry.seriesChain);
    Py_XDECREF(entry.specialSettle);
    entry = OptionObjectEntry{};
}

template <typename Map>
void release_all(Map& map) {
    for (auto& [address, object] : map) Py_XDECREF(object);
    map.clear();
}

}  // namespace

StringCaches::~StringCaches() {
    for (PyObject** table : symbolObjectTables) std::free(table);
    if (optionEntries != nullptr) munmap(optionEntries, kAtomSlots * sizeof(OptionObjectEntry));
    for (auto& [address, entry] : optionOverflow) delete entry;
}

void StringCaches::forget_run_strings() {
    for (PyObject** table : symbolObjectTables) {
        if (table == nullptr) continue;
        for (std::size_t atom = 0; atom < kAtomSlots; ++atom) Py_CLEAR(table[atom]);
    }
    for (AddressMap& overflow : symbolOverflow) release_all(overflow);
    for (uint16_t atom : optionAtoms) release_entry(optionEntries[atom]);
    optionAtoms.clear();
    for (auto& [address, entry] : optionOverflow) {
        release_entry(*entry);
        delete entry;
    }
    optionOverflow.clear();
    release_all(StringObjectMap);
    RecentStrings.fill(RecentString{});
    release_all(componentStrings);
}

void StringCaches::release_date_and_strike_strings() {
    for (PyObject*& object : DateAndStrikeCache) Py_CLEAR(object);
}

}  // namespace tarvik
