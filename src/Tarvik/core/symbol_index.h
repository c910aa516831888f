// SymbolIndex: the reverse index from a symbol name, or an option
// contract's key, to the library's string record, which the state queries
// need to ask the library about a symbol. Filled as the run's symbols are
// met; a part of ThreadState.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <tsl/robin_map.h>

#include "core/table_sizes.h"
#include "tarvik/library.h"

namespace tarvik {

// All option contract keys are filed under this listed exchange.
inline constexpr uint8_t OptionIndexExg = 10;

using NameIndex = tsl::robin_map<std::string, TqStringRecord*>;

// An option contract met and not filed yet, with what its key is made of
// as it was when met.
struct PendingOptionContract {
    const TqStringRecord* root;
    TqStringRecord* dateAndStrike;
    int64_t expirationNDays;
    int64_t strike;
    bool put;
};

struct SymbolIndex {
    std::array<NameIndex, kExchangeSlots> SymbolNameIndex;
    // Option contracts are filed when the index under OptionIndexExg is
    // first read, or a name is filed there, in the order they were met:
    // a run announces every contract of its day, and filing tens of
    // thousands of keys before the first message cost milliseconds that
    // a program asking nothing of options never got back.
    std::vector<PendingOptionContract> PendingOptionContracts;

    // The records belong to the run and die with it.
    void forget_symbol_names() {
        for (NameIndex& index : SymbolNameIndex) index.clear();
        PendingOptionContracts.clear();
    }
};

// An option contract's name in the index: root text, expiration NDays, P or
// C, strike: "XYZ51000P35000". Filing and the queries both build it here.
std::string OptionContractKey(const char* root, int64_t expiration_ndays, bool put, int64_t strike);

// The string record filed under a name, or null.
TqStringRecord* FindSymbolRecord(SymbolIndex& index, const char* name, uint8_t exchange);

void IndexSymbolName(SymbolIndex& index, uint16_t exchange, TqStringRecord* record);

// Files the contract's date-and-strike record under its OptionContractKey.
void IndexOptionContract(SymbolIndex& index, const TqStringRecord* root, const TqOptionHdrRecord* header);

}  // namespace tarvik
