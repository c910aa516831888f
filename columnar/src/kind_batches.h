// Record batches of one kind of message, filled row by row from the
// engine's message records into Arrow builders. Every kind has the columns
// time, symbol, listed_exchange, reporting_exchange and price_type; then
// its own (docs/columnar.md).
#pragma once

#include <arrow/api.h>
#include <tsl/robin_map.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "batch_memory.h"
#include "columnar_options.h"
#include "engine/text_store.h"
#include "tarvik/library.h"
#include "trade_fraction.h"

namespace tarvik::columnar {

// Texts of string records as a dictionary: each text once, indexes in
// order of first appearance. A record's index is kept in its UserData1
// word (index + 1): the records belong to the reader's own run, where no
// program uses those words, and the look-up costs one load.
class TextDictionary {
public:
    int32_t index_of(TqStringRecord* record);
    int32_t index_of_text(const char* text);
    // The dictionary so far, as an Arrow string array.
    std::shared_ptr<arrow::Array> array();

private:
    // Each text once, found by a hash kept beside it: a day of options
    // names a million contracts.
    engine::TextStore kept_;
    tsl::robin_map<std::string_view, int32_t, std::hash<std::string_view>, std::equal_to<>,
                   std::allocator<std::pair<std::string_view, int32_t>>, true>
        by_text_;
    std::vector<std::string_view> texts_;  // valid UTF-8, kept in kept_
    std::shared_ptr<arrow::Array> array_;
};

// One message as the batches take it.
struct MessageRow {
    int64_t time;    // microseconds since the Unix epoch
    int32_t symbol;  // dictionary index, or -1 for none
    uint16_t listed_exchange;
    uint16_t reporting_exchange;
    const TarvikMessageBody* body;
    TradeFraction fraction;
};

// A column of fixed-width values without nulls, appended without checks
// (room is reserved ahead) and handed to Arrow without a copy.
template <typename T>
class FixedColumn {
public:
    arrow::Status reserve(int64_t n) { return data_.Reserve(n); }
    void append(T value) { data_.UnsafeAppend(value); }
    std::shared_ptr<arrow::Array> finish(const std::shared_ptr<arrow::DataType>& type);

private:
    arrow::TypedBufferBuilder<T> data_{batch_memory_pool()};
};

// Lists of at most four bytes a row (a trade's conditions), appended
// without checks as the fixed columns are.
class ByteListColumn {
public:
    arrow::Status reserve(int64_t n);
    template <typename Keep>
    void append(const uint8_t (&items)[4], Keep keep) {
        for (uint8_t item : items)
            if (keep(item)) values_.UnsafeAppend(item);
        offsets_.UnsafeAppend(static_cast<int32_t>(values_.length()));
    }
    std::shared_ptr<arrow::Array> finish();

private:
    arrow::TypedBufferBuilder<int32_t> offsets_{batch_memory_pool()};  // one ahead of the rows: the first is 0
    arrow::TypedBufferBuilder<uint8_t> values_{batch_memory_pool()};
};

// Dictionary indexes, null where a message names no text. The validity
// bitmap is made at the first null: the kinds whose messages all name a
// symbol never build one.
class IndexColumn {
public:
    arrow::Status reserve(int64_t n);
    void append(int32_t index) {
        values_.UnsafeAppend(index);
        if (nulls_ > 0) valid_.UnsafeAppend(true);
    }
    void append_null();
    // The indexes over the dictionary's texts so far.
    std::shared_ptr<arrow::Array> finish(TextDictionary& texts);

private:
    arrow::TypedBufferBuilder<int32_t> values_{batch_memory_pool()};
    arrow::TypedBufferBuilder<bool> valid_{batch_memory_pool()};
    int64_t nulls_ = 0;
};

class KindBatch {
public:
    virtual ~KindBatch() = default;
    static std::unique_ptr<KindBatch> make(TapeKind kind, const ColumnarOptions& options,
                                           std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols);

    const std::shared_ptr<arrow::Schema>& schema() const { return schema_; }
    int64_t rows() const { return rows_; }
    void append(const MessageRow& row);
    // The rows so far as a batch; the next starts empty.
    std::shared_ptr<arrow::RecordBatch> finish();

protected:
    KindBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t batch_rows)
        : time_type_(std::move(time_type)), symbols_(symbols), batch_rows_(batch_rows) {}
    // The kind's own columns: their fields, appended after the common ones.
    // append_own appends a row's and answers its price type (0 for kinds
    // without prices), which the common columns hold.
    virtual uint8_t append_own(const MessageRow& row) = 0;
    virtual arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) = 0;
    virtual arrow::Status reserve_own(int64_t rows) = 0;
    void set_schema(std::vector<std::shared_ptr<arrow::Field>> own, std::shared_ptr<arrow::DataType> time_type);

private:
    // Rows the columns make room for at a time: first, and at most.
    static constexpr int64_t kFirstRowsReserved = int64_t{1} << 12;
    static constexpr int64_t kRowsReserved = int64_t{1} << 20;
    void reserve(int64_t rows);

    std::shared_ptr<arrow::Schema> schema_;
    std::shared_ptr<arrow::DataType> time_type_;
    FixedColumn<int64_t> time_;
    IndexColumn symbol_;
    FixedColumn<uint16_t> listed_;
    FixedColumn<uint16_t> reporting_;
    FixedColumn<uint8_t> price_type_;
    TextDictionary& symbols_;
    int64_t batch_rows_;
    int64_t rows_ = 0;
    int64_t reserved_ = 0;                    // rows the columns have room for
    int64_t stretch_ = kFirstRowsReserved;    // rows the next room is made for
};

// Raises when Arrow fails (out of memory): the reader reports it.
void check(const arrow::Status& status);

}  // namespace tarvik::columnar
