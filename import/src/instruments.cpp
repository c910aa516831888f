#include "instruments.h"

#include <cstring>
#include <limits>
#include <utility>

#include "import_error.h"
#include "engine/prices.h"

namespace tarvik::import {
namespace {

// Up to 8 bytes of text as a number, by loads of a fixed size (a copy of a
// variable size is a library call).
uint64_t text_bytes(const char* p, std::size_t n) {
    uint64_t v = 0;
    if (n == 8) {
        std::memcpy(&v, p, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        v = uint64_t{a} | uint64_t{b} << 32;
    } else if (n > 0) {
        v = uint64_t{static_cast<unsigned char>(p[0])} | uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
            uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    return v;
}

}  // namespace

uint16_t Instruments::column(std::string_view source, std::string_view column_name, std::string_view canonical) {
    std::string shown = "'" + std::string(column_name) + "'";
    if (canonical != column_name) shown += " (" + std::string(canonical) + ")";
    for (std::size_t k = 0; k < columns_.size(); ++k)
        if (columns_[k].first == source && columns_[k].second == shown) return static_cast<uint16_t>(k);
    if (columns_.size() > UINT16_MAX) return UINT16_MAX;  // past 65,535 columns an error names the last
    columns_.emplace_back(source, std::move(shown));
    return static_cast<uint16_t>(columns_.size() - 1);
}

std::string Instruments::text(Place place) const {
    // Every place was made with a number column() gave.
    const auto& [source, name] = columns_.at(place.bits & 0xFFFF);
    return source + ":" + std::to_string(place.bits >> 16) + ": column " + name;
}

std::optional<uint32_t> Instruments::lookup(std::string_view text, uint16_t listed) const {
    const auto it = by_text_.find(text);
    if (it == by_text_.end()) return std::nullopt;
    for (uint32_t id = it->second; id != Instrument::kNone; id = list_[id].next_listing)
        if (list_[id].listed == listed) return id;
    return std::nullopt;
}

uint32_t Instruments::insert(std::string_view text, uint16_t listed) {
    const uint32_t id = size();
    Instrument inst;
    inst.listed = listed;
    const auto it = by_text_.find(text);
    if (it == by_text_.end()) {
        inst.text = texts_.keep(text);
        by_text_.emplace(inst.text, id);
    } else {
        uint32_t last = it->second;
        while (list_[last].next_listing != Instrument::kNone) last = list_[last].next_listing;
        list_[last].next_listing = id;
        inst.text = list_[last].text;
    }
    list_.push_back(std::move(inst));
    return id;
}

uint32_t Instruments::add_listed(std::string_view text, uint16_t listed) {
    if (const auto found = lookup(text, listed)) return *found;
    const uint32_t id = insert(text, listed);
    ByText& t = file_texts_[list_[id].text];
    t.id = id;
    ++t.count;
    return id;
}

bool Instruments::ambiguous(std::string_view text, uint16_t default_listed) const {
    if (file_texts_.empty()) return false;
    const auto it = file_texts_.find(text);
    return it != file_texts_.end() && it->second.count > 1 && !lookup(text, default_listed);
}

std::optional<uint32_t> Instruments::find(std::string_view text, uint16_t listed) const { return lookup(text, listed); }

std::optional<uint16_t> Instruments::listed_of(std::string_view text, uint16_t prefer) const {
    const auto it = by_text_.find(text);
    if (it == by_text_.end()) return std::nullopt;
    return lookup(text, prefer) ? prefer : list_[it->second].listed;
}

RecentInstruments::Slot* RecentInstruments::slot(std::string_view text, std::optional<uint16_t> listed, Slot& key) {
    if (text.size() > 16) return nullptr;
    key.head = text_bytes(text.data(), text.size() < 8 ? text.size() : 8);
    key.tail = text.size() > 8 ? text_bytes(text.data() + 8, text.size() - 8) : 0;
    key.size = static_cast<uint8_t>(text.size());
    key.unlisted = !listed;
    key.listed = listed ? *listed : 0;
    const uint64_t mixed = (key.head * 0x9E3779B97F4A7C15ull) ^ (key.tail * 0xC2B2AE3D27D4EB4Full) ^
                           (uint64_t{key.listed} << 8 | key.size);
    return &slots_[(mixed ^ mixed >> 29) * 0xBF58476D1CE4E5B9ull >> 50];  // 14 bits: kSlots
}

namespace {

bool answers(const RecentInstruments::Slot* slot, const RecentInstruments::Slot& key) {
    return slot != nullptr && slot->id != UINT32_MAX && slot->head == key.head && slot->tail == key.tail &&
           slot->size == key.size && slot->unlisted == key.unlisted && slot->listed == key.listed;
}

void remember(RecentInstruments::Slot* slot, const RecentInstruments::Slot& key, uint32_t id) {
    if (slot == nullptr) return;
    *slot = key;
    slot->id = id;
}

}  // namespace

uint16_t Instruments::listed_for(std::string_view text, std::optional<uint16_t> listed, uint16_t default_listed) const {
    if (listed) return *listed;
    if (!file_texts_.empty()) {
        const auto it = file_texts_.find(text);
        if (it != file_texts_.end() && it->second.count == 1) return list_[it->second.id].listed;
    }
    return default_listed;
}

uint32_t Instruments::find_or_add(std::string_view text, std::optional<uint16_t> listed, uint16_t default_listed,
                                  RecentInstruments& recent) {
    RecentInstruments::Slot key;
    RecentInstruments::Slot* slot = recent.slot(text, listed, key);
    if (answers(slot, key)) return slot->id;
    const uint16_t where = listed_for(text, listed, default_listed);
    const auto found = lookup(text, where);
    const uint32_t id = found ? *found : insert(text, where);
    remember(slot, key, id);
    return id;
}

void Instruments::choose_price_types(std::optional<uint8_t> forced, bool scaled) {
    for (Instrument& inst : list_) {
        if (inst.price_type) {
            inst.chosen = *inst.price_type;
            continue;
        }
        if (forced) {
            inst.chosen = *forced;
            continue;
        }
        if (inst.decimals > kMaxDecimals)
            throw ImportError(text(inst.decimals_where) + ": " + std::to_string(inst.decimals) +
                              " decimals: a price has at most 9 (or give the instrument a price type)");
        inst.chosen = static_cast<uint8_t>(inst.decimals);
        // Every price has at most the chosen decimals: they fit if the
        // highest and the lowest do, at those decimals.
        constexpr int64_t kHigh = std::numeric_limits<int32_t>::max(), kLow = std::numeric_limits<int32_t>::min();
        const int64_t unit = static_cast<int64_t>(pow10(kMaxDecimals - inst.decimals));
        const bool high = !inst.beyond && inst.highest / unit > kHigh;
        if (inst.beyond || high || inst.lowest / unit < kLow) {
            const Decimal price = inst.beyond ? inst.beyond->value
                                              : decimal_from_scaled(high ? inst.highest : inst.lowest, kMaxDecimals);
            const Place where = inst.beyond ? inst.beyond->where : high ? inst.highest_where : inst.lowest_where;
            char digits[48];
            const std::string need = inst.decimals == 0 ? "as a whole number"
                                                        : "at the " + std::to_string(inst.decimals) +
                                                              " decimals its prices need (" + text(inst.decimals_where) + ")";
            throw ImportError(text(where) + ": " + std::string(format_decimal(price, digits)) + " of " +
                              std::string(inst.text) + " (listed exchange " + std::to_string(inst.listed) +
                              ") does not fit 32 bits " + need + "; no price type writes every price exactly" +
                              (inst.decimals == 0 && !scaled
                                   ? " (prices in fixed-point units, such as 10^-9? --price-scale 9 reads them)"
                                   : ""));
        }
    }
}

uint32_t NameCodes::find_named(std::string_view name) const {
    const auto it = codes_.find(name);
    return it == codes_.end() ? kNone : it->second;
}

uint32_t NameCodes::add(std::string_view name, std::string& why) {
    if (given_) {
        why = std::string("unknown ") + what_ + " " + quoted(name) + " (not in the table given)";
        return kNone;
    }
    if (const char* fault = name_fault(name)) {
        why = std::string(what_) + " " + quoted(name) + fault;
        return kNone;
    }
    const uint32_t next = static_cast<uint32_t>(names_.size()) + 1;
    if (next > max_) {
        why = "more than " + std::to_string(max_) + " different " + what_ + "s";
        return kNone;
    }
    codes_.emplace(std::string(name), next);
    if (name.size() == 1) one_char_[static_cast<unsigned char>(name[0])] = next + 1;
    names_.emplace_back(std::string(name), next);
    return next;
}

void NameCodes::give(std::string name, uint32_t code) {
    given_ = true;
    if (name.size() == 1) one_char_[static_cast<unsigned char>(name[0])] = code + 1;
    codes_[name] = code;
    if (given_names_.size() <= code) given_names_.resize(code + 1);
    if (given_names_[code] == 0) given_names_[code] = static_cast<uint32_t>(names_.size() + 1);
    names_.emplace_back(std::move(name), code);
}

std::vector<std::string> NameCodes::table() const {
    std::vector<std::string> out;
    for (const auto& [name, code] : names_) {
        if (out.size() <= code) out.resize(code + 1);
        if (out[code].empty()) out[code] = name;
    }
    return out;
}

}  // namespace tarvik::import
