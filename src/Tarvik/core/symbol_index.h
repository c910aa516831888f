// SymbolIndex: the reverse index from a symbol name, or an option
// contract's key, to the library's string record, which the state queries
// need to ask the library about a symbol. Filled as the run's symbols are
// met; a part of ThreadState.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <tsl/robin_map.h>

#include "core/table_sizes.h"
#include "tarvik/library.h"

namespace tarvik {

// All option contract keys are filed under this listed exchange.
inline constexpr uint8_t OptionIndexExg = 10;

using NameIndex = tsl::robin_map<std::string, TqStringRecord*>;

struct SymbolIndex {
    std::array<NameIndex, kExchangeSlots> SymbolNameIndex;

    // The records belong to the run and die with it.
    void forget_symbol_names() {
        for (NameIndex& index : SymbolNameIndex) index.clear();
    }
};

// An option contract's name in the index: root text, expiration NDays, P or
// C, strike: "XYZ51000P35000". Filing and the queries both build it here.
std::string OptionContractKey(const char* root, int64_t expiration_ndays, bool put, int64_t strike);

// The string record filed under a name, or null.
TqStringRecord* FindSymbolRecord(const SymbolIndex& index, const char* name, uint8_t exchange);

void IndexSymbolName(SymbolIndex& index, uint16_t exchange, TqStringRecord* record);

// Files the contract's date-and-strike record under its OptionContractKey.
void IndexOptionContract(SymbolIndex& index, const TqStringRecord* root, const TqOptionHdrRecord* header);

}  // namespace tarvik
