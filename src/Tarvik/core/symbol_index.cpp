#include "core/symbol_index.h"

#include <utility>

namespace tarvik {

std::string OptionContractKey(const char* root, int64_t expiration_ndays, bool put, int64_t strike) {
    std::string key = root;
    key += std::to_string(expiration_ndays);
    key += put ? 'P' : 'C';
    key += std::to_string(strike);
    return key;
}

namespace {

void file_pending_option_contracts(SymbolIndex& index) {
    NameIndex& options = index.SymbolNameIndex[OptionIndexExg];
    for (const PendingOptionContract& c : index.PendingOptionContracts)
        options[OptionContractKey(string_text(c.root), c.expirationNDays, c.put, c.strike)] = c.dateAndStrike;
    index.PendingOptionContracts.clear();
}

}  // namespace

TqStringRecord* FindSymbolRecord(SymbolIndex& index, const char* name, uint8_t exchange) {
    if (name == nullptr) return nullptr;
    if (exchange == OptionIndexExg && !index.PendingOptionContracts.empty()) file_pending_option_contracts(index);
    const NameIndex& names = index.SymbolNameIndex[exchange];
    auto found = names.find(std::string(name));
    return found == names.end() ? nullptr : found->second;
}

void IndexSymbolName(SymbolIndex& index, uint16_t exchange, TqStringRecord* record) {
    const auto slot = static_cast<uint8_t>(exchange);
    // Contracts met before this name are filed first, as they came.
    if (slot == OptionIndexExg && !index.PendingOptionContracts.empty()) file_pending_option_contracts(index);
    index.SymbolNameIndex[slot][string_text(record)] = record;
}

void IndexOptionContract(SymbolIndex& index, const TqStringRecord* root, const TqOptionHdrRecord* header) {
    if (root == nullptr || header == nullptr) return;
    index.PendingOptionContracts.push_back({root, header->ptqsDateAndStrike, header->tqExpirationDate.NDays,
                                            header->strikePrice, header->PutCall != 0});
}

}  // namespace tarvik
