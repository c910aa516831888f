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

TqStringRecord* FindSymbolRecord(const SymbolIndex& index, const char* name, uint8_t exchange) {
    if (name == nullptr) return nullptr;
    const NameIndex& names = index.SymbolNameIndex[exchange];
    auto found = names.find(std::string(name));
    return found == names.end() ? nullptr : found->second;
}

void IndexSymbolName(SymbolIndex& index, uint16_t exchange, TqStringRecord* record) {
    index.SymbolNameIndex[static_cast<uint8_t>(exchange)][string_text(record)] = record;
}

void IndexOptionContract(SymbolIndex& index, const TqStringRecord* root, const TqOptionHdrRecord* header) {
    if (root == nullptr || header == nullptr) return;
    std::string key = OptionContractKey(string_text(root), header->tqExpirationDate.NDays, header->PutCall != 0,
                                        header->strikePrice);
    index.SymbolNameIndex[OptionIndexExg][std::move(key)] = header->ptqsDateAndStrike;
}

}  // namespace tarvik
