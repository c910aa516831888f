// DefinedStrings: the strs GetDefinedString has handed out, by string
// table and index, so that asking again costs no call into the library.
// Emptied when a run ends (a tape's tables load with the tape). A part of
// ThreadState.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include <tsl/robin_map.h>

#include "core/table_sizes.h"

namespace tarvik {

struct DefinedStrings {
    // One map per table id 0..255; each str is owned by the cache.
    std::array<tsl::robin_map<int64_t, PyObject*>, kExchangeSlots> DefinedStringCache;

    // The cached str (borrowed), or null. `table` must be in 0..255.
    PyObject* find_defined_string(int table, int64_t index) const {
        const auto& cache = DefinedStringCache[table];
        auto found = cache.find(index);
        return found == cache.end() ? nullptr : found->second;
    }

    // Files a str under table and index, taking a reference of its own.
    void keep_defined_string(int table, int64_t index, PyObject* string) {
        DefinedStringCache[table][index] = Py_NewRef(string);
    }

    void empty_defined_strings() {
        for (auto& table : DefinedStringCache) {
            for (auto& [index, string] : table) Py_XDECREF(string);
            table.clear();
        }
    }
};

}  // namespace tarvik
