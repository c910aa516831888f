// StringCaches: the strs the message path shows, one per distinct library
// string, each made once and handed out ever after (the lookups are in
// core/object_cache.h). A part of ThreadState. Every object here is owned by
// the caches.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

#include <tsl/robin_map.h>

#include "core/address_hash.h"
#include "core/table_sizes.h"
#include "tarvik/library.h"

namespace tarvik {

// Python objects made for one option root symbol; owned by the cache. An
// entry without a root str is unused. One cache line each.
struct alignas(64) OptionObjectEntry {
    PyObject* root = nullptr;
    const TqStringRecord* underlyingRecord = nullptr;
    PyObject* underlying = nullptr;
    const TqStringRecord* seriesChainRecord = nullptr;
    PyObject* seriesChain = nullptr;
    const TqStringRecord* specialSettleRecord = nullptr;
    PyObject* specialSettle = nullptr;
};

// Keyed by the address of a library string's text.
using AddressMap = tsl::robin_map<const char*, PyObject*, AddressHash>;
// Keyed by the address of a library string record.
using RecordMap = tsl::robin_map<const TqStringRecord*, PyObject*, AddressHash>;

// One slot of RecentStrings: a text address and its str (borrowed from
// StringObjectMap).
struct RecentString {
    const char* text = nullptr;
    PyObject* object = nullptr;
};
inline constexpr std::size_t kRecentStringSlots = 1024;

struct StringCaches {
    // The option roots' entries by 16-bit atom, kAtomSlots of them in one
    // mapping made on first use: pages are committed only as roots appear,
    // and a message finds its root's entry in one step.
    OptionObjectEntry* optionEntries = nullptr;
    // Per listed exchange, the symbols' strs by atom (calloc'd on first use).
    std::array<PyObject**, kExchangeSlots> symbolObjectTables{};
    std::array<PyObject*, kAtomSlots> DateAndStrikeCache{};
    // The strs of StringObjectMap last found, in slots chosen by the text's
    // address. A hit is one comparison, where the map's search runs a probe
    // loop whose length differs from one market maker to the next, which
    // the processor guesses wrong. A slot shared by two texts holds the one
    // met last; the other is found in the map again.
    std::array<RecentString, kRecentStringSlots> RecentStrings{};
    std::vector<uint16_t> optionAtoms;  // atoms whose entries hold objects
    tsl::robin_map<const char*, OptionObjectEntry*, AddressHash> optionOverflow;
    std::array<AddressMap, kExchangeSlots> symbolOverflow;
    AddressMap StringObjectMap;
    // The str of every option component record a run has shown, held until
    // it ends: a str that a record of the run shows stays alive however
    // often a root's contracts switch between component records, and each
    // record's str is made once.
    RecordMap componentStrings;

    StringCaches() = default;
    StringCaches(const StringCaches&) = delete;
    StringCaches& operator=(const StringCaches&) = delete;
    // Releases native storage only: at thread exit the interpreter may be
    // gone, so no Python object is touched here.
    ~StringCaches();

    // Releases every str filed during a run: the caches keyed by atom or by
    // text address describe the library's records of that run, which die
    // with it (a later run may reuse an atom for another symbol, or an
    // address for another string). The date-and-strike strs, keyed by their
    // text, stay.
    void forget_run_strings();

    // Releases the date-and-strike strs too (the thread is ending).
    void release_date_and_strike_strings();
};

}  // namespace tarvik
