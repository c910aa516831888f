// SymbolFilter: the symbol filter in force on the thread (set by
// FilterSymbols, ExcludeSymbols or FilterSymbolsRange, applied by
// tape/filters.h) and the symbols it has decided during the run. A part of
// ThreadState.
#pragma once

#include <cstdint>
#include <string>

#include <tsl/robin_map.h>

#include "core/address_hash.h"
#include "tarvik/library.h"

namespace tarvik {

enum FilterMode : uint8_t { FilterNone = 0, FilterInclude = 1, FilterExclude = 2, FilterRange = 3 };

// Filter list value meaning "every listed exchange".
inline constexpr int64_t AnyListedExg = 256;

using FilterList = tsl::robin_map<std::string, int64_t>;

struct SymbolFilter {
    uint8_t filterMode = FilterNone;  // read for every message: first
    FilterList IncludeList;
    FilterList ExcludeList;
    std::string RangeStart;
    std::string RangeEnd;
    int32_t RangeListedExg = 0;
    // The symbol records whose UserData2 the filter in force has decided
    // during this run, with the listed exchange they were decided for.
    // Emptied when a run starts and ends (the records are the library's).
    tsl::robin_map<TqStringRecord*, uint16_t, AddressHash> decidedSymbols;
    // How many times a filter set during a run decided them again: a spin
    // inside a spin tells by it whether its callable changed the filter.
    uint64_t redecisions = 0;

    void forget_symbol_decisions() { decidedSymbols.clear(); }
};

}  // namespace tarvik
