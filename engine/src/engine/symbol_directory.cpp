#include "engine/symbol_directory.h"

#include "engine/dates.h"
#include "engine/engine_constants.h"

namespace tarvik::engine {

void SymbolDirectory::build(const TapeTables& t, bool exclude_options) {
    text_records_.resize(t.texts.size());
    for (std::size_t i = 0; i < t.texts.size(); ++i)
        text_records_[i] = arena_.make(t.texts[i], atom16(static_cast<uint32_t>(i + 1)));

    category_records_.resize(t.categories.size());
    for (std::size_t i = 0; i < t.categories.size(); ++i)
        category_records_[i] = arena_.make(t.texts[t.categories[i].name], t.categories[i].id);

    defined_.assign(kStringTableCount, {});
    for (int table = kFirstStringTable; table <= kLastStringTable; ++table) {
        for (const std::string& s : t.defined[table]) defined_[table].push_back(s.c_str());
    }

    std::size_t option_count = 0;
    for (const SymbolEntry& e : t.symbols) option_count += e.is_option;
    options_.assign(option_count, OptionHeaderLine{});

    std::unordered_map<uint64_t, std::size_t> by_name;  // (text, listed exchange) -> first slot
    slots_.assign(t.symbols.size(), SymbolSlot{});
    std::size_t next_option = 0;
    for (std::size_t i = 0; i < t.symbols.size(); ++i) {
        const SymbolEntry& e = t.symbols[i];
        SymbolSlot& slot = slots_[i];
        const uint64_t key = (uint64_t{e.text} << 16) | e.listed_exg;
        auto [it, added] = by_name.try_emplace(key, i);
        if (added) {
            slot.record = arena_.make(t.texts[e.text], atom16(e.atom));
            slot.record_atom = e.atom;
        } else {
            slot.record = slots_[it->second].record;
            slot.record_atom = slots_[it->second].record_atom;
        }
        slot.listed_exg = e.listed_exg;
        slot.session = e.session;
        slot.skipped = e.is_option && exclude_options;
        if (!e.is_option) {
            record_symbols_.try_emplace(slot.record, static_cast<uint32_t>(i));
            continue;
        }
        TqOptionHdrRecord& h = options_[next_option++].header;
        build_option(e, h);
        slot.option = &h;
        record_symbols_[h.ptqsDateAndStrike] = static_cast<uint32_t>(i);
    }
}

void SymbolDirectory::skip_unwanted(const TapeTables& tables, const std::function<bool(const std::string&)>& wanted) {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!wanted(tables.texts[tables.symbols[i].text])) slots_[i].skipped = true;
    }
}

void SymbolDirectory::build_option(const SymbolEntry& e, TqOptionHdrRecord& h) {
    const OptionContract& o = e.option;
    h.ptqsDateAndStrike = arena_.make(std::string_view(o.date_and_strike, 2), atom16(e.atom));
    h.ptqsUnderlying = o.underlying != kNone ? text_records_[o.underlying] : nullptr;
    h.ptqsSeriesChain = o.series_chain != kNone ? text_records_[o.series_chain] : nullptr;
    h.ptqsSpecialSettle = o.special_settle != kNone ? text_records_[o.special_settle] : nullptr;
    h.exgUnderlying = o.exg_underlying;
    h.contractUnit = o.contract_unit;
    h.strikePrice = o.strike;
    h.strikePriceEst = o.strike_est;
    h.PutCall = o.put_call;
    h.expirationCycle = o.expiration_cycle;
    h.oicStrikeAge = o.strike_age;
    h.tqStrikeMatch = o.strike_match;
    h.tqExpirationDate.NDays = o.expiration_ndays;
    date_from_ndays(h.tqExpirationDate);
}

const char* SymbolDirectory::defined_string(int32_t table, int32_t index) const {
    if (table < kFirstStringTable || table > kLastStringTable || index < 0) return nullptr;
    const std::vector<const char*>& strings = defined_[table];
    return static_cast<std::size_t>(index) < strings.size() ? strings[index] : nullptr;
}

uint32_t SymbolDirectory::symbol_of(const TqStringRecord* record) const {
    auto it = record_symbols_.find(record);
    return it != record_symbols_.end() ? it->second : kNone;
}

void SymbolDirectory::for_each_string_record(const std::function<void(TqStringRecord*)>& visit) const {
    for (const SymbolSlot& slot : slots_) {
        visit(slot.record);
        if (slot.option != nullptr) visit(slot.option->ptqsDateAndStrike);
    }
    for (TqStringRecord* record : text_records_) visit(record);
    for (TqStringRecord* record : category_records_) visit(record);
}

}  // namespace tarvik::engine
