#include "instruments.h"

#include <cstring>
#include <limits>

#include "import_error.h"
#include "prices.h"

namespace tarvik::import {
namespace {

void make_key(std::string& key, std::string_view text, uint16_t listed) {
    key.assign(text);
    key.push_back('\0');
    key.push_back(static_cast<char>(listed & 0xFF));
    key.push_back(static_cast<char>(listed >> 8));
}

}  // namespace

uint32_t Instruments::add_listed(std::string text, uint16_t listed) {
    make_key(key_, text, listed);
    auto [it, added] = by_key_.try_emplace(key_, size());
    if (!added) return it->second;
    ByText& t = file_texts_[text];
    t.id = it->second;
    ++t.count;
    Instrument inst;
    inst.text = std::move(text);
    inst.listed = listed;
    list_.push_back(std::move(inst));
    return it->second;
}

bool Instruments::ambiguous(std::string_view text) const {
    if (file_texts_.empty()) return false;
    const auto it = file_texts_.find(std::string(text));
    return it != file_texts_.end() && it->second.count > 1;
}

std::optional<uint32_t> Instruments::find(std::string_view text, uint16_t listed) const {
    std::string key;
    make_key(key, text, listed);
    const auto it = by_key_.find(key);
    if (it == by_key_.end()) return std::nullopt;
    return it->second;
}

uint32_t Instruments::find_or_add(std::string_view text, std::optional<uint16_t> listed, uint16_t default_listed) {
    // Rows of one symbol tend to come together.
    if (last_ != UINT32_MAX && list_[last_].text == text && last_unlisted_ == !listed &&
        (!listed || *listed == last_listed_))
        return last_;
    uint16_t where = default_listed;
    if (listed) {
        where = *listed;
    } else if (!file_texts_.empty()) {
        const auto it = file_texts_.find(std::string(text));
        if (it != file_texts_.end() && it->second.count == 1) where = list_[it->second.id].listed;
    }
    make_key(key_, text, where);
    auto [it, added] = by_key_.try_emplace(key_, size());
    if (added) {
        Instrument inst;
        inst.text = std::string(text);
        inst.listed = where;
        list_.push_back(std::move(inst));
    }
    last_ = it->second;
    last_listed_ = listed ? *listed : 0;
    last_unlisted_ = !listed;
    return last_;
}

void Instruments::choose_price_types(std::optional<uint8_t> forced) {
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
            throw ImportError(inst.decimals_where + ": " + std::to_string(inst.decimals) +
                              " decimals: a price has at most 9 (or give the instrument a price type)");
        inst.chosen = static_cast<uint8_t>(inst.decimals);
        __int128 scale = 1;
        for (int d = inst.decimals; d >= 0; --d, scale *= 10) {
            const __int128 limit = std::numeric_limits<int32_t>::max();
            if (inst.largest[d] <= limit && inst.largest[d] * scale <= limit) continue;
            Decimal largest{inst.largest[d], d};
            char text[48];
            throw ImportError(inst.largest_where[d] + ": " + std::string(format_decimal(largest, text)) + " of " +
                              inst.text + " (listed exchange " + std::to_string(inst.listed) +
                              ") does not fit 32 bits at the " + std::to_string(inst.decimals) +
                              " decimals its prices need (" + inst.decimals_where +
                              "); no price type writes every price exactly");
        }
    }
}

std::optional<uint32_t> NameCodes::find(std::string_view name) const {
    const auto it = codes_.find(std::string(name));
    if (it == codes_.end()) return std::nullopt;
    return it->second;
}

std::optional<uint32_t> NameCodes::code(std::string_view name, std::string& why) {
    if (const auto c = find(name)) return c;
    if (given_) {
        why = std::string(what_) + " " + quoted(name) + " is not in the table given";
        return std::nullopt;
    }
    const uint32_t next = static_cast<uint32_t>(names_.size()) + 1;
    if (next > max_) {
        why = "more than " + std::to_string(max_) + " different " + what_ + "s";
        return std::nullopt;
    }
    codes_.emplace(std::string(name), next);
    names_.emplace_back(std::string(name), next);
    return next;
}

void NameCodes::give(std::string name, uint32_t code) {
    given_ = true;
    codes_[name] = code;
    names_.emplace_back(std::move(name), code);
}

std::vector<std::string> NameCodes::table() const {
    std::vector<std::string> out;
    for (const auto& [name, code] : names_) {
        if (out.size() <= code) out.resize(code + 1);
        out[code] = name;
    }
    return out;
}

}  // namespace tarvik::import
