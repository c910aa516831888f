// The instruments of an import, each a (symbol, listed exchange) pair: the
// directory the tape will carry, what a symbols file says of each, and the
// price type chosen for each from its prices.
#pragma once

#include <tsl/robin_map.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "decimal.h"
#include "engine/text_store.h"

namespace tarvik::import {

// Hashing that finds std::string keys by std::string_view, without making a
// string for every look-up.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

class BatchSource;
struct ImportOptions;

struct OptionTerms {
    std::string root;
    std::string underlying;
    uint32_t expiration_ndays = 0;
    int32_t strike = 0;  // three implied decimals
    uint8_t put_call = 0;  // 1 put
    uint16_t contract_unit = 100;
};

// Where a value was read: an input's column (a number the Instruments
// give each pair of input and column name) and a row, in 64 bits; made
// into text only for an error.
struct Place {
    uint64_t bits = 0;  // the column's number in the low 16 bits, the row above
};

// A price with where it was read: a previous close from the symbols file,
// a price no type writes.
struct PlacedPrice {
    Decimal value;
    Place where;
    std::optional<int32_t> written;  // a float already read in the given price type
};

// An instrument is small, 128 bytes: a day of options has a million of
// them. What a row reads and marks comes first, so that a row touches one
// or two cache lines of its instrument.
struct alignas(64) Instrument {
    static constexpr uint32_t kNone = UINT32_MAX;

    std::optional<uint8_t> price_type;  // given; else chosen from the prices
    uint8_t chosen = 0;  // the price type written
    uint16_t listed = 0;
    // The automatic price type: the most decimals any price needs, and the
    // highest and the lowest price in units of 10^-9 (0 for none above or
    // below 0), each with where it was seen. A price past that range (64
    // bits of such units) fits no price type: the first is kept aside.
    int decimals = 0;
    int64_t highest = 0, lowest = 0;
    std::string_view text;  // as the data files name it, kept by the Instruments
    uint32_t next_listing = kNone;  // the next instrument of the same text
    Place decimals_where, highest_where, lowest_where;
    std::unique_ptr<PlacedPrice> beyond;          // the first price past 64 bits of 10^-9 units
    std::unique_ptr<Decimal> size_multiplier;     // from the symbols file; none: 1
    std::unique_ptr<PlacedPrice> prev_close;
    std::unique_ptr<OptionTerms> option;

    // Takes a price into the automatic choice. `where` is called only when
    // the price sets a new mark, to say where it was seen.
    template <typename Where>
    void note_price(const Decimal& price, Where where) {
        // Below 9 * 10^18 units of 10^-9 a price of up to 9 decimals is
        // counted in 64 bits, and 32 bits hold no price past 2^31.
        static constexpr int64_t kScale[kMaxDecimals + 1] = {
            1'000'000'000, 100'000'000, 10'000'000, 1'000'000, 100'000, 10'000, 1'000, 100, 10, 1};
        constexpr __int128 kLimit = 9'000'000'000'000'000'000;
        const __int128 size = price.units < 0 ? -price.units : price.units;
        if (price.decimals <= kMaxDecimals && size < kLimit / kScale[price.decimals]) {
            const int64_t units = static_cast<int64_t>(price.units) * kScale[price.decimals];
            if (units > highest) {
                highest = units;
                highest_where = where();
            } else if (units < lowest) {
                lowest = units;
                lowest_where = where();
            }
        } else if (!beyond) {
            beyond = std::make_unique<PlacedPrice>(PlacedPrice{price, where()});
        }
        if (price.decimals > decimals) {
            decimals = price.decimals;
            decimals_where = where();
        }
    }
};
static_assert(sizeof(Instrument) == 128);

// Answers of Instruments::find_or_add for texts of up to 16 bytes, by a
// hash of the text: a row's instrument is then found without hashing into
// the maps or reading the instrument. An answer never changes once given.
class RecentInstruments {
public:
    struct Slot {
        uint64_t head = 0, tail = 0;  // the text's bytes (see text_bytes), with size telling the text
        uint32_t id = UINT32_MAX;     // none yet
        uint16_t listed = 0;
        uint8_t size = 0;
        bool unlisted = false;  // asked without a listed exchange
    };
    // The slot of the question, filled in `key`; null for longer texts.
    Slot* slot(std::string_view text, std::optional<uint16_t> listed, Slot& key);

private:
    static constexpr std::size_t kSlots = 16384;
    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

class Instruments {
public:
    // The instrument of a data row. Without a listed exchange the symbol
    // names the one instrument of the symbols file with that text, or the
    // default listed exchange's.
    uint32_t find_or_add(std::string_view text, std::optional<uint16_t> listed, uint16_t default_listed,
                         RecentInstruments& recent);
    // The instrument of the text on that listed exchange, if there is one.
    std::optional<uint32_t> find(std::string_view text, uint16_t listed) const;
    // The listed exchange of the text's instrument: `prefer` when the text
    // is listed there, else its first listing; nullopt for a text no
    // instrument has.
    std::optional<uint16_t> listed_of(std::string_view text, uint16_t prefer) const;
    // The symbols file lists the text on several exchanges, none of them
    // `default_listed`: a row must say which it is on.
    bool ambiguous(std::string_view text, uint16_t default_listed) const;

    uint32_t add_listed(std::string_view text, uint16_t listed);  // from the symbols file, in its order
    Instrument& operator[](uint32_t id) { return list_[id]; }
    const Instrument& operator[](uint32_t id) const { return list_[id]; }
    uint32_t size() const { return static_cast<uint32_t>(list_.size()); }

    // Chooses every instrument's price type (the given one, or the fewest
    // decimals that write all its prices exactly in 32 bits). Throws
    // ImportError when no type can; for whole prices read unscaled
    // (`scaled` false), its message points at --price-scale, as such prices
    // are most often fixed-point units.
    void choose_price_types(std::optional<uint8_t> forced, bool scaled);

    // The number of an input's column, to place its values by; the same
    // names give the same number. `canonical` is our name for the column,
    // shown beside the file's when it was renamed.
    uint16_t column(std::string_view source, std::string_view column_name, std::string_view canonical);
    static Place place(uint16_t column, uint64_t row) { return Place{column | row << 16}; }
    std::string text(Place place) const;  // "file:row: column 'name' (canonical)"

private:
    // Instruments by text: the first of the text, whose next_listing is
    // the next (nearly always none). Texts are kept in blocks of their own,
    // each once, and found by a hash kept beside each key.
    tsl::robin_map<std::string_view, uint32_t, TextHash, std::equal_to<>,
                   std::allocator<std::pair<std::string_view, uint32_t>>, true>
        by_text_;
    engine::TextStore texts_;
    std::optional<uint32_t> lookup(std::string_view text, uint16_t listed) const;
    uint16_t listed_for(std::string_view text, std::optional<uint16_t> listed, uint16_t default_listed) const;
    uint32_t insert(std::string_view text, uint16_t listed);
    struct ByText {
        uint32_t id = 0;
        uint32_t count = 0;
    };
    tsl::robin_map<std::string_view, ByText, TextHash, std::equal_to<>> file_texts_;  // symbols file texts
    std::vector<std::pair<std::string, std::string>> columns_;  // by number: input, "'column' (canonical)"
    std::vector<Instrument> list_;
};

// Names given numbers: exchange names, text trade conditions. Numbers run
// from 1 in order of first appearance, unless a table gives them.
class NameCodes {
public:
    static constexpr uint32_t kNone = UINT32_MAX;  // no number
    NameCodes(const char* what, uint32_t max) : what_(what), max_(max) {}
    // The name's number, or kNone. (A plain number, not an optional: the
    // import asks once a row or more, and an optional that passes through
    // memory costs a stall each time.)
    uint32_t find(std::string_view name) const {
        if (name.size() == 1) {  // exchange letters, "@": no hashing
            const uint32_t code = one_char_[static_cast<unsigned char>(name[0])];
            if (code != 0) return code - 1;
        }
        return find_named(name);
    }
    // The name's number; adds it unless the table was given. kNone when the
    // name is not in a given table or the numbers run out (`why` says).
    uint32_t code(std::string_view name, std::string& why) {
        const uint32_t c = find(name);
        return c != kNone ? c : add(name, why);
    }
    void give(std::string name, uint32_t code);
    // A table is given, even one without names: every name must be in it.
    void given_table() { given_ = true; }
    bool given() const { return given_; }
    bool empty() const { return names_.empty(); }
    // Index = number; gaps are empty texts. A number given to several
    // names (a table's synonyms) is named by the first.
    std::vector<std::string> table() const;
    // The first name given the number by a table, or null.
    const std::string* given_name(uint32_t code) const {
        return code < given_names_.size() && given_names_[code] != 0 ? &names_[given_names_[code] - 1].first : nullptr;
    }

private:
    const char* what_;
    uint32_t max_;
    uint32_t find_named(std::string_view name) const;
    uint32_t add(std::string_view name, std::string& why);

    bool given_ = false;
    TextMap<uint32_t> codes_;
    std::array<uint32_t, 256> one_char_{};  // code + 1 of one-character names: exchange letters, "@"
    std::vector<std::pair<std::string, uint32_t>> names_;
    std::vector<uint32_t> given_names_;  // by number: the index + 1 in names_ of its first given name
};

}  // namespace tarvik::import
