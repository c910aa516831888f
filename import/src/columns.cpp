#include "columns.h"

#include <arrow/scalar.h>
#include <arrow/type.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "batch_source.h"
#include "csv_batches.h"
#include "engine/dates.h"
#include "import_error.h"
#include "time_zone.h"

namespace tarvik::import {
namespace {

constexpr const char* kFieldNames[kFieldCount] = {
    "symbol", "time", "exchange", "bid", "bid_size", "ask", "ask_size", "condition", "price", "size",
    "conditions", "sequence", "market_maker", "listed_exchange", "exchange_time", "action", "old_symbol",
    "price_type", "prev_close", "size_multiplier", "root", "underlying", "expiration", "strike", "put_call",
    "contract_unit", "code", "price_flags", "date"};

struct KindColumns {
    std::vector<Field> required;
    std::vector<Field> optional;
};

KindColumns columns_of(InputKind kind) {
    switch (kind) {
        case InputKind::Quotes:
            return {{kSymbol, kTime, kExchange, kBid, kBidSize, kAsk, kAskSize},
                    {kCondition, kListedExchange, kExchangeTime, kDate}};
        case InputKind::MMQuotes:
            return {{kSymbol, kTime, kExchange, kBid, kBidSize, kAsk, kAskSize, kMarketMaker},
                    {kCondition, kListedExchange, kExchangeTime, kDate}};
        case InputKind::Trades:
            return {{kSymbol, kTime, kExchange, kPrice, kSize},
                    {kConditions, kSequence, kPriceFlags, kListedExchange, kExchangeTime, kDate}};
        case InputKind::Changes:
            return {{kTime, kSymbol, kAction}, {kListedExchange, kOldSymbol, kDate}};
        case InputKind::Symbols:
            return {{kSymbol},
                    {kListedExchange, kPriceType, kPrevClose, kSizeMultiplier, kRoot, kUnderlying, kExpiration,
                     kStrike, kPutCall, kContractUnit}};
        case InputKind::Conditions:
            return {{kCondition, kCode}, {}};
    }
    return {};
}

std::string list_names(const std::vector<Field>& fields) {
    std::string out;
    for (Field f : fields) out += (out.empty() ? "" : ", ") + std::string(kFieldNames[f]);
    return out;
}

// Microseconds per unit of a typed time; nanoseconds, below the
// microsecond, are marked -1000 (divided by 1000).
int64_t micros_factor(arrow::TimeUnit::type unit) {
    switch (unit) {
        case arrow::TimeUnit::NANO: return -1000;
        case arrow::TimeUnit::MICRO: return 1;
        case arrow::TimeUnit::MILLI: return 1000;
        default: return 1'000'000;
    }
}

// Arrow's kinds of text: strings and bytes, with 32-bit or 64-bit offsets or
// as views (as polars hands them over).
bool is_text_type(arrow::Type::type type) {
    switch (type) {
        case arrow::Type::STRING:
        case arrow::Type::BINARY:
        case arrow::Type::LARGE_STRING:
        case arrow::Type::LARGE_BINARY:
        case arrow::Type::STRING_VIEW:
        case arrow::Type::BINARY_VIEW:
            return true;
        default:
            return false;
    }
}

// Item i of an array of a text type.
std::string_view text_item(const arrow::Array& array, int64_t i) {
    switch (array.type_id()) {
        case arrow::Type::LARGE_STRING:
        case arrow::Type::LARGE_BINARY:
            return static_cast<const arrow::LargeBinaryArray&>(array).GetView(i);
        case arrow::Type::STRING_VIEW:
        case arrow::Type::BINARY_VIEW:
            return static_cast<const arrow::BinaryViewArray&>(array).GetView(i);
        default:
            return static_cast<const arrow::BinaryArray&>(array).GetView(i);
    }
}

// Cell i of a decimal column (32, 64, 128 or 256 bits, little-endian) as
// units of `scale`, the column's; false when a 256-bit value does not fit
// 128 bits, even with the zeros its scale puts at its end dropped (1.5 at
// scale 40 is 15 at scale 1).
bool decimal_units(const arrow::Array& array, int64_t i, int& scale, __int128& units) {
    const uint8_t* p = static_cast<const arrow::FixedSizeBinaryArray&>(array).GetValue(i);
    switch (array.type_id()) {
        case arrow::Type::DECIMAL32: {
            int32_t v;
            std::memcpy(&v, p, sizeof v);
            units = v;
            return true;
        }
        case arrow::Type::DECIMAL64: {
            int64_t v;
            std::memcpy(&v, p, sizeof v);
            units = v;
            return true;
        }
        case arrow::Type::DECIMAL128: {
            uint64_t w[2];
            std::memcpy(w, p, sizeof w);
            units = static_cast<__int128>(static_cast<int64_t>(w[1])) << 64 | w[0];
            return true;
        }
        default: {
            arrow::Decimal256 value(p);
            const arrow::Decimal256 ten(10);
            for (;;) {
                const std::array<uint64_t, 4> w = value.little_endian_array();
                const uint64_t sign = static_cast<int64_t>(w[1]) < 0 ? ~uint64_t{0} : 0;
                if (w[2] == sign && w[3] == sign) {
                    units = static_cast<__int128>(static_cast<int64_t>(w[1])) << 64 | w[0];
                    return true;
                }
                if (scale <= 0) return false;
                const arrow::Result<std::pair<arrow::Decimal256, arrow::Decimal256>> divided = value.Divide(ten);
                if (!divided.ok() || divided->second != arrow::Decimal256(0)) return false;
                value = divided->first;
                --scale;
            }
        }
    }
}

// A cell as Arrow writes it, for a message.
std::string cell_text(const arrow::Array& array, int64_t i) {
    const arrow::Result<std::shared_ptr<arrow::Scalar>> scalar = array.GetScalar(i);
    return scalar.ok() ? (*scalar)->ToString() : "?";
}

// An instant's day and time of day in a timestamp column's own zone, an
// IANA name or a fixed offset (+02:00); false for a zone that is neither.
bool local_time(const std::string& zone, int64_t epoch_micros, LocalTime& out) {
    if (int64_t offset = 0; utc_offset(zone, offset)) {
        const int64_t local = epoch_micros + offset;
        const int64_t days = floor_div(local, kMicrosPerDay);
        out = {days + engine::kUnixEpochNDays, static_cast<uint64_t>(local - days * kMicrosPerDay)};
        return true;
    }
    try {
        TimeZone time_zone(zone);
        out = time_zone.to_local(epoch_micros);
        return true;
    } catch (const ImportUsageError&) {
        return false;
    }
}

}  // namespace

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

const char* field_name(Field field) { return kFieldNames[field]; }

bool kind_takes(InputKind kind, std::string_view name) {
    const KindColumns columns = columns_of(kind);
    for (const std::vector<Field>* fields : {&columns.required, &columns.optional})
        for (Field f : *fields)
            if (name == kFieldNames[f]) return true;
    return false;
}

ColumnMap::ColumnMap(const arrow::Schema& schema, InputKind kind, const std::string& source,
                     const std::vector<std::pair<std::string, std::string>>& rename, bool ignore_extra, int constants,
                     bool by_position) {
    const KindColumns wanted = columns_of(kind);
    std::vector<std::string> unknown;
    int known = 0;
    const int first_constant = schema.num_fields() - constants;
    for (int at = 0; at < schema.num_fields(); ++at) {
        const std::string& file_name = schema.field(at)->name();
        if (at >= first_constant) {
            // Named as ours already (after the prefix), and only those of
            // the kind's columns.
            const std::string_view ours = std::string_view(file_name).substr(kConstantPrefix.size());
            Field f = kFieldCount;
            for (int k = 0; k < kFieldCount; ++k) f = ours == kFieldNames[k] ? static_cast<Field>(k) : f;
            // A column the file has is its own.
            if (f == kFieldCount || !names_[f].empty()) continue;
            names_[f] = file_name;
            constant_[f] = true;
            continue;
        }
        std::string ours(trim(file_name));
        // A rename's names are trimmed and matched in any letter case, as
        // the header's own names are. Each name is renamed once: renames
        // may swap names (price=size,size=price).
        for (const auto& [from, to] : rename)
            if (same_name(trim(from), ours)) {
                ours = std::string(trim(to));
                break;
            }
        // "Symbol" and "SYMBOL" name the symbol too.
        for (char& c : ours)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        int index = -1;
        for (Field f : wanted.required) index = ours == kFieldNames[f] ? f : index;
        for (Field f : wanted.optional) index = ours == kFieldNames[f] ? f : index;
        if (index < 0) {
            unknown.push_back(file_name);
            continue;
        }
        if (!names_[index].empty())
            throw ImportError(source + ": column '" + std::string(kFieldNames[index]) + "' given twice ('" +
                              names_[index] + "' and '" + file_name + "')");
        names_[index] = file_name;
        ++known;
    }
    const std::string kind_name = input_kind_name(kind);
    if (by_position) {
        // Columns named "1", "2", ...: the renames say which is which.
        for (Field f : wanted.required)
            if (names_[f].empty())
                throw ImportError(source + ": no column is '" + kFieldNames[f] + "': without a header the file's " +
                                  std::to_string(first_constant) + " columns are named 1 to " +
                                  std::to_string(first_constant) + ", and --rename N=" + kFieldNames[f] +
                                  " names column N (" + kind_name + " need " + list_names(wanted.required) + ")");
    }
    if (known == 0 && first_constant > 0) {
        // A vendor's own names, or a CSV file whose first line is a row:
        // the names read say which.
        std::string read;
        for (int k = 0; k < first_constant && k < 8; ++k)
            read += (k ? ", " : "") + quoted(schema.field(k)->name());
        if (first_constant > 8) read += ", ...";
        const bool table = kind == InputKind::Symbols || kind == InputKind::Conditions;
        throw ImportError(source + ": no header: none of its columns (" + read + ") is one of " + kind_name + " (" +
                          list_names(wanted.required) + "); --rename maps a vendor's names, and " +
                          (table ? "a " + kind_name + " file needs its header line"
                                 : "a CSV file whose first line is a row reads with --no-header"));
    }
    for (Field f : wanted.required)
        if (names_[f].empty())
            throw ImportError(source + ": missing column '" + kFieldNames[f] + "' (" + kind_name + " need " +
                              list_names(wanted.required) +
                              "; --rename maps a vendor's names, --constant gives a column one text for every row)");
    if (!unknown.empty() && !ignore_extra && trim(unknown.front()).empty())
        throw ImportError(source + ": a column has no name in the header (a DataFrame's index, as to_csv writes it, "
                                   "or a delimiter ending the header line); --ignore-extra-columns skips it");
    if (!unknown.empty() && !ignore_extra)
        throw ImportError(source + ": unknown column '" + unknown.front() + "' (" + kind_name + " take " +
                          list_names(wanted.required) +
                          (wanted.optional.empty() ? "" : ", and optionally " + list_names(wanted.optional)) +
                          "; --ignore-extra-columns skips others)");
}

std::vector<std::string> ColumnMap::columns(std::initializer_list<Field> fields) const {
    std::vector<std::string> out;
    for (Field f : fields)
        if (has(f)) out.push_back(names_[f]);
    return out;
}

std::vector<std::string> ColumnMap::all_columns() const {
    std::vector<std::string> out;
    for (const std::string& n : names_)
        if (!n.empty()) out.push_back(n);
    return out;
}

void BatchCells::bind(const arrow::RecordBatch& batch, uint64_t rows_before) {
    row_base_ = rows_before + first_row_;
    row_lines_ = nullptr;
    last_typed_valid_ = false;  // a typed date's day is its type's: read again for each batch
    if (const CsvRowLines* lines = csv_row_lines(batch)) {
        row_base_ = static_cast<uint64_t>(lines->first);
        if (!lines->rows.empty()) row_lines_ = lines->rows.data();
    }
    rows_ = batch.num_rows();
    keep_.clear();
    for (int f = 0; f < kFieldCount; ++f) {
        Cells& c = cells_[f];
        c = Cells{};
        if (!map_.has(static_cast<Field>(f))) continue;
        std::shared_ptr<arrow::Array> array = batch.GetColumnByName(map_.file_name(static_cast<Field>(f)));
        if (!array) continue;
        keep_.push_back(array);
        c.array = array.get();
        switch (array->type_id()) {
            case arrow::Type::STRING:
            case arrow::Type::BINARY: {
                c.kind = Kind::Text;
                const arrow::ArrayData& data = *array->data();
                // Buffers shifted by the array's offset, so that row i is index i.
                c.offsets = data.GetValues<int32_t>(1);
                c.data = data.buffers[2] ? reinterpret_cast<const char*>(data.buffers[2]->data()) : "";
                if (data.buffers[0] && data.null_count != 0) {
                    if (data.offset % 8 == 0) c.valid = data.buffers[0]->data() + data.offset / 8;
                    else c.offsets = nullptr;  // an odd offset: the slow path reads it
                }
                break;
            }
            case arrow::Type::LARGE_STRING:
            case arrow::Type::LARGE_BINARY:
                c.kind = Kind::LargeText;
                break;
            case arrow::Type::STRING_VIEW:  // CSV files' texts, polars'
            case arrow::Type::BINARY_VIEW: {
                c.kind = Kind::ViewText;
                const arrow::ArrayData& data = *array->data();
                std::vector<const char*>& buffers = view_data_[f];
                buffers.clear();
                for (std::size_t b = 2; b < data.buffers.size(); ++b)
                    buffers.push_back(data.buffers[b] ? reinterpret_cast<const char*>(data.buffers[b]->data()) : "");
                c.views = data.GetValues<arrow::BinaryViewType::c_type>(1);
                c.view_data = buffers.data();
                if (data.buffers[0] && data.null_count != 0) {
                    if (data.offset % 8 == 0) c.valid = data.buffers[0]->data() + data.offset / 8;
                    else c.views = nullptr;  // an odd offset: the slow path reads it
                }
                break;
            }
            case arrow::Type::DICTIONARY: {
                // Texts as a dictionary: Parquet's string columns, pandas
                // categoricals. Other dictionaries are read as their type is not.
                const auto& dictionary = static_cast<const arrow::DictionaryArray&>(*array);
                const auto& type = static_cast<const arrow::DictionaryType&>(*array->type());
                const arrow::Type::type values = type.value_type()->id();
                if (!is_text_type(values)) {
                    c.kind = Kind::Other;
                    break;
                }
                c.kind = Kind::Dictionary;
                const arrow::ArrayData& entries = *dictionary.dictionary()->data();
                const arrow::ArrayData& indexes = *array->data();
                if (type.index_type()->id() != arrow::Type::INT32 ||
                    (values != arrow::Type::STRING && values != arrow::Type::BINARY) || entries.null_count != 0)
                    break;  // the slow path reads it
                c.offsets = entries.GetValues<int32_t>(1);
                c.data = entries.buffers[2] ? reinterpret_cast<const char*>(entries.buffers[2]->data()) : "";
                c.indices = indexes.GetValues<int32_t>(1);
                c.entries = entries.length;
                if (indexes.buffers[0] && indexes.null_count != 0) {
                    if (indexes.offset % 8 == 0) c.valid = indexes.buffers[0]->data() + indexes.offset / 8;
                    else c.offsets = nullptr;
                }
                break;
            }
            case arrow::Type::INT8:
            case arrow::Type::INT16:
            case arrow::Type::INT32:
            case arrow::Type::INT64:
                c.kind = Kind::Signed;
                break;
            case arrow::Type::UINT8:
            case arrow::Type::UINT16:
            case arrow::Type::UINT32:
            case arrow::Type::UINT64:
                c.kind = Kind::Unsigned;
                break;
            case arrow::Type::FLOAT:
            case arrow::Type::DOUBLE:
                c.kind = Kind::Float;
                break;
            case arrow::Type::DECIMAL32:
            case arrow::Type::DECIMAL64:
            case arrow::Type::DECIMAL128:
            case arrow::Type::DECIMAL256:
                c.kind = Kind::Decimal;
                c.scale = static_cast<const arrow::DecimalType&>(*array->type()).scale();
                break;
            case arrow::Type::TIMESTAMP: {
                const auto& type = static_cast<const arrow::TimestampType&>(*array->type());
                c.kind = Kind::Timestamp;
                c.zoned = !type.timezone().empty();
                c.divisor = micros_factor(type.unit());
                break;
            }
            case arrow::Type::TIME32:
            case arrow::Type::TIME64: {
                const auto& type = static_cast<const arrow::TimeType&>(*array->type());
                c.kind = Kind::Time;
                c.divisor = micros_factor(type.unit());
                break;
            }
            case arrow::Type::DURATION:  // time since midnight, as pandas keeps a time of day
                c.kind = Kind::Time;
                c.divisor = micros_factor(static_cast<const arrow::DurationType&>(*array->type()).unit());
                break;
            case arrow::Type::DATE32:
            case arrow::Type::DATE64:
                c.kind = Kind::Date;
                break;
            case arrow::Type::BOOL:
                c.kind = Kind::Boolean;
                break;
            case arrow::Type::LIST:
            case arrow::Type::LARGE_LIST:
                c.kind = Kind::List;
                break;
            default:
                c.kind = Kind::Other;
                break;
        }
    }
}

void BatchCells::fail(Field f, int64_t i, const std::string& message) const {
    const std::string name = map_.shown_name(f);
    fail_at(CellPlace{source_, row_number(i), name, kFieldNames[f]}, message);
}

std::string_view BatchCells::raw_text(const Cells& c, int64_t i, char (&buffer)[48]) const {
    switch (c.kind) {
        case Kind::Text:
            return static_cast<const arrow::BinaryArray*>(c.array)->GetView(i);
        case Kind::LargeText:
        case Kind::ViewText:
            return text_item(*c.array, i);
        case Kind::Dictionary: {
            const auto* dictionary = static_cast<const arrow::DictionaryArray*>(c.array);
            const int64_t j = dictionary->GetValueIndex(i);
            const arrow::Array& entries = *dictionary->dictionary();
            if (entries.IsNull(j)) return {};
            return text_item(entries, j);
        }
        case Kind::Signed: {
            int64_t v = 0;
            switch (c.array->type_id()) {
                case arrow::Type::INT8: v = static_cast<const arrow::Int8Array*>(c.array)->Value(i); break;
                case arrow::Type::INT16: v = static_cast<const arrow::Int16Array*>(c.array)->Value(i); break;
                case arrow::Type::INT32: v = static_cast<const arrow::Int32Array*>(c.array)->Value(i); break;
                default: v = static_cast<const arrow::Int64Array*>(c.array)->Value(i); break;
            }
            const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
            return {buffer, static_cast<std::size_t>(r.ptr - buffer)};
        }
        case Kind::Unsigned: {
            uint64_t v = 0;
            switch (c.array->type_id()) {
                case arrow::Type::UINT8: v = static_cast<const arrow::UInt8Array*>(c.array)->Value(i); break;
                case arrow::Type::UINT16: v = static_cast<const arrow::UInt16Array*>(c.array)->Value(i); break;
                case arrow::Type::UINT32: v = static_cast<const arrow::UInt32Array*>(c.array)->Value(i); break;
                default: v = static_cast<const arrow::UInt64Array*>(c.array)->Value(i); break;
            }
            const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
            return {buffer, static_cast<std::size_t>(r.ptr - buffer)};
        }
        case Kind::Float: {
            // Each width in its own shortest form, so a float32 shows as
            // the number it was written as.
            const auto r = c.array->type_id() == arrow::Type::FLOAT
                               ? std::to_chars(buffer, buffer + sizeof buffer,
                                               static_cast<const arrow::FloatArray*>(c.array)->Value(i))
                               : std::to_chars(buffer, buffer + sizeof buffer,
                                               static_cast<const arrow::DoubleArray*>(c.array)->Value(i));
            return {buffer, static_cast<std::size_t>(r.ptr - buffer)};
        }
        case Kind::Decimal: {
            __int128 units = 0;
            int scale = c.scale;
            Decimal d;
            if (!decimal_units(*c.array, i, scale, units) || !decimal_from_any_scale(units, scale, d))
                return "a decimal past 38 digits or decimals";
            return format_decimal(d, buffer);
        }
        case Kind::Boolean: {
            const bool v = static_cast<const arrow::BooleanArray*>(c.array)->Value(i);
            return v ? std::string_view("1") : std::string_view("0");
        }
        default:
            return {};
    }
}

std::string BatchCells::shown(const Cells& c, int64_t i) const {
    char buffer[48];
    const std::string_view s = raw_text(c, i, buffer);
    if (texts(c))
        return quoted(s);
    if (!s.empty() || c.array == nullptr) return std::string(s);
    return cell_text(*c.array, i);
}

bool BatchCells::missing(const Cells& c, int64_t i) {
    if (c.array == nullptr || c.array->IsNull(i)) return true;
    if (c.kind == Kind::Dictionary) {  // a null may be an entry of the dictionary too
        const auto* dictionary = static_cast<const arrow::DictionaryArray*>(c.array);
        return dictionary->dictionary()->IsNull(dictionary->GetValueIndex(i));
    }
    if (c.kind != Kind::Float) return false;
    return c.array->type_id() == arrow::Type::FLOAT ? std::isnan(static_cast<const arrow::FloatArray*>(c.array)->Value(i))
                                                    : std::isnan(static_cast<const arrow::DoubleArray*>(c.array)->Value(i));
}

bool BatchCells::slow_present(Field f, int64_t i) const {
    const Cells& c = cells_[f];
    if (missing(c, i)) return false;
    if (texts(c)) {
        char buffer[48];
        return !trim(raw_text(c, i, buffer)).empty();
    }
    return true;
}

std::string_view BatchCells::slow_optional_text(Field f, int64_t i) const {
    const Cells& c = cells_[f];
    if (missing(c, i)) return {};
    if (c.kind == Kind::Other || c.kind == Kind::Timestamp || c.kind == Kind::Time || c.kind == Kind::Date ||
        c.kind == Kind::List)
        fail(f, i, "expected text, got a column of type " + c.array->type()->ToString());
    if (c.kind == Kind::Boolean)  // a flag is no name, code or number
        fail(f, i, std::string("expected text, got the boolean ") +
                       (static_cast<const arrow::BooleanArray*>(c.array)->Value(i) ? "true" : "false"));
    if (c.kind == Kind::Float) {
        // A float read as a name or code is the number it writes, a whole
        // one in digits as an integer column's ("100000", not "1e+05"):
        // never its text "inf" or "1e+300".
        double v = 0;
        float_cell(f, i, v);
        if (!std::isfinite(v) || std::fabs(v) >= 1e18)
            fail(f, i, "the float " + std::string(raw_text(c, i, buffer_)) + " is no number of at most 18 digits");
        if (v == std::trunc(v)) {
            const auto r = std::to_chars(buffer_, buffer_ + sizeof buffer_, static_cast<int64_t>(v));
            return {buffer_, static_cast<std::size_t>(r.ptr - buffer_)};
        }
    }
    return trim(raw_text(c, i, buffer_));
}

std::string_view BatchCells::slow_text(Field f, int64_t i) const {
    if (cells_[f].array != nullptr && missing(cells_[f], i)) fail(f, i, "missing value");
    const std::string_view s = slow_optional_text(f, i);
    if (s.empty()) fail(f, i, "empty");
    return s;
}

Decimal BatchCells::decimal(Field f, int64_t i) const {
    Decimal d;
    decimal(f, i, d);
    return d;
}

std::optional<int64_t> BatchCells::typed_date(Field f, int64_t i) const {
    const Cells& c = cells_[f];
    if (c.kind != Kind::Date && c.kind != Kind::Timestamp) return std::nullopt;
    if (c.array->IsNull(i)) fail(f, i, "missing value");
    if (c.array->type_id() == arrow::Type::DATE32) return static_cast<const arrow::Date32Array*>(c.array)->Value(i);
    if (c.array->type_id() == arrow::Type::DATE64) {
        const int64_t ms = static_cast<const arrow::Date64Array*>(c.array)->Value(i);
        if (ms % 86'400'000 != 0) fail(f, i, "expected a date, got a time of day as well: " + shown(c, i));
        return ms / 86'400'000;
    }
    const int64_t raw = c.array->data()->GetValues<int64_t>(1)[i];
    if (c.zoned) {
        // An instant: a date is its local midnight in the column's zone.
        if (c.divisor < 0 && raw % 1000 != 0) fail(f, i, "expected a date, got a time of day as well: " + shown(c, i));
        const int64_t micros = c.divisor < 0 ? raw / 1000 : raw * c.divisor;  // within a tape's days: no overflow
        const std::string& name = static_cast<const arrow::TimestampType&>(*c.array->type()).timezone();
        LocalTime local{};
        if (!local_time(name, micros, local)) fail(f, i, "a timestamp of the unknown time zone '" + name + "'");
        if (local.micros != 0)
            fail(f, i, "expected a date, got a time of day as well: " + shown(c, i) + ", not a midnight in " +
                           (name.empty() ? std::string("UTC") : name) + ", the column's zone");
        return local.ndays - engine::kUnixEpochNDays;
    }
    const int64_t per_day = c.divisor < 0 ? kMicrosPerDay * 1000 : kMicrosPerDay / c.divisor;
    if (raw % per_day != 0) fail(f, i, "expected a date, got a time of day as well: " + shown(c, i));
    return raw / per_day;
}

uint32_t BatchCells::day(Field f, int64_t i, DateOrder order) const {
    const Cells& c = cells_[f];
    if (c.kind == Kind::Date || c.kind == Kind::Timestamp) {
        // A zoned timestamp's day is found in its zone's database: once for
        // a run of rows of one value.
        const int64_t raw = c.array->type_id() == arrow::Type::DATE32 ? c.array->data()->GetValues<int32_t>(1)[i]
                                                                       : c.array->data()->GetValues<int64_t>(1)[i];
        if (last_typed_valid_ && raw == last_typed_) return last_typed_day_;
        const int64_t ndays = *typed_date(f, i) + engine::kUnixEpochNDays;
        if (!tape_day(ndays)) fail(f, i, "outside the days a tape holds (1883-01-01 to 9999-12-31)");
        last_typed_valid_ = true;
        last_typed_ = raw;
        last_typed_day_ = static_cast<uint32_t>(ndays);
        return last_typed_day_;
    }
    char digits[48];
    std::string_view s;
    if (texts(c)) {
        s = text(f, i);
    } else if (c.kind == Kind::Signed || c.kind == Kind::Unsigned || c.kind == Kind::Decimal ||
               (c.kind == Kind::Float && c.array->type_id() == arrow::Type::DOUBLE)) {
        s = format_decimal(decimal(f, i), digits);  // 20240315
    } else if (c.kind == Kind::Float) {
        // Past 2^24 a float32 holds every other whole number at best:
        // 20240315 is kept as 20240316.
        fail(f, i, "a float32 cannot hold a date of eight digits (20240315 is kept as 20240316): give the column "
                   "as integers, float64 or text");
    } else {
        fail(f, i, "expected a date, got a column of type " + c.array->type()->ToString());
    }
    if (s.size() == last_date_size_ && std::memcmp(s.data(), last_date_, s.size()) == 0) return last_day_;
    std::string why;
    const std::optional<uint32_t> ndays = calendar_day(s, order, why);
    if (!ndays) fail(f, i, why + ", got " + (texts(c) ? quoted(s) : std::string(s)));
    if (s.size() <= sizeof last_date_) {
        std::memcpy(last_date_, s.data(), s.size());
        last_date_size_ = s.size();
        last_day_ = *ndays;
    }
    return *ndays;
}

int BatchCells::float_cell(Field f, int64_t i, double& out) const {
    const Cells& c = cells_[f];
    if (c.kind != Kind::Float || missing(c, i)) return 0;
    if (c.array->type_id() == arrow::Type::FLOAT) {
        out = static_cast<const arrow::FloatArray*>(c.array)->Value(i);
        return 32;
    }
    out = static_cast<const arrow::DoubleArray*>(c.array)->Value(i);
    return 64;
}

bool BatchCells::short_float(Field f, int64_t i, Decimal& out) const {
    const Cells& c = cells_[f];
    return c.array->type_id() == arrow::Type::FLOAT
               ? decimal_from_float(static_cast<const arrow::FloatArray*>(c.array)->Value(i), out)
               : decimal_from_double(static_cast<const arrow::DoubleArray*>(c.array)->Value(i), out, c.float_decimals);
}

void BatchCells::decimal(Field f, int64_t i, Decimal& out) const {
    const Cells& c = cells_[f];
    // Text read directly says itself whether it is missing (below).
    if (!direct(c) && missing(c, i)) fail(f, i, "missing value");
    switch (c.kind) {
        case Kind::Signed:
            switch (c.array->type_id()) {
                case arrow::Type::INT8: out = decimal_from_integer(static_cast<const arrow::Int8Array*>(c.array)->Value(i)); return;
                case arrow::Type::INT16: out = decimal_from_integer(static_cast<const arrow::Int16Array*>(c.array)->Value(i)); return;
                case arrow::Type::INT32: out = decimal_from_integer(static_cast<const arrow::Int32Array*>(c.array)->Value(i)); return;
                default: out = decimal_from_integer(static_cast<const arrow::Int64Array*>(c.array)->Value(i)); return;
            }
        case Kind::Boolean:  // a flag is no price, size or count
            fail(f, i, std::string("expected a number, got the boolean ") +
                           (static_cast<const arrow::BooleanArray*>(c.array)->Value(i) ? "true" : "false"));
        case Kind::Float:
            if (!short_float(f, i, out)) {
                // Past 2^63 a float is whole but no number a column holds.
                double value = 0;
                float_cell(f, i, value);
                fail(f, i, "the float " + std::string(raw_text(c, i, buffer_)) +
                               (std::fabs(value) >= kFloatLimit ? " is out of range" : " is no decimal of at most 9 decimals"));
            }
            return;
        case Kind::Decimal: {
            __int128 units = 0;
            int scale = c.scale;
            if (!decimal_units(*c.array, i, scale, units) || !decimal_from_any_scale(units, scale, out))
                fail(f, i, "a decimal past 38 digits or decimals is out of range, got " + cell_text(*c.array, i));
            return;
        }
        case Kind::Other:
        case Kind::Timestamp:
        case Kind::Time:
        case Kind::Date:
        case Kind::List:
            fail(f, i, "expected a number, got a column of type " + c.array->type()->ToString() +
                           (c.array->type_id() == arrow::Type::HALF_FLOAT ? " (half-precision floats: convert it to float32)"
                                                                           : ""));
        default: {
            const std::string_view s = text(f, i);
            if (!parse_decimal(s, out)) fail(f, i, "expected a number, got " + quoted(s));
            return;
        }
    }
}

bool BatchCells::plain_count(Field f, int64_t i, uint64_t& out) const {
    const Cells& c = cells_[f];
    if (direct(c)) {
        const std::string_view s = optional_text(f, i);
        if (s.empty() || s.size() > 18) return false;
        uint64_t v = 0;
        for (const char ch : s) {
            if (ch < '0' || ch > '9') return false;
            v = v * 10 + static_cast<uint64_t>(ch - '0');
        }
        out = v;
        return true;
    }
    if (c.kind != Kind::Signed || c.array->type_id() != arrow::Type::INT64 || c.array->IsNull(i)) return false;
    const int64_t v = static_cast<const arrow::Int64Array*>(c.array)->Value(i);
    if (v < 0) return false;
    out = static_cast<uint64_t>(v);
    return true;
}

int64_t BatchCells::integer(Field f, int64_t i, int64_t lo, int64_t hi) const {
    Decimal d;
    decimal(f, i, d);
    const auto v = whole(d);
    char buffer[48];
    if (!v && d.decimals > 0) fail(f, i, "expected a whole number, got " + std::string(format_decimal(d, buffer)));
    if (!v || *v < lo || *v > hi)
        fail(f, i, std::string(format_decimal(d, buffer)) + " is out of range (" + std::to_string(lo) + " to " +
                       std::to_string(hi) + ")");
    return *v;
}

// The time of row i into `out`, checked against the days a tape can hold.
void BatchCells::in_range(Field f, int64_t i, int64_t epoch_micros, bool sub_milli, ParsedTime& out) const {
    // Far outside the days a tape holds (1883 to 9999), where a time zone's
    // offset could not even be added; the importer checks the exact days.
    constexpr int64_t kEarliest = -4'000'000'000'000'000;  // about 1843
    constexpr int64_t kLatest = 300'000'000'000'000'000;   // about 11476
    if (epoch_micros < kEarliest || epoch_micros > kLatest)
        fail(f, i, "outside the days a tape holds (1883-01-01 to 9999-12-31), got " + shown(cells_[f], i));
    out.epoch_micros = epoch_micros;
    out.sub_milli = sub_milli;
}

void BatchCells::time(Field f, int64_t i, TimeParser& parser, std::optional<uint32_t> day, ParsedTime& out) const {
    const Cells& c = cells_[f];
    // Text read directly says itself whether it is missing (text()).
    if (!direct(c) && missing(c, i)) fail(f, i, "missing value");
    std::string why;
    std::optional<ParsedTime> t;
    switch (c.kind) {
        case Kind::Timestamp:
        case Kind::Time: {
            const int64_t raw = c.array->type_id() == arrow::Type::TIME32 ? c.array->data()->GetValues<int32_t>(1)[i]
                                                                          : c.array->data()->GetValues<int64_t>(1)[i];
            int64_t micros;
            bool sub_milli;
            if (c.divisor < 0) {  // nanoseconds
                micros = floor_div(raw, 1000);
                sub_milli = raw % 1'000'000 != 0;
            } else {
                if (raw > INT64_MAX / c.divisor || raw < INT64_MIN / c.divisor) fail(f, i, "time out of range");
                micros = raw * c.divisor;
                sub_milli = micros % 1000 != 0;
            }
            if (c.kind == Kind::Timestamp) {
                if (c.zoned) return in_range(f, i, micros, sub_milli, out);
                const ParsedTime local = parser.local(micros, sub_milli);
                return in_range(f, i, local.epoch_micros, local.sub_milli, out);
            }
            t = parser.time_of_day(micros, sub_milli, day, why);
            break;
        }
        case Kind::Signed:
            t = parser.integer(static_cast<int64_t>(decimal(f, i).units), std::nullopt, day, why);
            break;
        case Kind::Float:
        case Kind::Decimal: {
            // A number with a fraction (seconds since the epoch, as pandas
            // keeps them in float64): read as its text would be, a float as
            // its shortest decimal.
            char text[48];
            const std::string_view s = format_decimal(decimal(f, i), text);
            t = parser.text(s, day, why);
            if (!t) fail(f, i, why + ", got " + quoted(s));
            break;
        }
        case Kind::Unsigned: {
            const std::string_view s = raw_text(c, i, buffer_);
            int64_t v = 0;
            const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
            if (r.ec != std::errc()) fail(f, i, "time out of range");
            t = parser.integer(v, std::nullopt, day, why);
            break;
        }
        case Kind::Text:
        case Kind::LargeText:
        case Kind::ViewText:
        case Kind::Dictionary: {
            const std::string_view s = text(f, i);
            t = parser.text(s, day, why);
            if (!t) fail(f, i, why + ", got " + quoted(s));
            break;
        }
        default:
            fail(f, i, "expected a time, got a column of type " + c.array->type()->ToString());
    }
    if (!t) fail(f, i, why + ", got " + shown(c, i));
    in_range(f, i, t->epoch_micros, t->sub_milli, out);
}

bool BatchCells::list_items(Field f, int64_t i, std::vector<std::string_view>& out, std::string& storage) const {
    const Cells& c = cells_[f];
    if (c.kind != Kind::List) return false;
    if (c.array->IsNull(i)) return true;
    std::shared_ptr<arrow::Array> values;
    int64_t begin = 0, end = 0;
    if (c.array->type_id() == arrow::Type::LARGE_LIST) {  // polars' lists
        const auto* list = static_cast<const arrow::LargeListArray*>(c.array);
        values = list->values();
        begin = list->value_offset(i);
        end = list->value_offset(i + 1);
    } else {
        const auto* list = static_cast<const arrow::ListArray*>(c.array);
        values = list->values();
        begin = list->value_offset(i);
        end = list->value_offset(i + 1);
    }
    const bool texts = is_text_type(values->type_id());
    if (!texts && !arrow::is_integer(values->type_id()))
        fail(f, i, "expected a list of texts or numbers, got " + c.array->type()->ToString());
    storage.clear();
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (int64_t k = begin; k < end; ++k) {
        if (values->IsNull(k)) continue;
        std::string item;
        if (texts) {
            item = std::string(text_item(*values, k));
        } else {
            auto scalar = values->GetScalar(k);
            item = scalar.ok() ? (*scalar)->ToString() : std::string();
        }
        spans.emplace_back(storage.size(), item.size());
        storage += item;
    }
    for (const auto& [at, n] : spans) out.emplace_back(storage.data() + at, n);
    return true;
}

}  // namespace tarvik::import
