// A CSV file's rows as record batches of string views into the parsed
// text. Arrow's CSV reader copies every cell into a string column of its
// own after parsing it; here a cell is a 16-byte view that holds a short
// cell itself and points into the parser's text for a longer one, so a
// batch costs the parse and one view a cell. Arrow's chunker and block
// parser do the reading, with the same rules as its reader: quotes,
// escapes, line ends, blank lines, a leading byte-order mark.
#pragma once

#include <arrow/csv/options.h>
#include <arrow/io/type_fwd.h>
#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvik::import {

// The lines of the file a batch's rows start on.
struct CsvRowLines {
    int64_t first = 0;          // the first row's
    std::vector<int64_t> rows;  // each row's, when blank lines or line ends in quoted fields come between
                                // rows; empty: row i starts on line first + i
    uint64_t line(int64_t row) const {
        return static_cast<uint64_t>(rows.empty() ? first + row : rows[static_cast<std::size_t>(row)]);
    }
};

// A batch's lines, when CsvBatches made it; null for a batch from elsewhere.
const CsvRowLines* csv_row_lines(const arrow::RecordBatch& batch);

class CsvBatches : public arrow::RecordBatchReader {
public:
    // Reads `stream` (the file's bytes, decompressed, from its start),
    // skipping its header line, whose fields are `header` (without
    // `header_line`, the file has none and `header` names its columns). Batches hold the
    // columns named in `wanted`, in that order, as string views (a name the
    // header lacks is an error). Raw blocks of `block_bytes` are read ahead
    // on a thread of their own, where a compressed file is inflated.
    static arrow::Result<std::shared_ptr<CsvBatches>> Make(std::shared_ptr<arrow::io::InputStream> stream,
                                                           const arrow::csv::ParseOptions& parse,
                                                           const std::vector<std::string>& header,
                                                           const std::vector<std::string>& wanted,
                                                           int64_t block_bytes, arrow::MemoryPool* pool,
                                                           bool header_line = true);
    ~CsvBatches() override;

    std::shared_ptr<arrow::Schema> schema() const override;
    arrow::Status ReadNext(std::shared_ptr<arrow::RecordBatch>* batch) override;
    arrow::Status Close() override;

private:
    struct State;
    explicit CsvBatches(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tarvik::import
