// Record batches of one kind of message, filled row by row from the
// engine's message records into Arrow builders. Every kind has the columns
// time, symbol, listed_exchange, reporting_exchange and price_type; then
// its own (docs/columnar.md).
#pragma once

#include <arrow/api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "columnar_options.h"
#include "tarvik/library.h"

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
    std::unordered_map<std::string, int32_t> by_text_;
    std::vector<std::string> texts_;
    std::shared_ptr<arrow::Array> array_;
};

// One message as the batches take it.
struct MessageRow {
    int64_t time;      // microseconds since the Unix epoch
    int32_t symbol;    // dictionary index, or -1 for none
    const TarvikMessageRecord* message;
};

class KindBatch {
public:
    virtual ~KindBatch() = default;
    static std::unique_ptr<KindBatch> make(TapeKind kind, const ColumnarOptions& options,
                                           std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols);

    const std::shared_ptr<arrow::Schema>& schema() const { return schema_; }
    int64_t rows() const { return rows_; }
    void append(const MessageRow& row);
    // The rows so far as a batch; starts the next.
    std::shared_ptr<arrow::RecordBatch> finish();

protected:
    KindBatch(std::shared_ptr<arrow::DataType> time_type, TextDictionary& symbols, int64_t batch_rows)
        : time_(time_type, arrow::default_memory_pool()), symbols_(symbols), batch_rows_(batch_rows) {}
    // The kind's own columns: their fields, appended after the common ones.
    virtual void append_own(const TarvikMessageRecord& message) = 0;
    virtual arrow::Status finish_own(std::vector<std::shared_ptr<arrow::Array>>& out) = 0;
    virtual arrow::Status reserve_own(int64_t rows) = 0;
    void set_schema(std::vector<std::shared_ptr<arrow::Field>> own, std::shared_ptr<arrow::DataType> time_type);
    void start();

private:
    std::shared_ptr<arrow::Schema> schema_;
    arrow::TimestampBuilder time_;
    arrow::Int32Builder symbol_;
    arrow::UInt16Builder listed_;
    arrow::UInt16Builder reporting_;
    arrow::UInt8Builder price_type_;
    TextDictionary& symbols_;
    int64_t batch_rows_;
    int64_t rows_ = 0;
};

// Raises when Arrow fails (out of memory): the reader reports it.
void check(const arrow::Status& status);

}  // namespace tarvik::columnar
