#include "csv_batches.h"

#include <arrow/array.h>
#include <arrow/buffer.h>
#include <arrow/csv/chunker.h>
#include <arrow/csv/parser.h>
#include <arrow/io/interfaces.h>
#include <arrow/memory_pool.h>
#include <arrow/type.h>
#include <arrow/util/delimiting.h>

#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "arrow_status.h"
#include "work_ahead.h"

namespace tarvik::import {
namespace {

using View = arrow::BinaryViewType::c_type;
static_assert(sizeof(View) == 16);

constexpr std::size_t kBlocksAhead = 2;
// Room before each raw block for the start of the row the block before
// ended in, so that the block is not copied to join them.
constexpr int64_t kRowStartRoom = 64 * 1024;

// A raw block, read into `memory` after kRowStartRoom bytes.
struct RawBlock {
    std::shared_ptr<arrow::Buffer> memory;
    int64_t size = 0;
};

// The parsed text of one block, kept alive by the batch whose views point
// into it.
class ParsedText : public arrow::Buffer {
public:
    ParsedText(std::shared_ptr<arrow::csv::BlockParser> parser, const uint8_t* data, int64_t size, CsvRowLines row_lines)
        : arrow::Buffer(data, size), lines(std::move(row_lines)), parser_(std::move(parser)) {}

    const CsvRowLines lines;

private:
    std::shared_ptr<arrow::csv::BlockParser> parser_;
};

// Line ends ('\n') in the `n` bytes at `p`.
int64_t count_newlines(const uint8_t* p, std::size_t n) {
    int64_t count = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        count += __builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline))));
    }
#endif
    for (; i < n; ++i) count += p[i] == '\n';
    return count;
}

// The line each row of the `n` bytes at `p` starts on, appended to `out`,
// the text's first line being `line`; answers the line after the text.
// Rows are read as Arrow's parser reads them: blank lines are skipped, a
// quoted field may hold line ends, and "\r\n", "\n" and "\r" each end a line.
// `open_quote`, when given, gets the line of a quote the text's end leaves
// open (0 for none).
int64_t scan_row_lines(const uint8_t* p, std::size_t n, const arrow::csv::ParseOptions& o, int64_t line,
                       std::vector<int64_t>& out, int64_t* open_quote = nullptr) {
    if (open_quote != nullptr) *open_quote = 0;
    std::size_t i = 0;
    const auto past_line_end = [&](std::size_t& at) {
        if (p[at] == '\n') {
            ++at;
            return true;
        }
        if (p[at] == '\r') {
            at += at + 1 < n && p[at + 1] == '\n' ? 2 : 1;
            return true;
        }
        return false;
    };
    while (i < n) {
        if (o.ignore_empty_lines && past_line_end(i)) {
            ++line;
            continue;
        }
        out.push_back(line);
        bool field_start = true;
        while (i < n) {
            const char c = static_cast<char>(p[i]);
            if (o.escaping && c == o.escape_char) {
                line += i + 1 < n && p[i + 1] == '\n';
                i += 2;
                field_start = false;
                continue;
            }
            if (o.quoting && field_start && c == o.quote_char) {
                if (open_quote != nullptr) *open_quote = line;
                for (++i; i < n;) {
                    const char q = static_cast<char>(p[i]);
                    if (o.escaping && q == o.escape_char) {
                        line += i + 1 < n && p[i + 1] == '\n';
                        i += 2;
                    } else if (q == o.quote_char) {
                        if (!(o.double_quote && i + 1 < n && p[i + 1] == o.quote_char)) {
                            if (open_quote != nullptr) *open_quote = 0;
                            break;
                        }
                        i += 2;
                    } else if (past_line_end(i)) {
                        ++line;
                    } else {
                        ++i;
                    }
                }
                ++i;  // the closing quote
                field_start = false;
                continue;
            }
            if (past_line_end(i)) {
                ++line;
                break;
            }
            field_start = c == o.delimiter;
            ++i;
        }
    }
    return line;
}

// The first `size` (at most 12) bytes at `data` into a view's inline part,
// the rest zero, as Arrow wants them. Where 12 bytes can be read, two plain
// loads and a mask do it: a short copy of a size only known here costs a
// call a cell.
inline void inline_view(View& v, const uint8_t* data, uint32_t size, const uint8_t* end) {
    uint64_t lo = 0;
    uint32_t hi = 0;
    if (end - data >= 12) {
        std::memcpy(&lo, data, 8);
        std::memcpy(&hi, data + 8, 4);
        if (size < 8) {
            lo &= size == 0 ? 0 : ~uint64_t{0} >> (64 - 8 * size);
            hi = 0;
        } else if (size < 12) {
            hi &= size == 8 ? 0 : ~uint32_t{0} >> (32 - 8 * (size - 8));
        }
    } else {
        uint8_t bytes[12] = {};
        std::memcpy(bytes, data, size);
        std::memcpy(&lo, bytes, 8);
        std::memcpy(&hi, bytes + 8, 4);
    }
    v.inlined.size = static_cast<int32_t>(size);
    std::memcpy(v.inlined.data.data(), &lo, 8);
    std::memcpy(v.inlined.data.data() + 8, &hi, 4);
}

}  // namespace

struct CsvBatches::State {
    arrow::csv::ParseOptions parse;
    arrow::MemoryPool* pool = nullptr;
    int64_t block_bytes = 0;
    int32_t header_columns = 0;
    std::vector<int32_t> columns;  // of the header, in the batch's order
    std::shared_ptr<arrow::Schema> schema;
    std::shared_ptr<arrow::io::InputStream> stream;
    std::unique_ptr<arrow::Chunker> chunker;         // for blocks without a quote
    std::unique_ptr<arrow::Chunker> quoted_chunker;  // for blocks with one
    std::unique_ptr<WorkAhead<RawBlock>> blocks;

    bool has_header = true;  // the file starts with a header line
    bool header_done = false;
    bool input_done = false;  // every block taken: `rows` is the file's last
    std::shared_ptr<arrow::Buffer> rows;     // whole rows not yet parsed
    std::shared_ptr<arrow::Buffer> partial;  // the start of a row the next block ends
    int64_t first_line = 2;                  // of the file, of the next batch's first row
    int64_t line_end_bytes = 1;              // of the header's line end: 2 for "\r\n"
    bool cut_after_cr = false;               // the rows so far end in "\r"

    arrow::Status next_block(std::shared_ptr<arrow::Buffer>& block);
    arrow::Status skip_header(std::shared_ptr<arrow::Buffer>& data, bool final);
    arrow::Status batch(std::shared_ptr<arrow::RecordBatch>* out);
    // Arrow's "Row #N" in a parse error of `text` (the rows from
    // first_line on) as the line the row starts on.
    arrow::Status on_lines(const arrow::Status& error, std::string_view text) const;
};

arrow::Status CsvBatches::State::on_lines(const arrow::Status& error, std::string_view text) const {
    const std::string& message = error.message();
    const std::string mark = "Row #";
    const std::size_t at = message.find(mark);
    if (at == std::string::npos) return error;
    std::size_t end = at + mark.size();
    int64_t row = 0;
    while (end < message.size() && message[end] >= '0' && message[end] <= '9' && row < (int64_t{1} << 50))
        row = row * 10 + (message[end++] - '0');
    std::vector<int64_t> lines;
    scan_row_lines(reinterpret_cast<const uint8_t*>(text.data()), text.size(), parse, first_line, lines);
    const int64_t k = row - first_line;
    if (end == at + mark.size() || k < 0 || k >= static_cast<int64_t>(lines.size()) || lines[k] == row) return error;
    return arrow::Status(error.code(), message.substr(0, at + mark.size()) + std::to_string(lines[k]) +
                                           message.substr(end));
}

arrow::Status CsvBatches::State::next_block(std::shared_ptr<arrow::Buffer>& block) {
    block.reset();
    RawBlock raw;
    try {
        if (!blocks->next(raw)) return arrow::Status::OK();
    } catch (const std::exception& e) {
        return arrow::Status::IOError(e.what());
    }
    const int64_t carried = partial ? partial->size() : 0;
    if (carried <= kRowStartRoom) {
        uint8_t* start = raw.memory->mutable_data() + kRowStartRoom - carried;
        if (carried > 0) std::memcpy(start, partial->data(), static_cast<std::size_t>(carried));
        block = arrow::SliceBuffer(raw.memory, kRowStartRoom - carried, carried + raw.size);
    } else {  // a row longer than the room: both are copied
        ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> joined, arrow::AllocateBuffer(carried + raw.size, pool));
        std::memcpy(joined->mutable_data(), partial->data(), static_cast<std::size_t>(carried));
        std::memcpy(joined->mutable_data() + carried, raw.memory->data() + kRowStartRoom,
                    static_cast<std::size_t>(raw.size));
        block = std::move(joined);
    }
    partial.reset();
    return arrow::Status::OK();
}

arrow::Status CsvBatches::State::skip_header(std::shared_ptr<arrow::Buffer>& data, bool final) {
    if (data->size() >= 3 && std::memcmp(data->data(), "\xEF\xBB\xBF", 3) == 0)
        data = arrow::SliceBuffer(data, 3);
    if (!has_header) {
        // The rows start at line 1; their line ends are told by the first.
        const auto* bytes = data->data();
        const auto* newline = static_cast<const uint8_t*>(std::memchr(bytes, '\n', static_cast<std::size_t>(data->size())));
        line_end_bytes = newline != nullptr && newline > bytes && newline[-1] == '\r' ? 2 : 1;
        first_line = 1;
        header_done = true;
        return arrow::Status::OK();
    }
    // Told the columns, the parser answers no rows, not an error, for a
    // header whose line end is in the next block.
    arrow::csv::BlockParser header(pool, parse, header_columns, -1, 1);
    uint32_t used = 0;
    const std::string_view text(reinterpret_cast<const char*>(data->data()), static_cast<std::size_t>(data->size()));
    ARROW_RETURN_NOT_OK(final ? header.ParseFinal(text, &used) : header.Parse(text, &used));
    if (header.num_rows() == 0 && !final) return arrow::Status::OK();  // the header line goes on in the next block
    std::vector<int64_t> header_line;  // after any blank lines
    first_line = scan_row_lines(data->data(), used, parse, 1, header_line);
    line_end_bytes = used >= 2 && data->data()[used - 1] == '\n' && data->data()[used - 2] == '\r' ? 2 : 1;
    data = arrow::SliceBuffer(data, used);
    header_done = true;
    return arrow::Status::OK();
}

arrow::Status CsvBatches::State::batch(std::shared_ptr<arrow::RecordBatch>* out) {
    const bool final = input_done;
    auto parser = std::make_shared<arrow::csv::BlockParser>(pool, parse, header_columns, first_line);
    uint32_t used = 0;
    const std::string_view text(reinterpret_cast<const char*>(rows->data()), static_cast<std::size_t>(rows->size()));
    const arrow::Status parsed = final ? parser->ParseFinal(text, &used) : parser->Parse(text, &used);
    if (!parsed.ok()) return on_lines(parsed, text);
    if (final && parse.quoting && std::memchr(text.data(), parse.quote_char, text.size()) != nullptr) {
        // The end of the file closes a quoted field still open, the rows
        // after its quote and all: a quote lost its closing one.
        std::vector<int64_t> row_lines;
        int64_t open_quote = 0;
        scan_row_lines(reinterpret_cast<const uint8_t*>(text.data()), text.size(), parse, first_line, row_lines,
                       &open_quote);
        if (open_quote != 0)
            return arrow::Status::Invalid("CSV parse error: Row #", open_quote,
                                          ": a quote without its closing quote, which would take the rest of the "
                                          "file as one field");
    }
    if (used == 0 && parser->total_num_rows() == 0)
        return arrow::Status::Invalid("CSV parse error: Row #", first_line,
                                      ": a row that cannot be read (a quote without its closing quote?)");
    const int32_t n = parser->num_rows();

    // Row i is line first_line + i unless blank lines or line ends in
    // quoted fields come between: then the lines are found row by row.
    // Rows without quotes between line ends like the header's take as many
    // bytes as their cells, delimiters and line ends: that says so without
    // a look at the text. Not with "\r\n" line ends: a row ending in "\n"
    // alone is a byte shorter, and a blank line's byte would then make up
    // for it.
    CsvRowLines lines{first_line, {}};
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const int64_t plain = int64_t{parser->num_bytes()} + int64_t{n} * (header_columns - 1 + line_end_bytes);
    const bool ends_newline = used > 0 && bytes[used - 1] == '\n';
    const bool ends_cr = used > 0 && bytes[used - 1] == '\r';
    if (n > 0 && line_end_bytes == 1 && (used == plain || (!ends_newline && !ends_cr && used == plain - 1))) {
        first_line += n;
    } else if (const int64_t newlines = count_newlines(bytes, used);
               n > 0 && !ends_cr && newlines == n - (ends_newline ? 0 : 1)) {
        first_line += n;
    } else {
        lines.rows.reserve(static_cast<std::size_t>(n));
        first_line = scan_row_lines(bytes, used, parse, first_line, lines.rows);
        if (lines.rows.size() != static_cast<std::size_t>(n)) lines.rows.clear();  // read otherwise: rows as lines
    }
    rows = used < rows->size() ? arrow::SliceBuffer(rows, used) : nullptr;
    if (n == 0) return arrow::Status::OK();

    // The parsed text: every cell's bytes back to back, the first row's
    // first cell at its start.
    const uint8_t* base = nullptr;
    (void)parser->VisitColumn(0, [&](const uint8_t* data, uint32_t, bool) {
        base = data;
        return arrow::Status::Cancelled("");
    });
    const uint8_t* end = base + parser->num_bytes();
    auto text_buffer = std::make_shared<ParsedText>(parser, base, parser->num_bytes(), std::move(lines));

    std::vector<std::shared_ptr<arrow::Array>> arrays;
    arrays.reserve(columns.size());
    for (const int32_t c : columns) {
        ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> views_buffer,
                              arrow::AllocateBuffer(int64_t{n} * sizeof(View), pool));
        View* views = reinterpret_cast<View*>(views_buffer->mutable_data());
        int32_t k = 0;
        ARROW_RETURN_NOT_OK(parser->VisitColumn(c, [&](const uint8_t* data, uint32_t size, bool) {
            if (data < base || data + size > end) return arrow::Status::Invalid("CSV cell outside its block's text");
            View& v = views[k++];
            if (size <= static_cast<uint32_t>(arrow::BinaryViewType::kInlineSize)) {
                inline_view(v, data, size, end);
            } else {
                v.ref.size = static_cast<int32_t>(size);
                std::memcpy(v.ref.prefix.data(), data, 4);
                v.ref.buffer_index = 0;
                v.ref.offset = static_cast<int32_t>(data - base);
            }
            return arrow::Status::OK();
        }));
        if (k != n) return arrow::Status::Invalid("CSV column of ", k, " cells in a block of ", n, " rows");
        auto data = arrow::ArrayData::Make(arrow::utf8_view(), n, {nullptr, std::move(views_buffer), text_buffer}, 0);
        arrays.push_back(arrow::MakeArray(std::move(data)));
    }
    *out = arrow::RecordBatch::Make(schema, n, std::move(arrays));
    return arrow::Status::OK();
}

const CsvRowLines* csv_row_lines(const arrow::RecordBatch& batch) {
    if (batch.num_columns() == 0) return nullptr;
    const auto& buffers = batch.column_data(0)->buffers;
    if (buffers.size() < 3) return nullptr;
    const auto* text = dynamic_cast<const ParsedText*>(buffers[2].get());
    return text != nullptr ? &text->lines : nullptr;
}

CsvBatches::CsvBatches(std::unique_ptr<State> state) : state_(std::move(state)) {}

CsvBatches::~CsvBatches() = default;

arrow::Result<std::shared_ptr<CsvBatches>> CsvBatches::Make(std::shared_ptr<arrow::io::InputStream> stream,
                                                           const arrow::csv::ParseOptions& parse,
                                                           const std::vector<std::string>& header,
                                                           const std::vector<std::string>& wanted,
                                                           int64_t block_bytes, arrow::MemoryPool* pool,
                                                           bool header_line) {
    auto state = std::make_unique<State>();
    state->has_header = header_line;
    state->parse = parse;
    state->pool = pool;
    state->block_bytes = block_bytes;
    state->header_columns = static_cast<int32_t>(header.size());
    arrow::FieldVector fields;
    for (const std::string& name : wanted) {
        int32_t at = -1;
        for (std::size_t c = 0; c < header.size() && at < 0; ++c)
            if (header[c] == name) at = static_cast<int32_t>(c);
        if (at < 0) return arrow::Status::KeyError("no column '", name, "' in the CSV header");
        state->columns.push_back(at);
        fields.push_back(arrow::field(name, arrow::utf8_view(), false));
    }
    state->schema = arrow::schema(std::move(fields));
    state->stream = std::move(stream);
    // Blocks are cut at a row's end, which a line end inside a quoted field
    // is not: a block that holds a quote goes to a chunker that follows the
    // quotes, one without any to the one that looks for the last line end.
    state->chunker = arrow::csv::MakeChunker(parse);
    arrow::csv::ParseOptions quoted = parse;
    quoted.newlines_in_values = true;
    state->quoted_chunker = arrow::csv::MakeChunker(quoted);
    arrow::io::InputStream* stream_read = state->stream.get();
    state->blocks = std::make_unique<WorkAhead<RawBlock>>(
        [stream_read, block_bytes, pool](RawBlock& block) {
            auto memory = arrow::AllocateBuffer(kRowStartRoom + block_bytes, pool);
            throw_if_out_of_memory(memory.status());
            if (!memory.ok()) throw std::runtime_error(memory.status().message());
            block.memory = std::move(memory).ValueUnsafe();
            auto read = stream_read->Read(block_bytes, block.memory->mutable_data() + kRowStartRoom);
            throw_if_out_of_memory(read.status());
            if (!read.ok()) throw std::runtime_error(read.status().message());
            block.size = *read;
            return block.size > 0;
        },
        [](std::size_t, RawBlock&) {}, 1, kBlocksAhead);
    return std::shared_ptr<CsvBatches>(new CsvBatches(std::move(state)));
}

std::shared_ptr<arrow::Schema> CsvBatches::schema() const { return state_->schema; }

arrow::Status CsvBatches::ReadNext(std::shared_ptr<arrow::RecordBatch>* out) {
    State& s = *state_;
    out->reset();
    for (;;) {
        if (s.rows) {
            ARROW_RETURN_NOT_OK(s.batch(out));
            if (*out) return arrow::Status::OK();
            continue;
        }
        if (s.input_done) return arrow::Status::OK();
        std::shared_ptr<arrow::Buffer> block;
        ARROW_RETURN_NOT_OK(s.next_block(block));
        if (!block) {  // the end: what is left is the last row, maybe without a line end
            s.input_done = true;
            if (s.partial && s.partial->size() > 0 && !s.header_done) ARROW_RETURN_NOT_OK(s.skip_header(s.partial, true));
            if (s.partial && s.partial->size() > 0) s.rows = std::move(s.partial);
            s.partial.reset();
            continue;
        }
        if (!s.header_done) {
            ARROW_RETURN_NOT_OK(s.skip_header(block, false));
            if (!s.header_done) {
                s.partial = std::move(block);
                continue;
            }
        }
        // A row cut after the "\r" of its "\r\n" has its line end already:
        // the "\n" left over would read as a blank line, one line too many.
        if (s.cut_after_cr && block->size() > 0 && block->data()[0] == '\n') block = arrow::SliceBuffer(block, 1);
        std::shared_ptr<arrow::Buffer> whole;
        // Every block starts at a row's start (the partial row before it
        // leads it), so one without a quote has no line end inside a field.
        const bool has_quote = s.parse.quoting && std::memchr(block->data(), s.parse.quote_char,
                                                              static_cast<std::size_t>(block->size())) != nullptr;
        ARROW_RETURN_NOT_OK((has_quote ? s.quoted_chunker : s.chunker)->Process(block, &whole, &s.partial));
        // A row is at most a block long, as in Arrow's reader: a file
        // without line ends is not read whole into memory.
        if (s.partial && s.partial->size() > s.block_bytes)
            return arrow::Status::Invalid("CSV parse error: Row #", s.first_line, " or after: a row runs past ",
                                          s.block_bytes >> 20,
                                          " MB without a line end (is it a CSV file, or has a quote lost its "
                                          "closing quote?)");
        if (whole->size() > 0) {
            s.cut_after_cr = whole->data()[whole->size() - 1] == '\r';
            s.rows = std::move(whole);
        }
    }
}

arrow::Status CsvBatches::Close() {
    state_->blocks.reset();
    return state_->stream->Close();
}

}  // namespace tarvik::import
