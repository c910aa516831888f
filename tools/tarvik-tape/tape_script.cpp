#include "tape_script.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "engine/dates.h"
#include "engine/tape_reader.h"
#include "engine/tape_writer.h"
#include "engine/utf8_text.h"
#include "tape_info.h"

namespace tarvik::tool {

using engine::kNone;
using json = nlohmann::ordered_json;

namespace {

// ---------------------------------------------------------------------------
// Names of values
// ---------------------------------------------------------------------------

constexpr const char* kKindNames[] = {"status", "exgquote", "mmquote", "trade", "category", "symbolchange",
                                      "symbolspin"};
constexpr const char* kFieldTypeNames[] = {"unknown", "64bit", "32bit", "stringz", "double", "price",
                                           "date",    "time",  "tqstring", "string_idx", "string_map"};
constexpr const char* kChangeNames[] = {"add", "del", "mod"};

template <std::size_t N>
int name_index(const char* const (&names)[N], const std::string& name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name == names[i]) return static_cast<int>(i);
    return -1;
}

json text_json(const std::string& text) {
    // JSON holds well-formed UTF-8 only (a surrogate's bytes, say, are not).
    if (engine::valid_utf8(text) && text.find('\0') == std::string::npos) return text;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) {
        hex += kHex[c >> 4];
        hex += kHex[c & 0xF];
    }
    return json{{"hex", hex}};
}

std::string format_date(uint32_t ndays) { return engine::ymd_text(ndays); }

std::string format_time(uint64_t micros) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%06" PRIu64, micros / 3'600'000'000,
                  micros / 60'000'000 % 60, micros / 1'000'000 % 60, micros % 1'000'000);
    return buf;
}

// ---------------------------------------------------------------------------
// Reading one line's object, with the line and field in every error
// ---------------------------------------------------------------------------

class Fields {
public:
    Fields(const json& object, std::string where) : obj_(object), where_(std::move(where)) {
        if (!obj_.is_object()) fail("", "expected an object");
    }

    [[noreturn]] void fail(const std::string& field, const std::string& message) const {
        throw InputError(where_ + (field.empty() ? "" : ": field '" + field + "'") + ": " + message);
    }

    // Every key must be one of `known`.
    void only(std::initializer_list<const char*> known) const { only_in(known, {}); }
    // Every key must be in one of the two lists.
    template <typename Names>
    void only_in(const Names& known, const Names& more) const {
        for (auto it = obj_.begin(); it != obj_.end(); ++it) {
            bool found = false;
            for (const char* k : known) found = found || it.key() == k;
            for (const char* k : more) found = found || it.key() == k;
            if (!found) fail(it.key(), "unknown field");
        }
    }

    bool has(const char* key) const { return obj_.contains(key) && !obj_.at(key).is_null(); }
    bool present(const char* key) const { return obj_.contains(key); }
    const json& at(const char* key) const { return obj_.at(key); }

    template <typename T>
    T integer(const char* key, T fallback) const {
        if (!has(key)) return fallback;
        return integer_value<T>(obj_.at(key), key);
    }
    template <typename T>
    T required_integer(const char* key) const {
        if (!has(key)) fail(key, "missing");
        return integer_value<T>(obj_.at(key), key);
    }
    template <typename T>
    T integer_value(const json& v, const std::string& field) const {
        if (v.is_number_unsigned()) {
            const uint64_t u = v.get<uint64_t>();
            if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) fail(field, "out of range");
            return static_cast<T>(u);
        }
        if (v.is_number_integer()) {
            const int64_t i = v.get<int64_t>();
            if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
                (i > 0 && static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
                fail(field, "out of range");
            return static_cast<T>(i);
        }
        // JSON keeps a whole number past 64 bits as a float.
        if (v.is_number_float() && std::fabs(v.get<double>()) >= 0x1p63 && std::isfinite(v.get<double>()))
            fail(field, "out of range");
        fail(field, "expected an integer");
    }

    std::string text_value(const json& v, const std::string& field) const {
        if (v.is_string()) return v.get<std::string>();
        if (v.is_object() && v.size() == 1 && v.contains("hex") && v.at("hex").is_string()) {
            const std::string hex = v.at("hex").get<std::string>();
            if (hex.size() % 2 != 0) fail(field, "hex text of odd length");
            std::string out;
            for (std::size_t i = 0; i < hex.size(); i += 2) {
                const auto nibble = [&](char c) -> int {
                    if (c >= '0' && c <= '9') return c - '0';
                    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
                    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
                    fail(field, "bad hex digit");
                };
                out += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
            }
            return out;
        }
        fail(field, "expected a text (a string, or {\"hex\": ...})");
    }
    std::string text(const char* key, const std::string& fallback) const {
        return has(key) ? text_value(obj_.at(key), key) : fallback;
    }
    std::string required_text(const char* key) const {
        if (!has(key)) fail(key, "missing");
        return text_value(obj_.at(key), key);
    }

    // A date as YYYY-MM-DD or as a day number; either way from 1883-01-01
    // to 9999-12-31, the dates a tape can show and a dump can write.
    uint32_t date_value(const json& v, const std::string& field) const {
        static const uint32_t kLastDay = engine::ndays_from_ymd(engine::kLastYear, 12, 31);
        if (v.is_number()) {
            const uint32_t ndays = integer_value<uint32_t>(v, field);
            if (ndays > kLastDay)
                fail(field, "day number past 9999-12-31 (" + std::to_string(kLastDay) + ")");
            return ndays;
        }
        uint32_t ndays = 0;
        if (!v.is_string() || !engine::parse_ymd(v.get<std::string>(), ndays))
            fail(field, "expected a date YYYY-MM-DD from 1883-01-01 to 9999-12-31");
        return ndays;
    }
    uint32_t date(const char* key, uint32_t fallback) const {
        return has(key) ? date_value(obj_.at(key), key) : fallback;
    }

    uint64_t time_value(const json& v, const std::string& field) const {
        if (v.is_number()) {
            const uint64_t micros = integer_value<uint64_t>(v, field);
            if (micros >= engine::kMicrosPerDay) fail(field, "past the end of the day");
            return micros;
        }
        if (!v.is_string()) fail(field, "expected a time HH:MM:SS[.ffffff]");
        return parse_time(v.get<std::string>(), field);
    }
    uint64_t parse_time(const std::string& s, const std::string& field) const {
        const auto two = [&s](std::size_t at) -> unsigned {
            if (s.size() < at + 2 || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9') return 99;
            return static_cast<unsigned>((s[at] - '0') * 10 + (s[at + 1] - '0'));
        };
        const unsigned h = two(0), m = two(3), sec = two(6);
        if (s.size() < 8 || s[2] != ':' || s[5] != ':' || h > 23 || m > 59 || sec > 59)
            fail(field, "expected a time HH:MM:SS[.ffffff]");
        uint64_t micros = (uint64_t{h} * 3600 + m * 60 + sec) * 1'000'000;
        std::size_t i = 8;
        if (i < s.size()) {
            if (s[i] != '.' || i + 1 == s.size() || s.size() - i - 1 > 6)
                fail(field, "expected up to six digits after the seconds");
            uint64_t frac = 0;
            std::size_t digits = 0;
            for (++i; i < s.size(); ++i, ++digits) {
                if (s[i] < '0' || s[i] > '9') fail(field, "expected digits after the seconds");
                frac = frac * 10 + static_cast<uint64_t>(s[i] - '0');
            }
            for (; digits < 6; ++digits) frac *= 10;
            micros += frac;
        }
        return micros;
    }

    const std::string& where() const { return where_; }

private:
    const json& obj_;
    std::string where_;
};

// ---------------------------------------------------------------------------
// The tape a script builds, line by line
// ---------------------------------------------------------------------------

class TapeBuilder {
public:
    TapeContents tape;
    std::unordered_map<std::string, uint32_t> symbol_ids;
    std::unordered_map<uint16_t, uint32_t> category_ids;

    uint32_t intern(const std::string& text) {
        auto [it, added] = texts_.try_emplace(text, static_cast<uint32_t>(tape.tables.texts.size()));
        if (added) tape.tables.texts.push_back(text);
        return it->second;
    }
    uint32_t optional_text(const Fields& f, const char* key) {
        return f.has(key) ? intern(f.text_value(f.at(key), key)) : kNone;
    }
    uint32_t symbol_ref(const Fields& f, const char* key) const {
        if (!f.has(key)) return kNone;
        if (!f.at(key).is_string()) f.fail(key, "expected a symbol id");
        auto it = symbol_ids.find(f.at(key).get<std::string>());
        if (it == symbol_ids.end()) f.fail(key, "no symbol or option with this id on an earlier line");
        return it->second;
    }

private:
    std::unordered_map<std::string, uint32_t> texts_;
};

// What a dump needs to write a field: the tables and the symbols' ids.
struct DumpContext {
    const engine::TapeTables& tables;
    const std::vector<std::string>& ids;

    json text(uint32_t index) const { return index == kNone ? json() : text_json(tables.texts[index]); }
    json symbol(uint32_t index) const { return index == kNone ? json() : json(ids[index]); }
};

// ---------------------------------------------------------------------------
// Field schemas: one list per record kind says which keys a line may have,
// how each is read (in list order) and how a dump writes it (in list order)
// ---------------------------------------------------------------------------

template <typename Record>
struct ScriptField {
    const char* key;
    void (*parse)(const ScriptField& self, const Fields& f, TapeBuilder& b, Record& r);
    json (*dump)(const Record& r, const DumpContext& c);
    int64_t fallback = 0;
    bool required = false;
    // Read after the record's other fields, so that a line with several
    // bad fields names the same one it always has.
    bool late = false;
};
template <typename Record>
using Schema = std::vector<ScriptField<Record>>;

// The member reached from a record through a path of member pointers.
template <auto... Path, typename Record>
auto& member(Record& r) {
    return (r .* ... .* Path);
}

// An integer member, `fallback` when the line leaves it out (or null).
template <typename Record, auto... Path>
ScriptField<Record> number(const char* key, int64_t fallback = 0) {
    using T = std::remove_cvref_t<decltype(member<Path...>(std::declval<Record&>()))>;
    return {key,
            [](const ScriptField<Record>& self, const Fields& f, TapeBuilder&, Record& r) {
                member<Path...>(r) =
                    self.required ? f.required_integer<T>(self.key) : f.integer<T>(self.key, static_cast<T>(self.fallback));
            },
            [](const Record& r, const DumpContext&) { return json(member<Path...>(r)); }, fallback};
}
template <typename Record, auto... Path>
ScriptField<Record> required_number(const char* key) {
    ScriptField<Record> field = number<Record, Path...>(key);
    field.required = true;
    return field;
}

// A text member, null for none.
template <typename Record, auto... Path>
ScriptField<Record> optional_text(const char* key, bool late = false) {
    return {key,
            [](const ScriptField<Record>& self, const Fields& f, TapeBuilder& b, Record& r) {
                member<Path...>(r) = b.optional_text(f, self.key);
            },
            [](const Record& r, const DumpContext& c) { return c.text(member<Path...>(r)); }, 0, false, late};
}

template <typename Record>
void read_fields(const Schema<Record>& schema, const Fields& f, TapeBuilder& b, Record& r) {
    for (const bool late : {false, true})
        for (const ScriptField<Record>& field : schema)
            if (field.late == late) field.parse(field, f, b, r);
}

template <typename Record>
void write_fields(const Schema<Record>& schema, const Record& r, const DumpContext& c, json& out) {
    for (const ScriptField<Record>& field : schema) out[field.key] = field.dump(r, c);
}

// --- symbols and options ----------------------------------------------------

using engine::OptionContract;
using engine::SymbolEntry;

template <auto Member>
ScriptField<SymbolEntry> symbol_number(const char* key) {
    return number<SymbolEntry, Member>(key);
}
template <auto Member>
ScriptField<SymbolEntry> contract_number(const char* key, int64_t fallback = 0) {
    return number<SymbolEntry, &SymbolEntry::option, Member>(key, fallback);
}
template <auto Member>
ScriptField<SymbolEntry> contract_text(const char* key) {
    return optional_text<SymbolEntry, &SymbolEntry::option, Member>(key);
}

// The symbol's text ("text") or an option's root ("root").
ScriptField<SymbolEntry> symbol_text(const char* key) {
    return {key,
            [](const ScriptField<SymbolEntry>& self, const Fields& f, TapeBuilder& b, SymbolEntry& s) {
                s.text = b.intern(f.required_text(self.key));
            },
            [](const SymbolEntry& s, const DumpContext& c) { return text_json(c.tables.texts[s.text]); }};
}

// The atom defaults to the line's position among the symbols.
const ScriptField<SymbolEntry> kAtom = {
    "atom",
    [](const ScriptField<SymbolEntry>&, const Fields& f, TapeBuilder& b, SymbolEntry& s) {
        s.atom = f.integer<uint32_t>("atom", static_cast<uint32_t>(b.tape.tables.symbols.size() + 1));
    },
    [](const SymbolEntry& s, const DumpContext&) { return json(s.atom); }};

Schema<SymbolEntry> symbol_schema(bool option) {
    Schema<SymbolEntry> schema = {symbol_text(option ? "root" : "text"),
                                  symbol_number<&SymbolEntry::listed_exg>("listed_exg"),
                                  symbol_number<&SymbolEntry::session>("session"),
                                  symbol_number<&SymbolEntry::price_type>("price_type"), kAtom,
                                  symbol_number<&SymbolEntry::prev_close>("prev_close")};
    if (!option) return schema;
    schema.insert(
        schema.end(),
        {contract_text<&OptionContract::underlying>("underlying"),
         contract_text<&OptionContract::series_chain>("series_chain"),
         contract_text<&OptionContract::special_settle>("special_settle"),
         {"date_and_strike",
          [](const ScriptField<SymbolEntry>&, const Fields& f, TapeBuilder&, SymbolEntry& s) {
              const std::string ds = f.required_text("date_and_strike");
              if (ds.size() != 2) f.fail("date_and_strike", "expected two characters");
              std::memcpy(s.option.date_and_strike, ds.data(), 2);
          },
          [](const SymbolEntry& s, const DumpContext&) {
              return text_json(std::string(s.option.date_and_strike, 2));
          }},
         contract_number<&OptionContract::exg_underlying>("exg_underlying"),
         contract_number<&OptionContract::contract_unit>("contract_unit", 100),
         required_number<SymbolEntry, &SymbolEntry::option, &OptionContract::strike>("strike"),
         contract_number<&OptionContract::strike_est>("strike_est"),
         contract_number<&OptionContract::put_call>("put_call"),
         contract_number<&OptionContract::expiration_cycle>("expiration_cycle"),
         contract_number<&OptionContract::strike_age>("strike_age"),
         contract_number<&OptionContract::strike_match>("strike_match"),
         {"expiration",
          [](const ScriptField<SymbolEntry>&, const Fields& f, TapeBuilder&, SymbolEntry& s) {
              if (!f.has("expiration")) f.fail("expiration", "missing");
              s.option.expiration_ndays = f.date_value(f.at("expiration"), "expiration");
          },
          [](const SymbolEntry& s, const DumpContext&) { return json(format_date(s.option.expiration_ndays)); }}});
    return schema;
}

const Schema<SymbolEntry>& symbol_fields(bool option) {
    static const Schema<SymbolEntry> kPlain = symbol_schema(false);
    static const Schema<SymbolEntry> kOption = symbol_schema(true);
    return option ? kOption : kPlain;
}

// --- events -------------------------------------------------------------------

using engine::TapeEvent;
using EventField = ScriptField<TapeEvent>;

template <auto Member>
EventField event_number(const char* key) {
    return number<TapeEvent, Member>(key);
}
template <auto Member>
EventField quote_number(const char* key) {
    return number<TapeEvent, &TapeEvent::quote, Member>(key);
}
template <auto Member>
EventField trade_number(const char* key) {
    return number<TapeEvent, &TapeEvent::trade, Member>(key);
}

// Session and price type default to the symbol's.
template <auto Member, auto SymbolMember>
EventField symbol_default(const char* key) {
    return {key,
            [](const EventField& self, const Fields& f, TapeBuilder& b, TapeEvent& e) {
                const auto fallback = e.symbol != kNone ? b.tape.tables.symbols[e.symbol].*SymbolMember : 0;
                e.*Member = f.integer<std::remove_cvref_t<decltype(e.*Member)>>(self.key, fallback);
            },
            [](const TapeEvent& e, const DumpContext&) { return json(e.*Member); }};
}

// The fields every event has besides its kind and "ext".
const Schema<TapeEvent> kEventFields = {
    {"time",
     [](const EventField&, const Fields& f, TapeBuilder&, TapeEvent& e) {
         if (!f.present("time")) f.fail("time", "missing");
         e.micros = f.time_value(f.at("time"), "time");
     },
     [](const TapeEvent& e, const DumpContext&) { return json(format_time(e.micros)); }},
    {"symbol",
     [](const EventField&, const Fields& f, TapeBuilder& b, TapeEvent& e) {
         if (!f.present("symbol")) f.fail("symbol", "missing (null for a message without a symbol)");
         e.symbol = b.symbol_ref(f, "symbol");
     },
     [](const TapeEvent& e, const DumpContext& c) { return c.symbol(e.symbol); }},
    event_number<&TapeEvent::reporting_exg>("reporting_exg"),
    event_number<&TapeEvent::permission_id>("permission_id"),
    symbol_default<&TapeEvent::session, &SymbolEntry::session>("session"),
    symbol_default<&TapeEvent::price_type, &SymbolEntry::price_type>("price_type"),
};

Schema<TapeEvent> quote_fields(bool market_maker) {
    Schema<TapeEvent> schema = {
        quote_number<&engine::QuoteEventBody::bid>("bid"),
        quote_number<&engine::QuoteEventBody::ask>("ask"),
        quote_number<&engine::QuoteEventBody::bid_size>("bid_size"),
        quote_number<&engine::QuoteEventBody::ask_size>("ask_size"),
        quote_number<&engine::QuoteEventBody::quote_condition>("quote_condition"),
        quote_number<&engine::QuoteEventBody::refresh>("refresh"),
        quote_number<&engine::QuoteEventBody::nasdaq_bid_tick>("nasdaq_bid_tick")};
    if (!market_maker) {
        schema.push_back(quote_number<&engine::QuoteEventBody::closing_quote>("closing_quote"));
        return schema;
    }
    schema.insert(schema.end(), {optional_text<TapeEvent, &TapeEvent::market_maker>("market_maker", true),
                                 quote_number<&engine::QuoteEventBody::market_maker_type>("market_maker_type"),
                                 quote_number<&engine::QuoteEventBody::quote_type>("quote_type")});
    return schema;
}

const EventField kExtConditions = {
    "ext_conditions",
    [](const EventField&, const Fields& f, TapeBuilder&, TapeEvent& e) {
        uint8_t* conditions = e.trade.ext_conditions;
        std::memset(conditions, kNoTradeCondition, 4);
        if (!f.has("ext_conditions")) return;
        const json& c = f.at("ext_conditions");
        if (!c.is_array() || c.size() > 4) f.fail("ext_conditions", "expected up to four conditions");
        for (std::size_t i = 0; i < c.size(); ++i) conditions[i] = f.integer_value<uint8_t>(c[i], "ext_conditions");
    },
    [](const TapeEvent& e, const DumpContext&) {
        const uint8_t* c = e.trade.ext_conditions;
        return json::array({c[0], c[1], c[2], c[3]});
    },
    0, false, true};

const EventField kPriceFlags = {
    "price_flags",
    [](const EventField&, const Fields& f, TapeBuilder&, TapeEvent& e) {
        e.trade.price_flags = f.integer<uint8_t>("price_flags", 0);
        if (e.trade.price_flags & ~engine::kTapePriceFlags)
            f.fail("price_flags", "only insert (16), cancel (32) and settlement (64) come from the tape");
    },
    [](const TapeEvent& e, const DumpContext&) { return json(e.trade.price_flags); }};

Schema<TapeEvent> trade_fields() {
    return {required_number<TapeEvent, &TapeEvent::trade, &engine::TradeEventBody::price>("price"),
            trade_number<&engine::TradeEventBody::size>("size"),
            trade_number<&engine::TradeEventBody::exg_sequence>("exg_sequence"),
            trade_number<&engine::TradeEventBody::trade_condition>("trade_condition"),
            trade_number<&engine::TradeEventBody::condition_flags>("condition_flags"),
            trade_number<&engine::TradeEventBody::volume_type>("volume_type"),
            trade_number<&engine::TradeEventBody::bate_code>("bate_code"),
            kExtConditions,
            kPriceFlags,
            trade_number<&engine::TradeEventBody::records_back>("records_back")};
}

// A double category value: a number, or a text for what JSON has no number
// for: "inf", "-inf", "nan", or "0x" and the 16 hex digits of its bits (a NaN
// of another payload, so that a dump compiles back to the same bytes).
double double_value(const Fields& f, const json& v, const std::string& field) {
    if (v.is_number()) return v.get<double>();
    if (v.is_string()) {
        const std::string& text = v.get_ref<const std::string&>();
        if (text == "inf") return std::numeric_limits<double>::infinity();
        if (text == "-inf") return -std::numeric_limits<double>::infinity();
        if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
        if (text.size() == 18 && text.compare(0, 2, "0x") == 0 &&
            text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
            const uint64_t bits = std::stoull(text.substr(2), nullptr, 16);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
    }
    f.fail(field, "expected a number, \"inf\", \"-inf\", \"nan\" or \"0x\" and 16 hex digits");
}

// The text a double that is no JSON number is dumped as.
json double_json(double value) {
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    if (!std::isnan(value)) return value;
    uint64_t bits, quiet;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(&bits, &value, sizeof bits);
    std::memcpy(&quiet, &nan, sizeof quiet);
    if (bits == quiet) return "nan";
    char text[19];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(bits));
    return text;
}

engine::CategoryValue category_value(const Fields& f, TapeBuilder& b, const json& v, uint8_t type,
                                     const std::string& field) {
    engine::CategoryValue out{};
    if (v.is_null()) return out;
    out.set = 1;
    unsigned char* p = out.value;
    const auto store = [p](const auto& value) { std::memcpy(p, &value, sizeof value); };
    switch (type) {
    case TqCFT_32BIT:
        store(f.integer_value<uint32_t>(v, field));
        break;
    case TqCFT_STRINGZ:
    case TqCFT_TqSTRING:
        store(b.intern(f.text_value(v, field)));
        break;
    case TqCFT_DOUBLE:
        store(double_value(f, v, field));
        break;
    case TqCFT_PRICE: {
        const Fields price(v, f.where() + ": " + field);
        price.only({"price", "price_type"});
        TqPriceRecord r{price.required_integer<int32_t>("price"), price.integer<uint8_t>("price_type", 0)};
        std::memcpy(p, &r.Price, 4);
        p[4] = r.PriceType;
        break;
    }
    case TqCFT_DATE: {
        TqDateRecord d{};
        d.NDays = f.date_value(v, field);
        engine::date_from_ndays(d);
        store(d);
        break;
    }
    case TqCFT_TIME: {
        const uint64_t micros = f.time_value(v, field);
        if (micros % 1000 != 0) f.fail(field, "a category time holds whole milliseconds");
        store(engine::time_from_micros(micros, 0));  // the header's zone once the script is read
        break;
    }
    case TqCFT_STRING_IDX:
    case TqCFT_STRING_MAP: {
        const Fields item(v, f.where() + ": " + field);
        item.only({"table", "index"});
        store(StringTableItemRecord{item.required_integer<uint32_t>("table"), item.required_integer<uint32_t>("index")});
        break;
    }
    default:  // 64-bit values and types without a meaning here
        if (v.is_number_integer() && !v.is_number_unsigned()) store(f.integer_value<int64_t>(v, field));
        else store(f.integer_value<uint64_t>(v, field));
        break;
    }
    return out;
}

json category_value_json(const engine::CategoryValue& v, uint8_t type, const DumpContext& c) {
    if (!v.set) return json();
    const auto load = [&v](auto value) {
        std::memcpy(&value, v.value, sizeof value);
        return value;
    };
    switch (type) {
    case TqCFT_32BIT: return load(uint32_t{});
    case TqCFT_STRINGZ:
    case TqCFT_TqSTRING: return c.text(load(uint32_t{}));
    case TqCFT_DOUBLE: return double_json(load(double{}));
    case TqCFT_PRICE: return json{{"price", load(int32_t{})}, {"price_type", v.value[4]}};
    case TqCFT_DATE: return format_date(load(TqDateRecord{}).NDays);
    case TqCFT_TIME: return format_time(uint64_t{load(TqTimeRecord{}).MsOfDay} * 1000);
    case TqCFT_STRING_IDX:
    case TqCFT_STRING_MAP: {
        const auto item = load(StringTableItemRecord{});
        return json{{"table", item.ixTable}, {"index", item.idString}};
    }
    default: return load(uint64_t{});
    }
}

// A category time is on the tape's clock: the header's zone, wherever the
// header line stands in the script.
void stamp_category_times(TapeContents& tape) {
    engine::TapeTables& t = tape.tables;
    for (const engine::TapeEvent& e : tape.events) {
        if (e.kind != TqMSG_CATEGORY) continue;
        const engine::CategoryDef& def = t.categories[e.category.category];
        for (std::size_t f = 0; f < def.fields.size(); ++f) {
            engine::CategoryValue& v = t.category_values[e.category.first_value + f];
            if (def.fields[f].type != TqCFT_TIME || !v.set) continue;
            TqTimeRecord time;
            std::memcpy(&time, v.value, sizeof time);
            time.TimeZone = t.header.time_zone;
            std::memcpy(v.value, &time, sizeof time);
        }
    }
}

void read_category_values(const Fields& f, TapeBuilder& b, TapeEvent& e) {
    const engine::CategoryDef& def = b.tape.tables.categories[e.category.category];
    const json empty = json::array();
    const json& values = f.has("values") ? f.at("values") : empty;
    if (!values.is_array() || values.size() > def.fields.size())
        f.fail("values", "expected an array of at most " + std::to_string(def.fields.size()) + " values");
    for (std::size_t i = 0; i < def.fields.size(); ++i) {
        const json& v = i < values.size() ? values[i] : json();
        engine::CategoryValue value = category_value(f, b, v, def.fields[i].type, "values[" + std::to_string(i) + "]");
        b.tape.tables.category_values.push_back(value);
    }
}

const Schema<TapeEvent> kCategoryFields = {
    {"category",
     [](const EventField&, const Fields& f, TapeBuilder& b, TapeEvent& e) {
         const uint16_t id = f.required_integer<uint16_t>("category");
         auto it = b.category_ids.find(id);
         if (it == b.category_ids.end()) f.fail("category", "no category with this id on an earlier line");
         e.category.category = it->second;
         e.category.first_value = static_cast<uint32_t>(b.tape.tables.category_values.size());
     },
     [](const TapeEvent& e, const DumpContext& c) { return json(c.tables.categories[e.category.category].id); }},
    {"values", [](const EventField&, const Fields& f, TapeBuilder& b, TapeEvent& e) { read_category_values(f, b, e); },
     [](const TapeEvent& e, const DumpContext& c) {
         const engine::CategoryDef& def = c.tables.categories[e.category.category];
         json values = json::array();
         for (std::size_t i = 0; i < def.fields.size(); ++i)
             values.push_back(
                 category_value_json(c.tables.category_values[e.category.first_value + i], def.fields[i].type, c));
         return values;
     }},
};

const Schema<TapeEvent> kSymbolChangeFields = {
    {"status",
     [](const EventField&, const Fields& f, TapeBuilder&, TapeEvent& e) {
         uint8_t& status = e.symbol_change.status;
         if (!f.has("status") || !f.at("status").is_string()) {
             status = f.integer<uint8_t>("status", 0);
             return;
         }
         const int s = name_index(kChangeNames, f.at("status").get<std::string>());
         if (s < 0) f.fail("status", "expected add, del or mod");
         status = static_cast<uint8_t>(s);
     },
     [](const TapeEvent& e, const DumpContext&) {
         const uint8_t status = e.symbol_change.status;
         return status <= 2 ? json(kChangeNames[status]) : json(status);
     }},
    {"old_symbol",
     [](const EventField&, const Fields& f, TapeBuilder& b, TapeEvent& e) {
         e.symbol_change.old_symbol = b.symbol_ref(f, "old_symbol");
     },
     [](const TapeEvent& e, const DumpContext& c) { return c.symbol(e.symbol_change.old_symbol); }},
    number<TapeEvent, &TapeEvent::symbol_change, &engine::SymbolChangeEventBody::old_listed_exg>("old_listed_exg"),
};

const Schema<TapeEvent> kStatusFields = {
    number<TapeEvent, &TapeEvent::status, &engine::StatusEventBody::status>("status"),
    number<TapeEvent, &TapeEvent::status, &engine::StatusEventBody::status_data>("status_data"),
};

// The fields of a kind's body; none for kinds without one.
const Schema<TapeEvent>& kind_fields(uint8_t kind) {
    static const Schema<TapeEvent> kExgQuote = quote_fields(false), kMMQuote = quote_fields(true),
                                   kTrade = trade_fields(), kNothing;
    switch (kind) {
    case TqMSG_EXGQUOTE: return kExgQuote;
    case TqMSG_MMQUOTE: return kMMQuote;
    case TqMSG_TRADE: return kTrade;
    case TqMSG_CATEGORY: return kCategoryFields;
    case TqMSG_SYMBOLCHANGE: return kSymbolChangeFields;
    case TqMSG_STATUS: return kStatusFields;
    default: return kNothing;
    }
}

// Every key a line of each kind may have.
const std::vector<const char*>& event_keys(uint8_t kind) {
    static const auto kKeys = [] {
        std::array<std::vector<const char*>, 256> keys;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            keys[k] = {"kind"};
            for (const EventField& field : kEventFields) keys[k].push_back(field.key);
            for (const EventField& field : kind_fields(static_cast<uint8_t>(k))) keys[k].push_back(field.key);
            keys[k].push_back("ext");
        }
        return keys;
    }();
    return kKeys[kind];
}

template <typename Record>
std::vector<const char*> keys_of(const Schema<Record>& schema, std::initializer_list<const char*> more) {
    std::vector<const char*> keys(more);
    for (const ScriptField<Record>& field : schema) keys.push_back(field.key);
    return keys;
}

// ---------------------------------------------------------------------------
// The compiler
// ---------------------------------------------------------------------------

class Compiler {
public:
    explicit Compiler(std::string source) : source_(std::move(source)) {}

    void line(const std::string& text, std::size_t number) {
        const std::string where = source_ + ":" + std::to_string(number);
        if (text.find_first_not_of(" \t\r") == std::string::npos) return;
        // The JSON library would end the line at a NUL and never see the rest.
        if (text.find('\0') != std::string::npos) throw InputError(where + ": a NUL byte in the line");
        json doc;
        // Every object's keys, to refuse one given twice (the JSON library
        // would keep the last silently).
        std::vector<std::vector<std::string>> keys;
        const json::parser_callback_t no_repeats = [&](int, json::parse_event_t event, json& parsed) {
            if (event == json::parse_event_t::object_start) keys.emplace_back();
            if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
            if (event == json::parse_event_t::key && !keys.empty()) {
                const std::string key = parsed.get<std::string>();
                for (const std::string& seen : keys.back())
                    if (seen == key) throw InputError(where + ": the key '" + key + "' is given twice");
                keys.back().push_back(key);
            }
            return true;
        };
        try {
            doc = json::parse(text, no_repeats);
        } catch (const json::exception& e) {
            // Syntax errors, and numbers no JSON value holds (1e400).
            throw InputError(where + ": not valid JSON: " + e.what());
        }
        try {
            record(doc, where);
        } catch (const json::exception& e) {
            throw InputError(where + ": " + e.what());
        }
    }

    void record(const json& doc, const std::string& where) {
        if (!doc.is_object() || doc.size() != 1)
            throw InputError(where + ": expected an object with one key: header, strings, symbol, option, "
                                     "category or event");
        const std::string key = doc.begin().key();
        static const char* const kRecords[] = {"header", "strings", "symbol", "option", "category", "event"};
        if (std::find(std::begin(kRecords), std::end(kRecords), key) == std::end(kRecords))
            throw InputError(where + ": unknown record '" + key + "'");
        const Fields f(doc.begin().value(), where + ": " + key);
        if (key == "header") header(f);
        else if (key == "strings") strings(f);
        else if (key == "symbol") symbol(f, false);
        else if (key == "option") symbol(f, true);
        else if (key == "category") category(f);
        else event(f);
    }

    TapeContents finish() {
        stamp_category_times(b_.tape);
        canonicalize_texts(b_.tape);
        return std::move(b_.tape);
    }

private:
    void header(const Fields& f) {
        f.only({"date", "permission_set", "time_zone", "display"});
        engine::TapeHeader& h = b_.tape.tables.header;
        h.date_ndays = f.date("date", h.date_ndays);
        const std::string perm = f.text("permission_set", "");
        if (perm.size() > 4) f.fail("permission_set", "at most 4 characters");
        std::memset(h.permission_set, 0, 4);
        std::memcpy(h.permission_set, perm.data(), perm.size());
        h.time_zone = f.integer<int8_t>("time_zone", 0);
        h.display = f.text("display", "");
        if (header_given_) f.fail("", "a second header: a tape has one");
        header_given_ = true;
    }

    void strings(const Fields& f) {
        f.only({"table", "texts"});
        const int table = f.required_integer<int>("table");
        if (table < engine::kFirstStringTable || table > engine::kLastStringTable)
            f.fail("table", "expected a table from 2 to 32");
        if (!f.has("texts") || !f.at("texts").is_array()) f.fail("texts", "expected an array of texts");
        std::size_t i = 0;
        for (const json& t : f.at("texts"))
            b_.tape.tables.defined[table].push_back(f.text_value(t, "texts[" + std::to_string(i++) + "]"));
    }

    void symbol(const Fields& f, bool option) {
        static const std::vector<const char*> kPlainKeys = keys_of(symbol_fields(false), {"id"});
        static const std::vector<const char*> kOptionKeys = keys_of(symbol_fields(true), {"id"});
        f.only_in(option ? kOptionKeys : kPlainKeys, {});
        SymbolEntry e;
        e.is_option = option;
        read_fields(symbol_fields(option), f, b_, e);
        std::vector<engine::SymbolEntry>& symbols = b_.tape.tables.symbols;
        const std::string id = f.has("id") ? f.required_text("id") : b_.tape.tables.texts[e.text];
        if (!b_.symbol_ids.try_emplace(id, static_cast<uint32_t>(symbols.size())).second)
            f.fail("id", "a symbol or option with id '" + id + "' is already defined");
        symbols.push_back(e);
    }

    uint8_t field_type(const Fields& f, const json& v, const std::string& field) {
        if (v.is_string()) {
            const int t = name_index(kFieldTypeNames, v.get<std::string>());
            if (t < 0) f.fail(field, "unknown field type");
            return static_cast<uint8_t>(t);
        }
        return f.integer_value<uint8_t>(v, field);
    }

    void category(const Fields& f) {
        f.only({"id", "name", "fields"});
        engine::CategoryDef c;
        c.id = f.required_integer<uint16_t>("id");
        c.name = b_.intern(f.required_text("name"));
        if (!f.has("fields") || !f.at("fields").is_array()) f.fail("fields", "expected an array of fields");
        if (f.at("fields").size() > 0xFFFF) f.fail("fields", "at most 65535 fields");
        std::size_t i = 0;
        for (const json& item : f.at("fields")) {
            const Fields field(item, f.where() + ": fields[" + std::to_string(i++) + "]");
            field.only({"name", "info", "type"});
            engine::CategoryFieldDef d;
            d.name = b_.intern(field.required_text("name"));
            d.info = b_.optional_text(field, "info");
            if (!field.has("type")) field.fail("type", "missing");
            d.type = field_type(field, field.at("type"), "type");
            c.fields.push_back(d);
        }
        if (!b_.category_ids.try_emplace(c.id, static_cast<uint32_t>(b_.tape.tables.categories.size())).second)
            f.fail("id", "category id already defined");
        b_.tape.tables.categories.push_back(std::move(c));
    }

    void event(const Fields& f) {
        TapeEvent e{};
        std::memset(&e, 0, sizeof e);
        if (!f.has("kind")) f.fail("kind", "missing");
        const json& kind = f.at("kind");
        if (kind.is_string()) {
            const int k = name_index(kKindNames, kind.get<std::string>());
            if (k < 0) f.fail("kind", "unknown message kind");
            e.kind = static_cast<uint8_t>(k);
        } else {
            e.kind = f.integer_value<uint8_t>(kind, "kind");
        }
        f.only_in(event_keys(e.kind), {});
        e.market_maker = kNone;
        read_fields(kEventFields, f, b_, e);
        read_fields(kind_fields(e.kind), f, b_, e);
        if (f.has("ext")) ext(Fields(f.at("ext"), f.where() + ": ext"), e);
        b_.tape.events.push_back(e);
    }

    void ext(const Fields& x, TapeEvent& e) {
        x.only({"src", "ptp1", "ptp2", "fractional_size"});
        engine::TapeExt ext{};
        ext.micros_src = x.integer<uint64_t>("src", e.micros);
        ext.micros_ptp1 = x.integer<uint64_t>("ptp1", 0);
        ext.micros_ptp2 = x.integer<uint64_t>("ptp2", 0);
        ext.fractional_size =
            x.integer<uint64_t>("fractional_size", e.kind == TqMSG_TRADE ? uint64_t{e.trade.size} * 1'000'000 : 0);
        e.flags |= engine::kEventHasExt;
        b_.tape.ext.push_back(ext);
    }

    std::string source_;
    TapeBuilder b_;
    bool header_given_ = false;
};

}  // namespace

TapeContents compile_script(std::istream& in, const std::string& source) {
    Compiler compiler(source);
    std::string text;
    std::size_t number = 0;
    while (std::getline(in, text)) compiler.line(text, ++number);
    if (in.bad()) throw InputError(source + ": cannot be read");
    return compiler.finish();
}

void canonicalize_texts(TapeContents& tape) {
    engine::TapeTables& t = tape.tables;
    std::vector<uint32_t> remap(t.texts.size(), kNone);
    std::vector<std::string> texts;
    const auto use = [&](uint32_t& index) {
        if (index == kNone) return;
        if (remap[index] == kNone) {
            remap[index] = static_cast<uint32_t>(texts.size());
            texts.push_back(t.texts[index]);
        }
        index = remap[index];
    };
    for (engine::SymbolEntry& s : t.symbols) {
        use(s.text);
        if (!s.is_option) continue;
        use(s.option.underlying);
        use(s.option.series_chain);
        use(s.option.special_settle);
    }
    for (engine::CategoryDef& c : t.categories) {
        use(c.name);
        for (engine::CategoryFieldDef& f : c.fields) {
            use(f.name);
            use(f.info);
        }
    }
    std::vector<bool> value_done(t.category_values.size(), false);  // values may be shared
    for (engine::TapeEvent& e : tape.events) {
        if (e.kind == TqMSG_MMQUOTE) use(e.market_maker);
        if (e.kind != TqMSG_CATEGORY) continue;
        const engine::CategoryDef& def = t.categories[e.category.category];
        for (std::size_t f = 0; f < def.fields.size(); ++f) {
            if (def.fields[f].type != TqCFT_STRINGZ && def.fields[f].type != TqCFT_TqSTRING) continue;
            engine::CategoryValue& v = t.category_values[e.category.first_value + f];
            if (!v.set || value_done[e.category.first_value + f]) continue;
            value_done[e.category.first_value + f] = true;
            uint32_t index;
            std::memcpy(&index, v.value, 4);
            use(index);
            std::memcpy(v.value, &index, 4);
        }
    }
    t.texts = std::move(texts);
}

// ---------------------------------------------------------------------------
// Dump
// ---------------------------------------------------------------------------

namespace {

void dump_line(std::ostream& out, const char* key, json value) {
    out << json{{key, std::move(value)}}.dump() << '\n';
}

// The header's four bytes, without the NULs that pad them at the end
// (those inside stay, and the text is written in hex).
std::string permission_set_text(const engine::TapeHeader& h) {
    std::size_t n = sizeof h.permission_set;
    while (n > 0 && h.permission_set[n - 1] == '\0') --n;
    return std::string(h.permission_set, n);
}

void dump_tables(const engine::TapeTables& t, std::ostream& out) {
    const engine::TapeHeader& h = t.header;
    dump_line(out, "header",
              json{{"date", format_date(h.date_ndays)},
                   {"permission_set", text_json(permission_set_text(h))},
                   {"time_zone", h.time_zone},
                   {"display", text_json(h.display)}});
    for (int table = engine::kFirstStringTable; table <= engine::kLastStringTable; ++table) {
        if (t.defined[table].empty()) continue;
        json texts = json::array();
        for (const std::string& s : t.defined[table]) texts.push_back(text_json(s));
        dump_line(out, "strings", json{{"table", table}, {"texts", texts}});
    }
}

// The id each symbol goes by in the dump: its text when that is unique and
// readable, otherwise "#" and its position.
std::vector<std::string> symbol_ids(const engine::TapeTables& t) {
    std::vector<std::string> ids(t.symbols.size());
    std::unordered_map<std::string, int> taken;
    for (std::size_t i = 0; i < t.symbols.size(); ++i) {
        const SymbolEntry& s = t.symbols[i];
        std::string id = t.texts[s.text];
        // A text may itself read "#1": a made id is made again until unique.
        for (int again = 0; s.is_option || !engine::valid_utf8(id) || taken.count(id); ++again) {
            id = "#" + std::to_string(i) + (again == 0 ? "" : "." + std::to_string(again));
            if (!taken.count(id)) break;
        }
        taken[id] = 1;
        ids[i] = id;
    }
    return ids;
}

void dump_symbols(const DumpContext& c, std::ostream& out) {
    for (std::size_t i = 0; i < c.tables.symbols.size(); ++i) {
        const SymbolEntry& s = c.tables.symbols[i];
        json j{{"id", c.ids[i]}};
        write_fields(symbol_fields(s.is_option), s, c, j);
        dump_line(out, s.is_option ? "option" : "symbol", std::move(j));
    }
}

void dump_categories(const DumpContext& c, std::ostream& out) {
    for (const engine::CategoryDef& def : c.tables.categories) {
        json fields = json::array();
        for (const engine::CategoryFieldDef& f : def.fields) {
            json type = f.type < std::size(kFieldTypeNames) ? json(kFieldTypeNames[f.type]) : json(f.type);
            fields.push_back(json{{"name", c.text(f.name)}, {"info", c.text(f.info)}, {"type", type}});
        }
        dump_line(out, "category", json{{"id", def.id}, {"name", c.text(def.name)}, {"fields", fields}});
    }
}

void dump_events(const TapeContents& tape, const DumpContext& c, std::ostream& out) {
    std::size_t next_ext = 0;
    for (const TapeEvent& e : tape.events) {
        json j;
        j["kind"] = e.kind < std::size(kKindNames) ? json(kKindNames[e.kind]) : json(e.kind);
        write_fields(kEventFields, e, c, j);
        write_fields(kind_fields(e.kind), e, c, j);
        if (e.flags & engine::kEventHasExt) {
            const engine::TapeExt& x = tape.ext[next_ext++];
            j["ext"] = json{{"src", x.micros_src},
                            {"ptp1", x.micros_ptp1},
                            {"ptp2", x.micros_ptp2},
                            {"fractional_size", x.fractional_size}};
        }
        dump_line(out, "event", std::move(j));
    }
}

}  // namespace

void dump_script(const TapeContents& tape, std::ostream& out) {
    const std::vector<std::string> ids = symbol_ids(tape.tables);
    const DumpContext context{tape.tables, ids};
    dump_tables(tape.tables, out);
    dump_symbols(context, out);
    dump_categories(context, out);
    dump_events(tape, context, out);
}

TapeContents read_tape_contents(const std::string& path) {
    engine::TapeBytes bytes;
    TapeContents tape;
    engine::TapeReader reader;
    int32_t result = bytes.map_file(path.c_str());
    if (result == 0) result = reader.open(bytes.data(), bytes.size(), true, tape.tables);
    engine::EventBlock block;
    while (result == 0) {
        const int32_t got = reader.next_block(block);
        if (got <= 0) {
            result = got;
            break;
        }
        tape.events.insert(tape.events.end(), block.events, block.events + block.count);
        tape.ext.insert(tape.ext.end(), block.ext, block.ext + block.ext_count);
    }
    if (result != 0) throw InputError(unreadable_tape(path, result));
    return tape;
}

std::string unreadable_tape(const std::string& path, int32_t result, const std::string& otherwise) {
    // The check's own account: it names a missing file, a directory, the
    // section and the byte.
    tape_info::TapeInfo info;
    tape_info::TapeProblem problem;
    if (!tape_info::inspect_tape(path, tape_info::Scope::Everything, info, problem)) return problem.message();
    if (!otherwise.empty()) return otherwise;
    return path + ": not a readable tape (result code " + std::to_string(result) + ")";
}

void write_tape_contents(const TapeContents& tape, const std::string& path, engine::TapeEncoding encoding) {
    std::string error;
    if (!engine::write_tape_file(path, tape.tables, tape.events, tape.ext, error, encoding)) throw InputError(error);
}

}  // namespace tarvik::tool
