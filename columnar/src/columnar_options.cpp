#include "columnar_options.h"

#include <nlohmann/json.hpp>

namespace tarvik::columnar {
namespace {

constexpr const char* kKindNames[kTapeKindCount] = {"trades", "quotes", "mm_quotes", "symbol_changes", "categories"};

TimeBound bound_from_json(const nlohmann::json& j, const char* name) {
    TimeBound b;
    if (j.is_null()) return b;
    if (!j.is_object() || j.size() != 1) throw ColumnarUsageError(std::string(name) + ": expected one bound");
    const auto& [type, value] = *j.items().begin();
    b.micros = value.get<int64_t>();
    if (type == "epoch_us") b.type = TimeBound::Type::Epoch;
    else if (type == "local_us") b.type = TimeBound::Type::Local;
    else if (type == "of_day_us") b.type = TimeBound::Type::OfDay;
    else throw ColumnarUsageError(std::string(name) + ": unknown bound " + type);
    return b;
}

}  // namespace

ColumnarOptions columnar_options_from_json(const std::string& text) {
    ColumnarOptions o;
    try {
        const nlohmann::json j = nlohmann::json::parse(text);
        for (const auto& [key, value] : j.items()) {
            if (key == "path") o.path = value.get<std::string>();
            else if (key == "kinds") {
                for (bool& k : o.kinds) k = false;
                for (const auto& name : value) {
                    int found = -1;
                    for (int i = 0; i < kTapeKindCount; ++i)
                        if (name.get<std::string>() == kKindNames[i]) found = i;
                    if (found < 0)
                        throw ColumnarUsageError("unknown kind " + name.dump() +
                                                 " (trades, quotes, mm_quotes, symbol_changes, categories)");
                    o.kinds[found] = true;
                }
            } else if (key == "symbols") {
                if (value.is_null()) continue;
                o.symbol_filter = true;
                for (const auto& s : value) o.symbols.push_back(s.get<std::string>());
            } else if (key == "start") o.start = bound_from_json(value, "start");
            else if (key == "end") o.end = bound_from_json(value, "end");
            else if (key == "nbbo") o.nbbo = value.get<bool>();
            else if (key == "fractional_sizes") o.fractional_sizes = value.get<bool>();
            else if (key == "time_zone") o.time_zone = value.is_null() ? "" : value.get<std::string>();
            else if (key == "batch_rows") {
                o.batch_rows = value.get<int64_t>();
                if (o.batch_rows < 1) throw ColumnarUsageError("batch_rows: at least 1");
            } else throw ColumnarUsageError("unknown option " + key);
        }
    } catch (const nlohmann::json::exception& e) {
        throw ColumnarUsageError(std::string("bad options: ") + e.what());
    }
    return o;
}

}  // namespace tarvik::columnar
