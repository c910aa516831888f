#include "import_options.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "engine/dates.h"
#include "import_error.h"

namespace tarvik::import {
namespace {

constexpr const char* kKindNames[] = {"quotes", "trades", "mm_quotes", "changes", "symbols", "conditions"};

}  // namespace

std::optional<uint32_t> parse_day(const std::string& text, const char*& why) {
    int y, m, d;
    char tail;
    if (std::sscanf(text.c_str(), "%d-%d-%d%c", &y, &m, &d, &tail) == 3) {
        if (engine::valid_ymd(y, m, d)) return engine::ndays_from_ymd(y, m, d);
        // A day of the calendar that the tape's dates do not reach, or none.
        using namespace std::chrono;
        const bool calendar = y >= -32767 && y <= 32767 && m >= 1 && m <= 12 && d >= 1 && d <= 31 &&
                              year_month_day{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}}.ok();
        if (calendar) {
            why = "outside the days a tape holds (1883-01-01 to 9999-12-31)";
            return std::nullopt;
        }
    }
    why = "expected YYYY-MM-DD";
    return std::nullopt;
}

uint32_t parse_date(const std::string& text) {
    const char* why = nullptr;
    if (const std::optional<uint32_t> day = parse_day(text, why)) return *day;
    throw ImportUsageError(std::string("date: ") + why + ", got '" + text + "'");
}

const char* input_kind_name(InputKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::optional<InputKind> input_kind_from_name(const std::string& name) {
    for (int i = 0; i < 6; ++i)
        if (name == kKindNames[i]) return static_cast<InputKind>(i);
    return std::nullopt;
}

char parse_delimiter(const std::string& text) {
    if (text == "\\t" || text == "tab") return '\t';
    if (text.size() != 1 || text[0] == '"' || text[0] == '\n' || text[0] == '\r')
        throw ImportUsageError("expected one character other than a quote or a line end, or tab, got '" + text + "'");
    return text[0];
}

ImportOptions options_from_json(const std::string& text) {
    using nlohmann::json;
    ImportOptions o;
    try {
        const json j = json::parse(text);
        for (const auto& [key, value] : j.items()) {
            if (key == "output") o.output = value.get<std::string>();
            else if (key == "inputs") {
                for (const json& in : value) {
                    ImportInput input;
                    const auto kind = input_kind_from_name(in.at("kind").get<std::string>());
                    if (!kind) throw ImportUsageError("unknown input kind " + in.at("kind").dump());
                    input.kind = *kind;
                    input.path = in.value("path", "");
                    input.name = in.value("name", input.path);
                    o.inputs.push_back(std::move(input));
                }
            } else if (key == "rename") {
                for (const auto& [from, to] : value.items()) o.rename.emplace_back(from, to.get<std::string>());
            } else if (key == "constants") {
                for (const auto& [name, given] : value.items()) o.constants.emplace_back(name, given.get<std::string>());
            } else if (key == "ignore_extra_columns") o.ignore_extra_columns = value.get<bool>();
            else if (key == "header") o.header = value.get<bool>();
            else if (key == "sort") o.sort = value.get<bool>();
            else if (key == "allow_empty") o.allow_empty = value.get<bool>();
            else if (key == "fractional_sizes") o.fractional_sizes = value.get<bool>();
            else if (key == "one_sided_quotes") o.one_sided_quotes = value.get<bool>();
            else if (key == "condition_letters") o.condition_letters = value.get<bool>();
            else if (key == "compress") o.compress = value.get<bool>();
            else if (key == "time_unit") {
                if (value.is_null()) continue;
                o.time_unit = parse_time_unit(value.get<std::string>());
                if (!o.time_unit) throw ImportUsageError("time_unit: expected s, ms, us, ns, the same with -of-day, or hhmmss");
            } else if (key == "time_zone") {
                if (!value.is_null()) o.time_zone = value.get<std::string>();
            } else if (key == "date_order") {
                if (value.is_null()) continue;
                const std::optional<DateOrder> order = parse_date_order(value.get<std::string>());
                if (!order) throw ImportUsageError("date_order: expected mdy or dmy");
                o.date_order = *order;
            } else if (key == "date") {
                if (!value.is_null()) o.date_ndays = parse_date(value.get<std::string>());
            } else if (key == "price_type") {
                if (value.is_null()) continue;
                const int pt = value.get<int>();
                if (pt < 0 || pt > 255) throw ImportUsageError("price_type: expected 0 to 255");
                o.price_type = static_cast<uint8_t>(pt);
            } else if (key == "price_scale") {
                const int v = value.get<int>();
                if (v < 0 || v > 18) throw ImportUsageError("price_scale: expected 0 to 18");
                o.price_scale = v;
            } else if (key == "listed_exchange") {
                const int v = value.get<int>();
                if (v < 0 || v > 65535) throw ImportUsageError("listed_exchange: expected 0 to 65535");
                o.listed_exg = static_cast<uint16_t>(v);
            } else if (key == "permission_id") {
                const int v = value.get<int>();
                if (v < 0 || v > 65535) throw ImportUsageError("permission_id: expected 0 to 65535");
                o.permission_id = static_cast<uint16_t>(v);
            } else if (key == "display") o.display = value.get<std::string>();
            else if (key == "delimiter") {
                if (value.is_null()) continue;
                try {
                    o.delimiter = parse_delimiter(value.get<std::string>());
                } catch (const ImportUsageError& e) {
                    throw ImportUsageError(std::string("delimiter: ") + e.what());
                }
            }
            else if (key == "temp_dir") {
                if (!value.is_null()) o.temp_dir = value.get<std::string>();
            } else throw ImportUsageError("unknown option " + key);
        }
    } catch (const nlohmann::json::exception& e) {
        throw ImportUsageError(std::string("bad options: ") + e.what());
    }
    return o;
}


}  // namespace tarvik::import
