#include "tape_script.h"

#include <cinttypes>
#include <cstring>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "engine/dates.h"
#include "engine/tape_reader.h"
#include "engine/tape_writer.h"

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

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) return false;
        if (c == 0xC0 || c == 0xC1 || c > 0xF4) return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

json text_json(const std::string& text) {
    if (valid_utf8(text) && text.find('\0') == std::string::npos) return text;
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
        if (!v.is_string()) fail(field, "expected a date YYYY-MM-DD");
        int y, m, d;
        char tail;
        if (std::sscanf(v.get<std::string>().c_str(), "%d-%d-%d%c", &y, &m, &d, &tail) != 3 ||
            !engine::valid_ymd(y, m, d))
            fail(field, "expected a date YYYY-MM-DD from 1883-01-01 to 9999-12-31");
        return engine::ndays_from_ymd(y, m, d);
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
        unsigned h, m, sec;
        int used = 0;
        if (std::sscanf(s.c_str(), "%2u:%2u:%2u%n", &h, &m, &sec, &used) != 3 || h > 23 || m > 59 || sec > 59)
            fail(field, "expected a time HH:MM:SS[.ffffff]");
        uint64_t micros = (uint64_t{h} * 3600 + m * 60 + sec) * 1'000'000;
        std::size_t i = static_cast<std::size_t>(used);
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
// The compiler
// ---------------------------------------------------------------------------

class Compiler {
public:
    explicit Compiler(std::string source) : source_(std::move(source)) {}

    void line(const std::string& text, std::size_t number) {
        const std::string where = source_ + ":" + std::to_string(number);
        if (text.find_first_not_of(" \t\r") == std::string::npos) return;
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
        const Fields f(doc.begin().value(), where + ": " + key);
        if (key == "header") header(f);
        else if (key == "strings") strings(f);
        else if (key == "symbol") symbol(f, false);
        else if (key == "option") symbol(f, true);
        else if (key == "category") category(f);
        else if (key == "event") event(f);
        else throw InputError(where + ": unknown record '" + key + "'");
    }

    TapeContents finish() {
        canonicalize_texts(tape_);
        return std::move(tape_);
    }

private:
    uint32_t intern(const std::string& text) {
        auto [it, added] = texts_.try_emplace(text, static_cast<uint32_t>(tape_.tables.texts.size()));
        if (added) tape_.tables.texts.push_back(text);
        return it->second;
    }
    uint32_t optional_text(const Fields& f, const char* key) {
        return f.has(key) ? intern(f.text_value(f.at(key), key)) : kNone;
    }
    uint32_t symbol_ref(const Fields& f, const char* key) {
        if (!f.has(key)) return kNone;
        if (!f.at(key).is_string()) f.fail(key, "expected a symbol id");
        auto it = symbol_ids_.find(f.at(key).get<std::string>());
        if (it == symbol_ids_.end()) f.fail(key, "no symbol or option with this id on an earlier line");
        return it->second;
    }

    void header(const Fields& f) {
        f.only({"date", "permission_set", "time_zone", "display"});
        engine::TapeHeader& h = tape_.tables.header;
        h.date_ndays = f.date("date", h.date_ndays);
        const std::string perm = f.text("permission_set", "");
        if (perm.size() > 4) f.fail("permission_set", "at most 4 characters");
        std::memset(h.permission_set, 0, 4);
        std::memcpy(h.permission_set, perm.data(), perm.size());
        h.time_zone = f.integer<int8_t>("time_zone", 0);
        h.display = f.text("display", "");
    }

    void strings(const Fields& f) {
        f.only({"table", "texts"});
        const int table = f.required_integer<int>("table");
        if (table < engine::kFirstStringTable || table > engine::kLastStringTable)
            f.fail("table", "expected a table from 2 to 32");
        if (!f.has("texts") || !f.at("texts").is_array()) f.fail("texts", "expected an array of texts");
        std::size_t i = 0;
        for (const json& t : f.at("texts"))
            tape_.tables.defined[table].push_back(f.text_value(t, "texts[" + std::to_string(i++) + "]"));
    }

    void symbol(const Fields& f, bool option) {
        if (option) {
            f.only({"id", "root", "listed_exg", "session", "price_type", "atom", "prev_close", "underlying",
                    "series_chain", "special_settle", "date_and_strike", "exg_underlying", "contract_unit",
                    "strike", "strike_est", "put_call", "expiration_cycle", "strike_age", "strike_match",
                    "expiration"});
        } else {
            f.only({"id", "text", "listed_exg", "session", "price_type", "atom", "prev_close"});
        }
        engine::SymbolEntry e;
        const std::string text = f.required_text(option ? "root" : "text");
        e.text = intern(text);
        e.listed_exg = f.integer<uint16_t>("listed_exg", 0);
        e.session = f.integer<uint8_t>("session", 0);
        e.price_type = f.integer<uint8_t>("price_type", 0);
        e.atom = f.integer<uint32_t>("atom", static_cast<uint32_t>(tape_.tables.symbols.size() + 1));
        e.prev_close = f.integer<int32_t>("prev_close", 0);
        e.is_option = option;
        if (option) {
            engine::OptionContract& o = e.option;
            o.underlying = optional_text(f, "underlying");
            o.series_chain = optional_text(f, "series_chain");
            o.special_settle = optional_text(f, "special_settle");
            const std::string ds = f.required_text("date_and_strike");
            if (ds.size() != 2) f.fail("date_and_strike", "expected two characters");
            std::memcpy(o.date_and_strike, ds.data(), 2);
            o.exg_underlying = f.integer<uint16_t>("exg_underlying", 0);
            o.contract_unit = f.integer<uint16_t>("contract_unit", 100);
            o.strike = f.required_integer<int32_t>("strike");
            o.strike_est = f.integer<int32_t>("strike_est", 0);
            o.put_call = f.integer<uint8_t>("put_call", 0);
            o.expiration_cycle = f.integer<uint8_t>("expiration_cycle", 0);
            o.strike_age = f.integer<uint8_t>("strike_age", 0);
            o.strike_match = f.integer<uint8_t>("strike_match", 0);
            if (!f.has("expiration")) f.fail("expiration", "missing");
            o.expiration_ndays = f.date_value(f.at("expiration"), "expiration");
        }
        const std::string id = f.has("id") ? f.required_text("id") : text;
        if (!symbol_ids_.try_emplace(id, static_cast<uint32_t>(tape_.tables.symbols.size())).second)
            f.fail("id", "a symbol or option with id '" + id + "' is already defined");
        tape_.tables.symbols.push_back(e);
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
        c.name = intern(f.required_text("name"));
        if (!f.has("fields") || !f.at("fields").is_array()) f.fail("fields", "expected an array of fields");
        if (f.at("fields").size() > 0xFFFF) f.fail("fields", "at most 65535 fields");
        std::size_t i = 0;
        for (const json& item : f.at("fields")) {
            const Fields field(item, f.where() + ": fields[" + std::to_string(i++) + "]");
            field.only({"name", "info", "type"});
            engine::CategoryFieldDef d;
            d.name = intern(field.required_text("name"));
            d.info = optional_text(field, "info");
            if (!field.has("type")) field.fail("type", "missing");
            d.type = field_type(field, field.at("type"), "type");
            c.fields.push_back(d);
        }
        if (!category_ids_.try_emplace(c.id, static_cast<uint32_t>(tape_.tables.categories.size())).second)
            f.fail("id", "category id already defined");
        tape_.tables.categories.push_back(std::move(c));
    }

    engine::CategoryValue category_value(const Fields& f, const json& v, uint8_t type, const std::string& field) {
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
            store(intern(f.text_value(v, field)));
            break;
        case TqCFT_DOUBLE:
            if (!v.is_number()) f.fail(field, "expected a number");
            store(v.get<double>());
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
        case TqCFT_TIME:
            store(engine::time_from_micros(f.time_value(v, field), tape_.tables.header.time_zone));
            break;
        case TqCFT_STRING_IDX:
        case TqCFT_STRING_MAP: {
            const Fields item(v, f.where() + ": " + field);
            item.only({"table", "index"});
            store(StringTableItemRecord{item.required_integer<uint32_t>("table"),
                                        item.required_integer<uint32_t>("index")});
            break;
        }
        default:  // 64-bit values and types without a meaning here
            if (v.is_number_integer() && !v.is_number_unsigned()) store(f.integer_value<int64_t>(v, field));
            else store(f.integer_value<uint64_t>(v, field));
            break;
        }
        return out;
    }

    void event(const Fields& f) {
        engine::TapeEvent e{};
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
        static const std::map<int, std::vector<const char*>> kKindFields = {
            {TqMSG_EXGQUOTE,
             {"bid", "ask", "bid_size", "ask_size", "quote_condition", "refresh", "nasdaq_bid_tick", "closing_quote"}},
            {TqMSG_MMQUOTE,
             {"bid", "ask", "bid_size", "ask_size", "quote_condition", "refresh", "nasdaq_bid_tick", "market_maker",
              "market_maker_type", "quote_type"}},
            {TqMSG_TRADE,
             {"price", "size", "exg_sequence", "trade_condition", "condition_flags", "volume_type", "bate_code",
              "ext_conditions", "price_flags", "records_back"}},
            {TqMSG_CATEGORY, {"category", "values"}},
            {TqMSG_SYMBOLCHANGE, {"status", "old_symbol", "old_listed_exg"}},
            {TqMSG_STATUS, {"status", "status_data"}},
        };
        static const std::vector<const char*> kCommonFields = {
            "kind", "time", "symbol", "reporting_exg", "permission_id", "session", "price_type", "ext"};
        static const std::vector<const char*> kNoFields;
        const auto kind_fields = kKindFields.find(e.kind);
        f.only_in(kCommonFields, kind_fields != kKindFields.end() ? kind_fields->second : kNoFields);

        if (!f.present("time")) f.fail("time", "missing");
        e.micros = f.time_value(f.at("time"), "time");
        if (!f.present("symbol")) f.fail("symbol", "missing (null for a message without a symbol)");
        e.symbol = symbol_ref(f, "symbol");
        const engine::SymbolEntry* sym = e.symbol != kNone ? &tape_.tables.symbols[e.symbol] : nullptr;
        e.reporting_exg = f.integer<uint16_t>("reporting_exg", 0);
        e.permission_id = f.integer<uint16_t>("permission_id", 0);
        e.session = f.integer<uint8_t>("session", sym ? sym->session : 0);
        e.price_type = f.integer<uint8_t>("price_type", sym ? sym->price_type : 0);
        e.market_maker = kNone;

        switch (e.kind) {
        case TqMSG_EXGQUOTE:
        case TqMSG_MMQUOTE: {
            engine::QuoteEventBody& q = e.quote;
            q.bid = f.integer<int32_t>("bid", 0);
            q.ask = f.integer<int32_t>("ask", 0);
            q.bid_size = f.integer<int32_t>("bid_size", 0);
            q.ask_size = f.integer<int32_t>("ask_size", 0);
            q.quote_condition = f.integer<uint8_t>("quote_condition", 0);
            q.refresh = f.integer<uint8_t>("refresh", 0);
            q.nasdaq_bid_tick = f.integer<uint8_t>("nasdaq_bid_tick", 0);
            q.closing_quote = f.integer<uint8_t>("closing_quote", 0);
            q.market_maker_type = f.integer<uint8_t>("market_maker_type", 0);
            q.quote_type = f.integer<uint8_t>("quote_type", 0);
            e.market_maker = optional_text(f, "market_maker");
            break;
        }
        case TqMSG_TRADE: {
            engine::TradeEventBody& t = e.trade;
            t.price = f.required_integer<int32_t>("price");
            t.size = f.integer<uint32_t>("size", 0);
            t.exg_sequence = f.integer<uint32_t>("exg_sequence", 0);
            t.trade_condition = f.integer<uint8_t>("trade_condition", 0);
            t.condition_flags = f.integer<uint8_t>("condition_flags", 0);
            t.volume_type = f.integer<uint8_t>("volume_type", 0);
            t.bate_code = f.integer<uint8_t>("bate_code", 0);
            t.price_flags = f.integer<uint8_t>("price_flags", 0);
            if (t.price_flags & ~engine::kTapePriceFlags)
                f.fail("price_flags", "only insert (16), cancel (32) and settlement (64) come from the tape");
            t.records_back = f.integer<uint16_t>("records_back", 0);
            std::memset(t.ext_conditions, kNoTradeCondition, 4);
            if (f.has("ext_conditions")) {
                const json& c = f.at("ext_conditions");
                if (!c.is_array() || c.size() > 4) f.fail("ext_conditions", "expected up to four conditions");
                for (std::size_t i = 0; i < c.size(); ++i)
                    t.ext_conditions[i] = f.integer_value<uint8_t>(c[i], "ext_conditions");
            }
            break;
        }
        case TqMSG_CATEGORY: {
            const uint16_t id = f.required_integer<uint16_t>("category");
            auto it = category_ids_.find(id);
            if (it == category_ids_.end()) f.fail("category", "no category with this id on an earlier line");
            const engine::CategoryDef& def = tape_.tables.categories[it->second];
            e.category.category = it->second;
            e.category.first_value = static_cast<uint32_t>(tape_.tables.category_values.size());
            const json empty = json::array();
            const json& values = f.has("values") ? f.at("values") : empty;
            if (!values.is_array() || values.size() > def.fields.size())
                f.fail("values", "expected an array of at most " + std::to_string(def.fields.size()) + " values");
            for (std::size_t i = 0; i < def.fields.size(); ++i) {
                const json& v = i < values.size() ? values[i] : json();
                tape_.tables.category_values.push_back(
                    category_value(f, v, def.fields[i].type, "values[" + std::to_string(i) + "]"));
            }
            break;
        }
        case TqMSG_SYMBOLCHANGE: {
            engine::SymbolChangeEventBody& c = e.symbol_change;
            if (f.has("status") && f.at("status").is_string()) {
                const int s = name_index(kChangeNames, f.at("status").get<std::string>());
                if (s < 0) f.fail("status", "expected add, del or mod");
                c.status = static_cast<uint8_t>(s);
            } else {
                c.status = f.integer<uint8_t>("status", 0);
            }
            c.old_symbol = symbol_ref(f, "old_symbol");
            c.old_listed_exg = f.integer<uint16_t>("old_listed_exg", 0);
            break;
        }
        case TqMSG_STATUS:
            e.status.status = f.integer<int32_t>("status", 0);
            e.status.status_data = f.integer<int32_t>("status_data", 0);
            break;
        default:
            break;
        }

        if (f.has("ext")) {
            const Fields x(f.at("ext"), f.where() + ": ext");
            x.only({"src", "ptp1", "ptp2", "fractional_size"});
            engine::TapeExt ext{};
            ext.micros_src = x.integer<uint64_t>("src", e.micros);
            ext.micros_ptp1 = x.integer<uint64_t>("ptp1", 0);
            ext.micros_ptp2 = x.integer<uint64_t>("ptp2", 0);
            ext.fractional_size = x.integer<uint64_t>(
                "fractional_size", e.kind == TqMSG_TRADE ? uint64_t{e.trade.size} * 1'000'000 : 0);
            e.flags |= engine::kEventHasExt;
            tape_.ext.push_back(ext);
        }
        tape_.events.push_back(e);
    }

    std::string source_;
    TapeContents tape_;
    std::unordered_map<std::string, uint32_t> texts_;
    std::unordered_map<std::string, uint32_t> symbol_ids_;
    std::unordered_map<uint16_t, uint32_t> category_ids_;
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

void dump_script(const TapeContents& tape, std::ostream& out) {
    const engine::TapeTables& t = tape.tables;
    const auto line = [&out](const char* key, json value) { out << json{{key, std::move(value)}}.dump() << '\n'; };
    const auto text = [&t](uint32_t index) { return index == kNone ? json() : text_json(t.texts[index]); };

    const engine::TapeHeader& h = t.header;
    line("header", json{{"date", format_date(h.date_ndays)},
                        {"permission_set", text_json(std::string(h.permission_set, strnlen(h.permission_set, 4)))},
                        {"time_zone", h.time_zone},
                        {"display", text_json(h.display)}});
    for (int table = engine::kFirstStringTable; table <= engine::kLastStringTable; ++table) {
        if (t.defined[table].empty()) continue;
        json texts = json::array();
        for (const std::string& s : t.defined[table]) texts.push_back(text_json(s));
        line("strings", json{{"table", table}, {"texts", texts}});
    }

    std::vector<std::string> ids(t.symbols.size());
    std::unordered_map<std::string, int> taken;
    for (std::size_t i = 0; i < t.symbols.size(); ++i) {
        const engine::SymbolEntry& s = t.symbols[i];
        std::string id = t.texts[s.text];
        if (s.is_option || !valid_utf8(id) || taken.count(id)) id = "#" + std::to_string(i);
        taken[id] = 1;
        ids[i] = id;
        json j{{"id", id}};
        j[s.is_option ? "root" : "text"] = text_json(t.texts[s.text]);
        j["listed_exg"] = s.listed_exg;
        j["session"] = s.session;
        j["price_type"] = s.price_type;
        j["atom"] = s.atom;
        j["prev_close"] = s.prev_close;
        if (s.is_option) {
            const engine::OptionContract& o = s.option;
            j["underlying"] = text(o.underlying);
            j["series_chain"] = text(o.series_chain);
            j["special_settle"] = text(o.special_settle);
            j["date_and_strike"] = text_json(std::string(o.date_and_strike, 2));
            j["exg_underlying"] = o.exg_underlying;
            j["contract_unit"] = o.contract_unit;
            j["strike"] = o.strike;
            j["strike_est"] = o.strike_est;
            j["put_call"] = o.put_call;
            j["expiration_cycle"] = o.expiration_cycle;
            j["strike_age"] = o.strike_age;
            j["strike_match"] = o.strike_match;
            j["expiration"] = format_date(o.expiration_ndays);
        }
        line(s.is_option ? "option" : "symbol", std::move(j));
    }
    for (const engine::CategoryDef& c : t.categories) {
        json fields = json::array();
        for (const engine::CategoryFieldDef& f : c.fields) {
            json type = f.type < std::size(kFieldTypeNames) ? json(kFieldTypeNames[f.type]) : json(f.type);
            fields.push_back(json{{"name", text(f.name)}, {"info", text(f.info)}, {"type", type}});
        }
        line("category", json{{"id", c.id}, {"name", text(c.name)}, {"fields", fields}});
    }

    std::size_t next_ext = 0;
    for (const engine::TapeEvent& e : tape.events) {
        json j;
        j["kind"] = e.kind < std::size(kKindNames) ? json(kKindNames[e.kind]) : json(e.kind);
        j["time"] = format_time(e.micros);
        j["symbol"] = e.symbol == kNone ? json() : json(ids[e.symbol]);
        j["reporting_exg"] = e.reporting_exg;
        j["permission_id"] = e.permission_id;
        j["session"] = e.session;
        j["price_type"] = e.price_type;
        switch (e.kind) {
        case TqMSG_EXGQUOTE:
        case TqMSG_MMQUOTE: {
            const engine::QuoteEventBody& q = e.quote;
            j["bid"] = q.bid;
            j["ask"] = q.ask;
            j["bid_size"] = q.bid_size;
            j["ask_size"] = q.ask_size;
            j["quote_condition"] = q.quote_condition;
            j["refresh"] = q.refresh;
            j["nasdaq_bid_tick"] = q.nasdaq_bid_tick;
            if (e.kind == TqMSG_EXGQUOTE) {
                j["closing_quote"] = q.closing_quote;
            } else {
                j["market_maker"] = text(e.market_maker);
                j["market_maker_type"] = q.market_maker_type;
                j["quote_type"] = q.quote_type;
            }
            break;
        }
        case TqMSG_TRADE: {
            const engine::TradeEventBody& tr = e.trade;
            j["price"] = tr.price;
            j["size"] = tr.size;
            j["exg_sequence"] = tr.exg_sequence;
            j["trade_condition"] = tr.trade_condition;
            j["condition_flags"] = tr.condition_flags;
            j["volume_type"] = tr.volume_type;
            j["bate_code"] = tr.bate_code;
            j["ext_conditions"] = json::array(
                {tr.ext_conditions[0], tr.ext_conditions[1], tr.ext_conditions[2], tr.ext_conditions[3]});
            j["price_flags"] = tr.price_flags;
            j["records_back"] = tr.records_back;
            break;
        }
        case TqMSG_CATEGORY: {
            const engine::CategoryDef& def = t.categories[e.category.category];
            j["category"] = def.id;
            json values = json::array();
            for (std::size_t f = 0; f < def.fields.size(); ++f) {
                const engine::CategoryValue& v = t.category_values[e.category.first_value + f];
                if (!v.set) {
                    values.push_back(json());
                    continue;
                }
                const auto load = [&v](auto value) {
                    std::memcpy(&value, v.value, sizeof value);
                    return value;
                };
                switch (def.fields[f].type) {
                case TqCFT_32BIT: values.push_back(load(uint32_t{})); break;
                case TqCFT_STRINGZ:
                case TqCFT_TqSTRING: values.push_back(text(load(uint32_t{}))); break;
                case TqCFT_DOUBLE: values.push_back(load(double{})); break;
                case TqCFT_PRICE:
                    values.push_back(json{{"price", load(int32_t{})}, {"price_type", v.value[4]}});
                    break;
                case TqCFT_DATE: values.push_back(format_date(load(TqDateRecord{}).NDays)); break;
                case TqCFT_TIME:
                    values.push_back(format_time(uint64_t{load(TqTimeRecord{}).MsOfDay} * 1000));
                    break;
                case TqCFT_STRING_IDX:
                case TqCFT_STRING_MAP: {
                    const auto item = load(StringTableItemRecord{});
                    values.push_back(json{{"table", item.ixTable}, {"index", item.idString}});
                    break;
                }
                default: values.push_back(load(uint64_t{})); break;
                }
            }
            j["values"] = values;
            break;
        }
        case TqMSG_SYMBOLCHANGE:
            j["status"] = e.symbol_change.status <= 2 ? json(kChangeNames[e.symbol_change.status])
                                                      : json(e.symbol_change.status);
            j["old_symbol"] = e.symbol_change.old_symbol == kNone ? json() : json(ids[e.symbol_change.old_symbol]);
            j["old_listed_exg"] = e.symbol_change.old_listed_exg;
            break;
        case TqMSG_STATUS:
            j["status"] = e.status.status;
            j["status_data"] = e.status.status_data;
            break;
        default:
            break;
        }
        if (e.flags & engine::kEventHasExt) {
            const engine::TapeExt& x = tape.ext[next_ext++];
            j["ext"] = json{{"src", x.micros_src},
                            {"ptp1", x.micros_ptp1},
                            {"ptp2", x.micros_ptp2},
                            {"fractional_size", x.fractional_size}};
        }
        line("event", std::move(j));
    }
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
    if (result != 0) throw InputError(path + ": not a readable tape (result code " + std::to_string(result) + ")");
    return tape;
}

void write_tape_contents(const TapeContents& tape, const std::string& path, engine::TapeEncoding encoding) {
    std::string error;
    if (!engine::write_tape_file(path, tape.tables, tape.events, tape.ext, error, encoding)) throw InputError(error);
}

}  // namespace tarvik::tool
