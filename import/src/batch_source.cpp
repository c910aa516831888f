#include "batch_source.h"

#include <arrow/array/array_dict.h>
#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/c/bridge.h>
#include <arrow/csv/api.h>
#include <arrow/csv/parser.h>
#include <arrow/io/api.h>
#include <arrow/memory_pool.h>
#include <arrow/util/compression.h>
#include <parquet/arrow/reader.h>
#include <parquet/properties.h>
#include <parquet/arrow/schema.h>
#include <parquet/exception.h>
#include <parquet/metadata.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "csv_batches.h"
#include "arrow_status.h"
#include "import_error.h"
#include "recycled_memory.h"

namespace tarvik::import {
namespace {

template <typename T>
T value_or_fail(arrow::Result<T> result, const std::string& name) {
    throw_if_out_of_memory(result.status());
    if (!result.ok()) throw ImportError(name + ": " + result.status().message());
    return std::move(result).ValueUnsafe();
}

void ok_or_fail(const arrow::Status& status, const std::string& name) {
    throw_if_out_of_memory(status);
    if (!status.ok()) throw ImportError(name + ": " + status.message());
}

// The leaf columns of a Parquet field, in order.
void leaves(const parquet::arrow::SchemaField& field, std::vector<int>& out) {
    if (field.column_index >= 0) out.push_back(field.column_index);
    for (const auto& child : field.children) leaves(child, out);
}

constexpr int64_t kParquetBatchRows = 32 * 1024;

constexpr std::size_t kBatchesAhead = 2;
constexpr int32_t kCsvBlockBytes = 1 << 20;

// Whether every row group holds column `c` in encodings that Arrow reads
// into a dictionary: plain or dictionary values (and the levels' own).
bool dictionary_encodings_only(const parquet::FileMetaData& metadata, int c) {
    for (int g = 0; g < metadata.num_row_groups(); ++g) {
        // Held here: the encodings belong to the chunk's metadata.
        const std::unique_ptr<parquet::RowGroupMetaData> group = metadata.RowGroup(g);
        const std::unique_ptr<parquet::ColumnChunkMetaData> chunk = group->ColumnChunk(c);
        for (const parquet::Encoding::type encoding : chunk->encodings()) {
            switch (encoding) {
                case parquet::Encoding::PLAIN:
                case parquet::Encoding::PLAIN_DICTIONARY:
                case parquet::Encoding::RLE_DICTIONARY:
                case parquet::Encoding::RLE:
                case parquet::Encoding::BIT_PACKED:
                    break;
                default:
                    return false;
            }
        }
    }
    return true;
}

// The bytes a file's format is told by: its first ones, and its last ones
// for formats whose first bytes may be text.
constexpr std::size_t kMagicBytes = 6;
constexpr std::size_t kTailBytes = 8;

// What a file that is neither CSV nor Parquet is, told by its first bytes
// (at most kMagicBytes, `size` of them read), and how to get its text; null when
// nothing tells. Formats whose first bytes may be text (a CSV of ORC's
// trades starts with "ORC") are told only by the file's last 8 bytes as
// well, `tail` (kTailBytes), where those and the file's length `total` are known.
const char* other_format(const unsigned char* m, int64_t size, const unsigned char* tail = nullptr,
                         int64_t total = 0) {
    const auto starts = [&](std::string_view magic) {
        return size >= static_cast<int64_t>(magic.size()) && std::memcmp(m, magic.data(), magic.size()) == 0;
    };
    // Feather 1 pads its magic to 8 bytes with NULs, which no text holds,
    // and ends with its metadata's length (32 bits, little-endian) and its
    // magic again.
    if (tail != nullptr && starts(std::string_view("FEA1\0\0", 6)) && std::memcmp(tail + 4, "FEA1", 4) == 0) {
        const uint32_t metadata = uint32_t{tail[0]} | uint32_t{tail[1]} << 8 | uint32_t{tail[2]} << 16 |
                                  uint32_t{tail[3]} << 24;
        if (metadata > 0 && int64_t{metadata} + 16 <= total)
            return "a Feather (version 1) file: import reads CSV and Parquet; write_tape takes the table "
                   "pyarrow.feather reads from it";
    }
    // An ORC file's postscript ends with its magic, field 8000 ("ORC"),
    // then comes the postscript's length.
    if (tail != nullptr && starts("ORC") && std::memcmp(tail, "\x82\xF4\x03\x03ORC", 7) == 0)
        return "an ORC file: import reads CSV and Parquet; convert it to Parquet, or give write_tape the table "
               "pyarrow.orc reads from it";
    if (starts("\xFD" "7zXZ")) return "an xz file: import reads CSV (plain, gzip or zstd) and Parquet; xz -dc decompresses it";
    if (starts("BZh")) return "a bzip2 file: import reads CSV (plain, gzip or zstd) and Parquet; bzip2 -dc decompresses it";
    if (starts("PK\x03\x04")) return "a zip archive: import reads CSV (plain, gzip or zstd) and Parquet; unzip -p extracts its file";
    if (starts("\x04\x22\x4D\x18")) return "an lz4 file: import reads CSV (plain, gzip or zstd) and Parquet; lz4 -dc decompresses it";
    if (starts("7z\xBC\xAF")) return "a 7-Zip archive: import reads CSV (plain, gzip or zstd) and Parquet; 7z e -so extracts its file";
    if (starts("ARROW1")) return "an Arrow IPC file: import reads CSV and Parquet; write_tape takes the table pyarrow reads from it";
    // A stream's first message starts with the continuation marker.
    if (starts("\xFF\xFF\xFF\xFF")) return "an Arrow IPC stream: import reads CSV and Parquet; write_tape takes the table pyarrow reads from it";
    if (starts("Obj\x01")) return "an Avro file: import reads CSV and Parquet; write_tape takes a table or DataFrame read from it";
    if (starts("\xFF\xFE") || starts("\xFE\xFF")) return "UTF-16 text: import reads UTF-8 CSV; iconv -f UTF-16 -t UTF-8 converts it";
    return nullptr;
}

}  // namespace

struct BatchSource::ParquetFile {
    std::unique_ptr<parquet::arrow::FileReader> reader;
    std::vector<int> columns;  // leaf columns of the read
    int next_group = 0;
};

BatchSource::BatchSource(ImportInput input, char delimiter, bool header, Delimiter use)
    : input_(std::move(input)), delimiter_(delimiter != 0 ? delimiter : ','), header_(header), use_(use) {
    if (input_.first != nullptr) {
        format_ = Format::Stream;
        ArrowArrayStream* first = input_.first;
        input_.first = nullptr;
        first_stream_ = value_or_fail(arrow::ImportRecordBatchReader(first), input_.name);
        schema_ = first_stream_->schema();
        return;
    }
    struct stat st{};
    if (::stat(input_.path.c_str(), &st) != 0 && errno == ENOENT) fail("no such file");
    if (::stat(input_.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        fail(S_ISDIR(st.st_mode) ? "is a directory, not a file"
                                 : "is not a regular file (a pipe or a device): import reads files, some of them "
                                   "twice; write the data to a file first");
    auto file = arrow::io::ReadableFile::Open(input_.path);
    if (!file.ok()) fail("cannot be opened: " + file.status().message());
    std::shared_ptr<arrow::io::ReadableFile> opened = *file;
    const int64_t size = value_or_fail(opened->GetSize(), input_.name);
    unsigned char magic[kMagicBytes] = {};
    unsigned char tail[kTailBytes] = {};
    const bool has_tail = size >= static_cast<int64_t>(kMagicBytes + kTailBytes);
    if (size > 0) {
        auto read = opened->ReadAt(0, std::min<int64_t>(size, sizeof magic), magic);
        if (!read.ok()) fail("cannot be read: " + read.status().message());
    }
    if (has_tail) {
        auto read = opened->ReadAt(size - static_cast<int64_t>(sizeof tail), sizeof tail, tail);
        if (!read.ok()) fail("cannot be read: " + read.status().message());
    }
    ok_or_fail(opened->Close(), input_.name);
    if (size >= 4 && std::memcmp(magic, "PAR1", 4) == 0) {
        format_ = Format::Parquet;
        parquet_ = std::make_unique<ParquetFile>();
        auto f = value_or_fail(arrow::io::ReadableFile::Open(input_.path), input_.name);
        try {
            // Row groups are read one at a time and not buffered ahead, so
            // memory holds one row group whatever the file's size.
            parquet::ArrowReaderProperties properties;
            properties.set_pre_buffer(false);
            properties.set_batch_size(kParquetBatchRows);
            properties.set_use_threads(true);
            parquet::arrow::FileReaderBuilder builder;
            builder.memory_pool(batch_memory());
            ok_or_fail(builder.Open(f, parquet::ReaderProperties(batch_memory())), input_.name);
            // Text columns come as dictionaries, as Parquet writes them:
            // a row is then an index, and each text is read once a batch.
            // Arrow reads as dictionaries only the plain and dictionary
            // encodings: a column stored with the delta ones (Parquet's
            // version 2 writers) is read as it is.
            const parquet::FileMetaData& metadata = *builder.raw_reader()->metadata();
            const parquet::SchemaDescriptor& columns = *metadata.schema();
            for (int c = 0; c < columns.num_columns(); ++c) {
                const parquet::ColumnDescriptor& column = *columns.Column(c);
                const bool text = column.logical_type()->is_string() ||
                                  (column.logical_type()->is_none() && column.physical_type() == parquet::Type::BYTE_ARRAY);
                if (text && column.max_repetition_level() == 0 && dictionary_encodings_only(metadata, c))
                    properties.set_read_dictionary(c, true);
            }
            ok_or_fail(builder.properties(properties)->Build(&parquet_->reader), input_.name);
        } catch (const parquet::ParquetException& e) {
            fail(std::string("not a readable Parquet file: ") + e.what());
        }
        ok_or_fail(parquet_->reader->GetSchema(&schema_), input_.name);
        return;
    }
    if (size >= 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
        compressed_ = true;
        codec_ = "gzip";
    } else if (size >= 4 && (std::memcmp(magic, "\x28\xb5\x2f\xfd", 4) == 0 ||
                             // a skippable frame first, as pzstd writes
                             ((magic[0] & 0xf0) == 0x50 && std::memcmp(magic + 1, "\x2a\x4d\x18", 3) == 0))) {
        compressed_ = true;
        codec_ = "zstd";
    } else if (const char* other = other_format(magic, size, has_tail ? tail : nullptr, size)) {
        fail(other);
    }
    format_ = Format::Csv;
    schema_ = csv_header(delimiter);
}

BatchSource::~BatchSource() {
    stop_read_ahead();
    reader_.reset();
    if (input_.first != nullptr && input_.first->release != nullptr) input_.first->release(input_.first);
}

void BatchSource::fail(const std::string& message) const {
    // zstd's words for a frame whose window is past what a reader takes
    // unasked (128 MB): files compressed with zstd --long=28 or more.
    if (message.find("Frame requires too much memory") != std::string::npos)
        throw ImportError(input_.name + ": " + message +
                          " (a zstd window past 128 MB, as zstd --long=28 or more writes: recompress it without --long)");
    // The words of zlib and zstd for bytes where a member or frame should
    // start: a damaged file, or padding after the last member (zeros left
    // by a tape drive or a copy), which gzip -d only warns of.
    if (compressed_ && (message.find("unknown compression method") != std::string::npos ||
                        message.find("Unknown frame descriptor") != std::string::npos))
        throw ImportError(input_.name + ": " + message + " (bytes that are no " + codec_ +
                          " data: a damaged file, or padding after its last " +
                          (codec_ == "gzip" ? "member" : "frame") + ")");
    throw ImportError(input_.name + ": " + message);
}

std::shared_ptr<arrow::io::InputStream> BatchSource::open_stream() {
    std::shared_ptr<arrow::io::InputStream> stream = value_or_fail(arrow::io::ReadableFile::Open(input_.path), input_.name);
    if (compressed_) {
        const auto type = codec_ == "gzip" ? arrow::Compression::GZIP : arrow::Compression::ZSTD;
        auto codec = arrow::util::Codec::Create(type);
        if (!codec.ok()) fail("this build cannot read " + codec_ + " files: " + codec.status().message());
        stream = value_or_fail(arrow::io::CompressedInputStream::Make(codec->get(), stream), input_.name);
        // The stream keeps a raw pointer to the codec: keep it alive with the stream.
        struct Owned : arrow::io::InputStream {
            std::unique_ptr<arrow::util::Codec> codec;
            std::shared_ptr<arrow::io::InputStream> inner;
            arrow::Status Close() override { return inner->Close(); }
            bool closed() const override { return inner->closed(); }
            arrow::Result<int64_t> Tell() const override { return inner->Tell(); }
            arrow::Result<int64_t> Read(int64_t n, void* out) override { return inner->Read(n, out); }
            arrow::Result<std::shared_ptr<arrow::Buffer>> Read(int64_t n) override { return inner->Read(n); }
        };
        auto owned = std::make_shared<Owned>();
        owned->codec = std::move(*codec);
        owned->inner = std::move(stream);
        stream = owned;
    }
    return stream;
}

arrow::csv::ParseOptions BatchSource::csv_parse_options() const {
    auto parse = arrow::csv::ParseOptions::Defaults();
    parse.delimiter = delimiter_;
    return parse;
}

std::shared_ptr<arrow::Schema> BatchSource::csv_header(char delimiter) {
    // The file's start, up to a block: the header is at most that long.
    const std::shared_ptr<arrow::io::InputStream> stream = open_stream();
    std::string start;
    bool whole = false;  // the file ends within `start`
    while (start.size() < static_cast<std::size_t>(kCsvBlockBytes)) {
        auto read = stream->Read(kCsvBlockBytes - static_cast<int64_t>(start.size()));
        throw_if_out_of_memory(read.status());
        if (!read.ok()) fail(read.status().message());
        const std::shared_ptr<arrow::Buffer> chunk = std::move(read).ValueUnsafe();
        if (chunk->size() == 0) {
            whole = true;
            break;
        }
        start.append(reinterpret_cast<const char*>(chunk->data()), static_cast<std::size_t>(chunk->size()));
    }
    (void)stream->Close();
    std::string_view text = start;
    // A compressed file holding another format: what it holds, told as a
    // file of it would be.
    if (!codec_.empty()) {
        if (text.substr(0, 4) == "PAR1")
            fail("a " + codec_ + " file holding a Parquet file, which import reads as it is (Parquet compresses "
                 "its own columns); " + codec_ + " -dc decompresses it");
        if (text.substr(0, 2) == "\x1F\x8B" || text.substr(0, 4) == "\x28\xB5\x2F\xFD")
            fail("a " + codec_ + " file holding a file compressed again: " + codec_ +
                 " -dc gives the inner one, which import reads");
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        const bool has_tail = whole && text.size() >= kMagicBytes + kTailBytes;  // its end is known
        if (const char* other = other_format(bytes, static_cast<int64_t>(std::min(text.size(), kMagicBytes)),
                                             has_tail ? bytes + text.size() - kTailBytes : nullptr,
                                             static_cast<int64_t>(text.size())))
            fail("a " + codec_ + " file holding " + other);
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    // The first line that is not blank, as the parser skips blank ones.
    const std::size_t first = std::min(text.find_first_not_of("\r\n"), text.size());
    const std::string_view first_line = text.substr(first, text.find_first_of("\r\n", first) - first);
    if (first_line.find('\0') != std::string_view::npos)
        fail("the first line holds NUL bytes: not a CSV file (import reads UTF-8 text)");
    // An object or an array first, as JSON starts and no CSV line does.
    const std::string_view opening = first_line.substr(std::min(first_line.find_first_not_of(" \t"), first_line.size()));
    if (opening == "{" || opening == "[" || opening.starts_with("{\"") || opening.starts_with("{ \"") ||
        opening.starts_with("[{") || opening.starts_with("[ {") || opening.starts_with("[\""))
        fail("a JSON file: import reads CSV and Parquet; write_tape takes the DataFrame pandas.read_json reads from it "
             "(lines=True for JSON lines)");

    // The header line alone decides the delimiter, before any row is
    // parsed: a row may hold the others inside its fields (conditions
    // "@,F" in a file of semicolons). It is the one the line holds most of
    // outside quotes (a name may hold another: "Price (USD, mid)"); a tab
    // beside a comma is only padding.
    const auto beside_a_comma = [&first_line](std::size_t at) {
        std::size_t before = at, after = at + 1;
        while (before > 0 && first_line[before - 1] == ' ') --before;
        while (after < first_line.size() && first_line[after] == ' ') ++after;
        return (before > 0 && first_line[before - 1] == ',') ||
               (after < first_line.size() && first_line[after] == ',');
    };
    const auto held = [&](char candidate) {  // outside quotes
        std::size_t count = 0;
        bool quoted = false;
        for (std::size_t at = 0; at < first_line.size(); ++at) {
            const char c = first_line[at];
            quoted = c == '"' ? !quoted : quoted;
            count += !quoted && c == candidate && (c != '\t' || !beside_a_comma(at));
        }
        return count;
    };
    if (delimiter != 0 && (use_ == Delimiter::Given || held(delimiter) > 0)) {
        delimiter_ = delimiter;
    } else {
        delimiter_ = ',';
        std::size_t most = 0;
        for (char candidate : {',', '|', '\t', ';'}) {
            if (const std::size_t count = held(candidate); count > most) {
                most = count;
                delimiter_ = candidate;
            }
        }
        // A header of one name holds none: the delimiter given, if any.
        if (most == 0 && delimiter != 0) delimiter_ = delimiter;
    }

    // The header is the first row as Arrow's parser reads it (quotes,
    // blank lines before it), so that the batches' parser agrees.
    arrow::csv::BlockParser parser(batch_memory(), csv_parse_options(), -1, 1, 1);
    uint32_t used = 0;
    const arrow::Status parsed = whole ? parser.ParseFinal(text, &used) : parser.Parse(text, &used);
    // Without a whole row the parser, not knowing the columns, says
    // "Empty CSV file or block".
    if (!parsed.ok() && parsed.message().find("Empty CSV file or block") == std::string::npos)
        fail(parsed.message());
    if (!parsed.ok() || parser.num_rows() == 0) {
        if (whole) fail(header_ ? "empty file: no header" : "empty file");
        fail("no header: the first line runs past " + std::to_string(kCsvBlockBytes >> 20) +
             " MB without a line end (is it a CSV file?)");
    }
    arrow::FieldVector fields;
    if (!header_) {
        for (int32_t c = 0; c < parser.num_cols(); ++c) fields.push_back(arrow::field(std::to_string(c + 1), arrow::utf8()));
        return arrow::schema(std::move(fields));
    }
    for (int32_t c = 0; c < parser.num_cols(); ++c)
        ok_or_fail(parser.VisitColumn(c, [&](const uint8_t* data, uint32_t size, bool) {
            fields.push_back(arrow::field(std::string(reinterpret_cast<const char*>(data), size), arrow::utf8()));
            return arrow::Status::OK();
        }), input_.name);
    return arrow::schema(std::move(fields));
}

std::shared_ptr<arrow::RecordBatchReader> BatchSource::open_csv(const std::vector<std::string>& columns) {
    std::vector<std::string> header;  // the file's own columns
    for (int c = 0; c < schema_->num_fields() - static_cast<int>(constants_.size()); ++c)
        header.push_back(schema_->field(c)->name());
    return value_or_fail(CsvBatches::Make(open_stream(), csv_parse_options(), header,
                                          columns.empty() ? header : columns, kCsvBlockBytes, batch_memory(), header_),
                         input_.name);
}

void BatchSource::select_parquet_columns(const std::vector<std::string>& columns) {
    parquet_->columns.clear();
    const auto& manifest = parquet_->reader->manifest();
    for (std::size_t f = 0; f < manifest.schema_fields.size(); ++f) {
        const std::string& field = schema_->field(static_cast<int>(f))->name();
        bool wanted = columns.empty();
        for (const std::string& c : columns) wanted = wanted || c == field;
        if (wanted) leaves(manifest.schema_fields[f], parquet_->columns);
    }
    parquet_->next_group = 0;
}

std::shared_ptr<arrow::RecordBatchReader> BatchSource::open_parquet_group() {
    auto& reader = *parquet_->reader;
    if (parquet_->next_group >= reader.num_row_groups()) return nullptr;
    const std::vector<int> group = {parquet_->next_group++};
    try {
        return value_or_fail(reader.GetRecordBatchReader(group, parquet_->columns), input_.name);
    } catch (const parquet::ParquetException& e) {
        fail(e.what());
    }
}

void BatchSource::stop_read_ahead() { ahead_.reset(); }

void BatchSource::add_constants(const std::vector<std::pair<std::string, std::string>>& constants) {
    arrow::FieldVector fields = schema_->fields();
    for (const auto& [name, text] : constants) {
        arrow::StringBuilder entry(batch_memory());
        ok_or_fail(entry.Append(text), input_.name);
        Constant c;
        c.field = arrow::field(std::string(kConstantPrefix) + name, arrow::dictionary(arrow::int32(), arrow::utf8()));
        ok_or_fail(entry.Finish(&c.dictionary), input_.name);
        fields.push_back(c.field);
        constants_.push_back(std::move(c));
    }
    schema_ = arrow::schema(std::move(fields));
}

std::shared_ptr<arrow::RecordBatch> BatchSource::with_constants(std::shared_ptr<arrow::RecordBatch> batch) {
    if (!batch || constants_.empty()) return batch;
    const int64_t rows = batch->num_rows();
    if (!zeros_ || zeros_->length() < rows) {
        arrow::Int32Builder zeros(batch_memory());
        ok_or_fail(zeros.AppendEmptyValues(rows), input_.name);
        ok_or_fail(zeros.Finish(&zeros_), input_.name);
    }
    for (const Constant& c : constants_) {
        const std::shared_ptr<arrow::Array> column =
            std::make_shared<arrow::DictionaryArray>(c.field->type(), zeros_->Slice(0, rows), c.dictionary);
        batch = value_or_fail(batch->AddColumn(batch->num_columns(), c.field, column), input_.name);
    }
    return batch;
}

void BatchSource::start(const std::vector<std::string>& wanted) {
    stop_read_ahead();
    reader_.reset();
    // The constant columns are made here, not read.
    std::vector<std::string> columns;
    for (const std::string& name : wanted) {
        bool constant = false;
        for (const Constant& c : constants_) constant = constant || c.field->name() == name;
        if (!constant) columns.push_back(name);
    }
    // Only constants asked for: the input's first column still counts the rows.
    if (columns.empty() && !wanted.empty() && schema_->num_fields() > static_cast<int>(constants_.size()))
        columns.push_back(schema_->field(0)->name());
    switch (format_) {
        case Format::Csv:
            reader_ = open_csv(columns);
            break;
        case Format::Parquet:
            select_parquet_columns(columns);
            reader_ = open_parquet_group();
            break;
        case Format::Stream:
            if (!first_stream_) fail("a stream can be read only once");
            reader_ = std::move(first_stream_);
            break;
    }
}

std::shared_ptr<arrow::RecordBatch> BatchSource::read_one() {
    std::shared_ptr<arrow::RecordBatch> batch;
    for (;;) {
        if (!reader_) return nullptr;
        arrow::Status status;
        try {
            status = reader_->ReadNext(&batch);
        } catch (const parquet::ParquetException& e) {
            fail(e.what());
        }
        throw_if_out_of_memory(status);
        if (!status.ok()) fail(status.message());
        if (batch || format_ != Format::Parquet) return batch;
        reader_ = open_parquet_group();  // the next row group, or null at the end
    }
}

std::shared_ptr<arrow::RecordBatch> BatchSource::next() {
    std::shared_ptr<arrow::RecordBatch> batch;
    if (format_ != Format::Stream) {
        if (!ahead_)
            ahead_ = std::make_unique<WorkAhead<std::shared_ptr<arrow::RecordBatch>>>(
                [this](std::shared_ptr<arrow::RecordBatch>& got) { return (got = read_one()) != nullptr; },
                [](std::size_t, std::shared_ptr<arrow::RecordBatch>&) {}, 1, kBatchesAhead);
        if (!ahead_->next(batch)) batch = nullptr;
        return with_constants(std::move(batch));
    }
    batch = read_one();
    if (batch) {
        // Arrow's own readers make valid arrays; a stream from elsewhere
        // may hand over any bytes (a dictionary index past its dictionary,
        // an offset past its data), which reading would follow.
        for (int k = 0; k < batch->num_columns(); ++k)
            if (const arrow::Status valid = batch->column(k)->ValidateFull(); !valid.ok())
                fail("column " + quoted(batch->schema()->field(k)->name()) + ": not a valid Arrow array: " +
                     valid.message());
    }
    return with_constants(std::move(batch));
}

}  // namespace tarvik::import
