// One input as record batches: a CSV file (plain, gzip or zstd, told by
// its first bytes), a Parquet file, or an Arrow C stream from Python.
// Every read is a stream of batches, so memory is bounded by the batch and
// not the file. The import reads each input once.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/csv/options.h>
#include <arrow/io/type_fwd.h>
#include <arrow/type_fwd.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "import_options.h"
#include "work_ahead.h"

namespace tarvik::import {

inline constexpr std::string_view kConstantPrefix = "\x01constant ";

class BatchSource {
public:
    // Opens the input and reads its header or schema. Throws ImportError.
    // A CSV file's fields are separated by `delimiter`; 0 tells it from the
    // header: a comma, or else the '|', tab or ';' the header line holds.
    // Without `header`, a CSV file's first line is a row, and its columns
    // are named "1", "2", ... by position. A table beside the data (symbols,
    // conditions) takes `delimiter` only where its header line holds it,
    // and is told from the header otherwise: it is a file of its own making.
    enum class Delimiter { Given, WhereHeld };
    BatchSource(ImportInput input, char delimiter = 0, bool header = true, Delimiter use = Delimiter::Given);
    ~BatchSource();
    BatchSource(const BatchSource&) = delete;
    BatchSource& operator=(const BatchSource&) = delete;

    const std::string& name() const { return input_.name; }
    InputKind kind() const { return input_.kind; }
    // The input's columns, then the constant ones.
    const std::shared_ptr<arrow::Schema>& schema() const { return schema_; }
    // Columns the input lacks, of one text in every row (a vendor's file of
    // one symbol at one exchange, without those columns): after the
    // input's own, named kConstantPrefix and `name` (so that they are told
    // from a column of the file of that name), and added to every batch.
    // Before start().
    void add_constants(const std::vector<std::pair<std::string, std::string>>& constants);
    int constant_columns() const { return static_cast<int>(constants_.size()); }
    // A CSV file's row numbers are its lines, the header being line 1.
    bool rows_are_lines() const { return format_ == Format::Csv; }
    // The number of the first row: 2 after a CSV file's header, else 1.
    uint64_t first_row() const { return format_ == Format::Csv && header_ ? 2 : 1; }
    // The input has no names of its own: a CSV file without a header.
    bool named_by_position() const { return format_ == Format::Csv && !header_; }

    // Starts the read of the named columns (names as in the schema; empty:
    // all). A file may be read again; a stream only once.
    void start(const std::vector<std::string>& columns);
    // The next batch of the read, or null at its end. Throws ImportError.
    std::shared_ptr<arrow::RecordBatch> next();

private:
    enum class Format { Csv, Parquet, Stream };
    struct ParquetFile;

    // The file's bytes, decompressed.
    std::shared_ptr<arrow::io::InputStream> open_stream();
    arrow::csv::ParseOptions csv_parse_options() const;
    // The header's names. Sets the delimiter: `delimiter`, or when 0 a
    // comma if the header line holds one, else the first of '|', tab and
    // ';' it holds.
    std::shared_ptr<arrow::Schema> csv_header(char delimiter);
    std::shared_ptr<arrow::RecordBatchReader> open_csv(const std::vector<std::string>& columns);
    void select_parquet_columns(const std::vector<std::string>& columns);
    std::shared_ptr<arrow::RecordBatchReader> open_parquet_group();  // null past the last
    [[noreturn]] void fail(const std::string& message) const;
    // The next batch from the readers, or null at the end of the read.
    std::shared_ptr<arrow::RecordBatch> read_one();
    void stop_read_ahead();
    // The batch with the constant columns after its own.
    std::shared_ptr<arrow::RecordBatch> with_constants(std::shared_ptr<arrow::RecordBatch> batch);

    // A file's batches are read and parsed on a thread of their own, a
    // couple ahead, while the import converts the batch before: Arrow's
    // readers parse on the thread that asks, and the machine has a second
    // core. (Streams from Python are read on the asking thread.)
    std::unique_ptr<WorkAhead<std::shared_ptr<arrow::RecordBatch>>> ahead_;

    ImportInput input_;
    Format format_ = Format::Csv;
    bool compressed_ = false;
    std::string codec_;  // "gzip" or "zstd"
    char delimiter_ = ',';
    bool header_ = true;
    Delimiter use_ = Delimiter::Given;
    std::shared_ptr<arrow::Schema> schema_;
    std::unique_ptr<ParquetFile> parquet_;
    std::shared_ptr<arrow::RecordBatchReader> reader_;
    std::shared_ptr<arrow::RecordBatchReader> first_stream_;  // a stream, until its read starts
    // A constant column is a dictionary of its one text, and indexes that
    // are all 0: a slice of `zeros_`, made as long as the longest batch.
    struct Constant {
        std::shared_ptr<arrow::Field> field;
        std::shared_ptr<arrow::Array> dictionary;
    };
    std::vector<Constant> constants_;
    std::shared_ptr<arrow::Array> zeros_;
};

}  // namespace tarvik::import
