// Columns by name: which columns each kind of input has, the mapping of a
// file's header onto them, and typed access to the cells of one batch.
#pragma once

#include <arrow/array.h>
#include <arrow/record_batch.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decimal.h"
#include "import_error.h"
#include "import_options.h"
#include "time_parse.h"

namespace tarvik::import {

enum Field : int {
    kSymbol, kTime, kExchange, kBid, kBidSize, kAsk, kAskSize, kCondition, kPrice, kSize, kConditions,
    kSequence, kMarketMaker, kListedExchange, kExchangeTime, kAction, kOldSymbol, kPriceType, kPrevClose,
    kSizeMultiplier, kRoot, kUnderlying, kExpiration, kStrike, kPutCall, kContractUnit, kCode, kPriceFlags,
    kDate, kFieldCount
};

const char* field_name(Field field);
// Two names equal but for the letter case of ASCII letters.
bool same_name(std::string_view a, std::string_view b);
// Whether inputs of `kind` take the column named `name` (ours, lower case).
bool kind_takes(InputKind kind, std::string_view name);

// The file's column of each field of its kind, found by name in its header.
class ColumnMap {
public:
    // Throws ImportError naming the file when a column is missing, unknown
    // (unless extra columns are ignored), repeated, or when the file has no
    // header at all.
    // The last `constants` columns of the schema are constant ones (see
    // BatchSource::add_constants), taken where the file lacks the column.
    ColumnMap(const arrow::Schema& schema, InputKind kind, const std::string& source,
              const std::vector<std::pair<std::string, std::string>>& rename, bool ignore_extra, int constants = 0,
              bool by_position = false);

    bool has(Field f) const { return !names_[f].empty(); }
    const std::string& file_name(Field f) const { return names_[f]; }
    // The field is a constant column, not the file's.
    bool constant(Field f) const { return constant_[f]; }
    // The column's name as errors show it: the file's, or ours for a
    // constant one.
    std::string shown_name(Field f) const { return constant_[f] ? std::string(field_name(f)) : names_[f]; }
    // The file's names of the given fields that it has, for a pass.
    std::vector<std::string> columns(std::initializer_list<Field> fields) const;
    std::vector<std::string> all_columns() const;

private:
    std::array<std::string, kFieldCount> names_;
    std::array<bool, kFieldCount> constant_{};
};

// The cells of one batch, read by field, with errors that name the row.
class BatchCells {
public:
    // `first_row` is the number of the input's first row (see
    // BatchSource::first_row).
    BatchCells(const ColumnMap& map, std::string_view source, uint64_t first_row)
        : map_(map), source_(source), first_row_(first_row) {}

    // Binds the batch; `rows_before` rows of the input came before it.
    void bind(const arrow::RecordBatch& batch, uint64_t rows_before);
    int64_t rows() const { return rows_; }

    // The entries of a dictionary-encoded text column (Parquet's texts,
    // categoricals), or 0 for any other column; then row i's entry, or -1
    // for a null. Rows of one entry hold the same text, so whatever a row
    // makes of its text holds for every row of that entry in the batch.
    int64_t dictionary_entries(Field f) const {
        const Cells& c = cells_[f];
        return c.indices != nullptr && c.offsets != nullptr ? c.entries : 0;
    }
    int64_t dictionary_entry(Field f, int64_t i) const {
        const Cells& c = cells_[f];
        return text_null(c, i) ? -1 : c.indices[i];
    }
    // A column of texts, one a row, read directly (CSV files' columns,
    // Arrow strings and views without an odd offset).
    bool plain_text(Field f) const { return direct(cells_[f]) && cells_[f].indices == nullptr; }
    // Row i's number: a CSV file's line it starts on, else the 1-based row.
    uint64_t row_number(int64_t i) const {
        return row_lines_ != nullptr ? static_cast<uint64_t>(row_lines_[i]) : row_base_ + static_cast<uint64_t>(i);
    }

    // A column of texts (as opposed to one of numbers or other types).
    bool text_typed(Field f) const { return direct(cells_[f]) || texts(cells_[f]); }
    // Row i's cell as errors show it.
    std::string shown_text(Field f, int64_t i) const { return shown(cells_[f], i); }
    // A value is there: the column exists, the cell is not null, not a
    // float's NaN and not only blanks.
    bool present(Field f, int64_t i) const;

    // Text, trimmed of blanks; required (empty is an error). A number's
    // text lives in a buffer of this object until the next call.
    std::string_view text(Field f, int64_t i) const;
    // Text or empty when absent.
    std::string_view optional_text(Field f, int64_t i) const;
    Decimal decimal(Field f, int64_t i) const;
    // The same into `out` (see parse_decimal): how rows read their numbers.
    void decimal(Field f, int64_t i, Decimal& out) const;
    // A float column's cell (32 or 64 bits; 0 for a column of another
    // type, or a missing cell), its value in `out`.
    int float_cell(Field f, int64_t i, double& out) const;
    // A float cell as its shortest decimal: false, with nothing read, when
    // it needs more than 9 decimals (a price type given for the instrument
    // may still read it, as the nearest price of that type).
    bool short_float(Field f, int64_t i, Decimal& out) const;
    // A typed date (a date32 or date64, or a timestamp at midnight, as
    // pandas keeps dates; midnight in the timestamp's own zone where it has
    // one) as days since 1970-01-01; nullopt for a column of another type.
    std::optional<int64_t> typed_date(Field f, int64_t i) const;
    // A row's date (a date column beside times of day): a typed date, a
    // number such as 20240315, or a text calendar_day reads in `order`; the
    // day as the tape counts days. The cell must be present.
    uint32_t day(Field f, int64_t i, DateOrder order) const;
    // The column is in the batch (or a constant one).
    bool has(Field f) const { return cells_[f].kind != Kind::Absent; }
    int64_t integer(Field f, int64_t i, int64_t lo, int64_t hi) const;
    // A cell that is plainly a count, from 0 to 10^18 - 1 (digits alone,
    // or a non-negative integer column): true with its value. False for
    // any other cell, which the general reading then judges.
    bool plain_count(Field f, int64_t i, uint64_t& out) const;
    // Into `out`, a part at a time: a ParsedTime handed back whole went
    // through memory in pieces and was read back at once, which stalled the
    // processor once a row.
    void time(Field f, int64_t i, TimeParser& parser, std::optional<uint32_t> day, ParsedTime& out) const;
    // A list column's items as text (Parquet list<string> or list<int>),
    // else the cell's text; appended to `out`.
    bool list_items(Field f, int64_t i, std::vector<std::string_view>& out, std::string& storage) const;

    [[noreturn]] void fail(Field f, int64_t i, const std::string& message) const;

private:
    enum class Kind {
        Absent, Text, LargeText, ViewText, Dictionary, Signed, Unsigned, Float, Decimal, Timestamp, Time, Date, Boolean, List,
        Other
    };
    struct Cells {
        const arrow::Array* array = nullptr;
        Kind kind = Kind::Absent;
        int scale = 0;        // decimals of a decimal column
        int64_t divisor = 1;  // to microseconds, for typed times
        bool zoned = false;   // a timestamp with a time zone: an instant
        // A string column's buffers, read directly (most cells are text).
        // A dictionary column's are its dictionary's, with the indexes.
        const int32_t* offsets = nullptr;
        const char* data = nullptr;
        const uint8_t* valid = nullptr;
        const int32_t* indices = nullptr;  // row i is entry indices[i]; null: entry i
        int64_t entries = 0;               // of the dictionary
        // A view column's views (CSV files' texts, polars'), and its data
        // buffers; a cell of up to 12 bytes is in its view.
        const arrow::BinaryViewType::c_type* views = nullptr;
        const char* const* view_data = nullptr;
        mutable int float_decimals = 0;  // of a float column's value before: a hint
    };
    std::string_view raw_text(const Cells& c, int64_t i, char (&buffer)[48]) const;
    // Cell i as a message shows it: a text quoted, a number as written, a
    // typed time as Arrow writes it.
    std::string shown(const Cells& c, int64_t i) const;
    static bool text_null(const Cells& c, int64_t i) {
        return c.valid != nullptr && (c.valid[i >> 3] & (1u << (i & 7))) == 0;
    }
    static std::string_view text_at(const Cells& c, int64_t i) {
        if (c.views != nullptr) {
            const arrow::BinaryViewType::c_type& v = c.views[i];
            const auto n = static_cast<std::size_t>(v.size());
            if (n <= static_cast<std::size_t>(arrow::BinaryViewType::kInlineSize))
                return {reinterpret_cast<const char*>(v.inlined.data.data()), n};
            return {c.view_data[v.ref.buffer_index] + v.ref.offset, n};
        }
        const int64_t j = c.indices != nullptr ? c.indices[i] : i;
        return {c.data + c.offsets[j], static_cast<std::size_t>(c.offsets[j + 1] - c.offsets[j])};
    }
    // The cells are read by text_at, without a call.
    static bool direct(const Cells& c) { return c.offsets != nullptr || c.views != nullptr; }
    static bool texts(const Cells& c) {
        return c.kind == Kind::Text || c.kind == Kind::LargeText || c.kind == Kind::ViewText || c.kind == Kind::Dictionary;
    }
    // No value: no column, a null cell, or a float's NaN (a gap, as pandas
    // and the tools that write such columns mean it).
    static bool missing(const Cells& c, int64_t i);
    void in_range(Field f, int64_t i, int64_t epoch_micros, bool sub_milli, ParsedTime& out) const;
    std::string_view slow_text(Field f, int64_t i) const;
    std::string_view slow_optional_text(Field f, int64_t i) const;
    bool slow_present(Field f, int64_t i) const;

    const ColumnMap& map_;
    std::string_view source_;
    uint64_t first_row_;
    uint64_t row_base_ = 0;                // row 0's number
    const int64_t* row_lines_ = nullptr;  // each row's line, when a CSV batch's rows are not one a line
    int64_t rows_ = 0;
    std::array<Cells, kFieldCount> cells_;
    std::vector<std::shared_ptr<arrow::Array>> keep_;  // the batch's arrays, alive while bound
    std::array<std::vector<const char*>, kFieldCount> view_data_;  // each view column's data buffers
    mutable char buffer_[48];
    // The last date read, as text or as a typed value, and its day: a date
    // column holds one date for many rows.
    mutable char last_date_[16];
    mutable std::size_t last_date_size_ = 0;
    mutable uint32_t last_day_ = 0;
    mutable bool last_typed_valid_ = false;
    mutable int64_t last_typed_ = 0;
    mutable uint32_t last_typed_day_ = 0;
};

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

inline std::string_view BatchCells::text(Field f, int64_t i) const {
    const Cells& c = cells_[f];
    if (direct(c)) [[likely]] {
        if (text_null(c, i)) fail(f, i, "missing value");
        const std::string_view s = trim(text_at(c, i));
        if (s.empty()) fail(f, i, "empty");
        return s;
    }
    return slow_text(f, i);
}

inline std::string_view BatchCells::optional_text(Field f, int64_t i) const {
    const Cells& c = cells_[f];
    if (direct(c)) [[likely]]
        return text_null(c, i) ? std::string_view() : trim(text_at(c, i));
    return slow_optional_text(f, i);
}

inline bool BatchCells::present(Field f, int64_t i) const {
    const Cells& c = cells_[f];
    if (direct(c)) [[likely]]
        return !text_null(c, i) && !trim(text_at(c, i)).empty();
    return slow_present(f, i);
}

}  // namespace tarvik::import
