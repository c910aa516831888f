#include "csv_import.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "prices.h"
#include "tarvik/library.h"

namespace tarvik::tool {
namespace {

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == sep) out.emplace_back();
        else if (c != '\r') out.back() += c;
    }
    return out;
}

class Row {
public:
    Row(std::vector<std::string> cells, std::string where) : cells_(std::move(cells)), where_(std::move(where)) {}

    [[noreturn]] void fail(const char* field, const std::string& message) const {
        throw InputError(where_ + ": field '" + field + "': " + message);
    }
    const std::string& cell(std::size_t i, const char* field) const {
        if (i >= cells_.size()) fail(field, "missing");
        return cells_[i];
    }
    int64_t integer(std::size_t i, const char* field, int64_t lo, int64_t hi) const {
        const std::string& s = cell(i, field);
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(s.c_str(), &end, 10);
        if (s.empty() || *end != '\0' || errno != 0) fail(field, "expected an integer, got '" + s + "'");
        if (v < lo || v > hi) fail(field, "out of range");
        return v;
    }
    // A decimal price in the given price type, exactly.
    int32_t price(std::size_t i, const char* field, uint8_t price_type) const {
        const std::string& s = cell(i, field);
        const engine::PriceTypeInfo info = engine::price_type_info(price_type);
        std::size_t k = 0;
        const bool negative = !s.empty() && s[0] == '-';
        if (negative) ++k;
        __int128 whole = 0;
        __int128 frac = 0;
        __int128 scale = 1;
        bool digits = false;
        for (; k < s.size() && s[k] != '.'; ++k, digits = true) {
            if (s[k] < '0' || s[k] > '9' || whole > 1'000'000'000'000) fail(field, "expected a price, got '" + s + "'");
            whole = whole * 10 + (s[k] - '0');
        }
        if (k < s.size()) {
            for (++k; k < s.size(); ++k, digits = true) {
                if (s[k] < '0' || s[k] > '9' || scale > 1'000'000'000'000) fail(field, "expected a price, got '" + s + "'");
                frac = frac * 10 + (s[k] - '0');
                scale *= 10;
            }
        }
        if (!digits) fail(field, "expected a price, got '" + s + "'");
        const __int128 units = whole * info.denominator + frac * info.denominator / scale;
        if (frac * info.denominator % scale != 0)
            fail(field, "'" + s + "' does not fit price type " + std::to_string(price_type));
        if (units > std::numeric_limits<int32_t>::max()) fail(field, "out of range");
        return static_cast<int32_t>(negative ? -units : units);
    }
    const std::string& where() const { return where_; }

private:
    std::vector<std::string> cells_;
    std::string where_;
};

struct Importer {
    const ImportOptions& options;
    TapeContents tape;
    std::unordered_map<std::string, uint32_t> symbols;
    std::vector<std::pair<uint64_t, std::size_t>> order;  // (time, arrival) for a stable sort

    uint32_t symbol(const Row& row) {
        const std::string& text = row.cell(0, "symbol");
        if (text.empty()) row.fail("symbol", "empty");
        auto [it, added] = symbols.try_emplace(text, static_cast<uint32_t>(tape.tables.symbols.size()));
        if (added) {
            engine::SymbolEntry e;
            tape.tables.texts.push_back(text);
            e.text = static_cast<uint32_t>(tape.tables.texts.size() - 1);
            e.listed_exg = options.listed_exg;
            e.price_type = options.price_type;
            e.atom = it->second + 1;
            tape.tables.symbols.push_back(e);
        }
        return it->second;
    }

    engine::TapeEvent base(const Row& row, uint8_t kind) {
        engine::TapeEvent e;
        std::memset(&e, 0, sizeof e);
        e.kind = kind;
        e.symbol = symbol(row);
        e.market_maker = engine::kNone;
        // Reuse the script's time syntax.
        const std::string& t = row.cell(1, "time");
        unsigned h, m, s;
        int used = 0;
        if (std::sscanf(t.c_str(), "%2u:%2u:%2u%n", &h, &m, &s, &used) != 3 || h > 23 || m > 59 || s > 59)
            row.fail("time", "expected HH:MM:SS[.ffffff], got '" + t + "'");
        uint64_t micros = (uint64_t{h} * 3600 + m * 60 + s) * 1'000'000;
        if (static_cast<std::size_t>(used) < t.size()) {
            const std::string frac = t.substr(static_cast<std::size_t>(used));
            if (frac[0] != '.' || frac.size() < 2 || frac.size() > 7 ||
                frac.find_first_not_of("0123456789", 1) != std::string::npos)
                row.fail("time", "expected up to six digits after the seconds, got '" + t + "'");
            uint64_t f = std::stoull(frac.substr(1));
            for (std::size_t d = frac.size() - 1; d < 6; ++d) f *= 10;
            micros += f;
        }
        e.micros = micros;
        e.reporting_exg = static_cast<uint16_t>(row.integer(2, "exchange", 0, 65535));
        e.permission_id = options.permission_id;
        e.price_type = options.price_type;
        return e;
    }

    void add(const engine::TapeEvent& e) {
        order.emplace_back(e.micros, tape.events.size());
        tape.events.push_back(e);
    }

    void quotes(std::istream& in, const std::string& name) {
        read(in, name, [this](const Row& row) {
            engine::TapeEvent e = base(row, TqMSG_EXGQUOTE);
            e.quote.bid = row.price(3, "bid", options.price_type);
            e.quote.bid_size = static_cast<int32_t>(row.integer(4, "bid_size", 0, std::numeric_limits<int32_t>::max()));
            e.quote.ask = row.price(5, "ask", options.price_type);
            e.quote.ask_size = static_cast<int32_t>(row.integer(6, "ask_size", 0, std::numeric_limits<int32_t>::max()));
            add(e);
        });
    }

    void trades(std::istream& in, const std::string& name) {
        read(in, name, [this](const Row& row) {
            engine::TapeEvent e = base(row, TqMSG_TRADE);
            e.trade.price = row.price(3, "price", options.price_type);
            e.trade.size = static_cast<uint32_t>(row.integer(4, "size", 0, std::numeric_limits<uint32_t>::max()));
            std::memset(e.trade.ext_conditions, kNoTradeCondition, 4);
            std::string conditions = row.cell(5, "conditions");
            std::replace(conditions.begin(), conditions.end(), ';', ' ');
            std::vector<std::string> parts;
            for (const std::string& p : split(conditions, ' '))
                if (!p.empty()) parts.push_back(p);
            if (parts.size() > 4) row.fail("conditions", "at most four conditions");
            const Row list(parts, row.where());
            for (std::size_t i = 0; i < parts.size(); ++i)
                e.trade.ext_conditions[i] = static_cast<uint8_t>(list.integer(i, "conditions", 0, 254));
            e.trade.trade_condition = parts.empty() ? 0 : e.trade.ext_conditions[0];
            e.trade.volume_type = 0;
            add(e);
        });
    }

    template <typename Handle>
    void read(std::istream& in, const std::string& name, Handle handle) {
        std::string line;
        std::size_t number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            if (number == 1 && line.rfind("symbol", 0) == 0) continue;
            handle(Row(split(line, ','), name + ":" + std::to_string(number)));
        }
    }
};

}  // namespace

TapeContents import_csv(std::istream* quotes, const std::string& quotes_name, std::istream* trades,
                        const std::string& trades_name, const ImportOptions& options) {
    Importer importer{options, {}, {}, {}};
    importer.tape.tables.header.date_ndays = options.date_ndays;
    std::memcpy(importer.tape.tables.header.permission_set, "AA", 2);
    importer.tape.tables.header.display = "Imported";
    if (quotes != nullptr) importer.quotes(*quotes, quotes_name);
    if (trades != nullptr) importer.trades(*trades, trades_name);
    std::stable_sort(importer.order.begin(), importer.order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<engine::TapeEvent> sorted;
    sorted.reserve(importer.tape.events.size());
    for (const auto& [time, index] : importer.order) sorted.push_back(importer.tape.events[index]);
    importer.tape.events = std::move(sorted);
    return std::move(importer.tape);
}

}  // namespace tarvik::tool
