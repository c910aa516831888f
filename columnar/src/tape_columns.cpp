#include "tape_columns.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "engine/dates.h"
#include "kind_batches.h"
#include "row_handoff.h"
#include "engine/run.h"
#include "engine/state_snapshot.h"
#include "engine/tape_reader.h"
#include "tarvik/c_text.h"
#include "tarvik/constants.h"

namespace tarvik::columnar {
namespace {

constexpr std::size_t kQueuedBatches = 2;
constexpr int64_t kMicrosPerDay = static_cast<int64_t>(engine::kMicrosPerDay);

struct CodeText {
    int32_t code;
    const char* name;
    const char* text;
};
constexpr CodeText kCodeTexts[] = {
    {TqAPIERR_USER_STOPPED, "TqAPIERR_USER_STOPPED", "the replay was stopped"},
    {TqAPIERR_BAD_PARAMETERS, "TqAPIERR_BAD_PARAMETERS", "bad parameters"},
    {TqAPIERR_EXCEPTION, "TqAPIERR_EXCEPTION",
     "a damaged event block: the tape is cut short (or still being written), or corrupt"},
    {TqAPIERR_OPEN_TAPE_FILE_FAILED, "TqAPIERR_OPEN_TAPE_FILE_FAILED",
     "the tape cannot be opened: missing, unreadable or not a tape"},
    {TqAPIERR_INITIALIZE_MEMORY_FAILED, "TqAPIERR_INITIALIZE_MEMORY_FAILED", "the state snapshot does not fit its tape"},
    {TqAPIERR_NOT_SUPPORTED, "TqAPIERR_NOT_SUPPORTED", "General error: the tape's tables are damaged"},
    {TqAPIERR_UNSUPPORTED_API, "TqAPIERR_UNSUPPORTED_API", "a tape of a newer format"},
    {TqAPIERR_INITALLOC_ERROR, "TqAPIERR_INITALLOC_ERROR", "out of memory"},
};

// Why a tape the replay could not open cannot be opened, asked again now:
// " (Too many open files)", or nothing when it opens (it is no tape).
std::string open_failure(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return "";
    }
    return std::string(" (") + std::strerror(errno) + ")";
}

// Whether rows are filled on a thread of their own (row_handoff.h). A
// packed tape's blocks are inflated on a second thread already. On a
// machine of two cores a third thread pays for the rows' copies only where
// the replay is by far the busiest of the three: when quotes are read,
// whose NBBO the engine works out at every quote (such reads measured 8 to
// 15% faster). Trades alone are filled faster on the replay's own thread.
// TARVIK_INFLATE_AHEAD=0 asks for one thread per replay (every core
// replays a day of its own).
bool fill_on_a_thread(bool packed, bool quotes) {
    const char* text = std::getenv("TARVIK_INFLATE_AHEAD");
    if (text != nullptr && std::strcmp(text, "0") == 0) return false;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores >= 3 || (cores == 2 && (!packed || quotes));
}

}  // namespace

std::string result_code_text(int32_t code) {
    for (const CodeText& c : kCodeTexts)
        if (c.code == code) return std::string(c.name) + " (" + std::to_string(code) + "): " + c.text;
    return "result code " + std::to_string(code);
}

int32_t failure_code(const std::exception& e) {
    return resource_failure(e) == ResourceFailure::Memory ? TqAPIERR_INITALLOC_ERROR : TqAPIERR_EXCEPTION;
}

// Everything the replay thread touches; the reader meets it only through
// the queue under the mutex.
struct TapeColumns::Replay {
    ColumnarOptions options;
    std::shared_ptr<arrow::DataType> time_type;
    TextDictionary symbols;
    std::unique_ptr<KindBatch> batches[kTapeKindCount];
    std::unordered_set<std::string> wanted_texts;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<TapeKind, std::shared_ptr<arrow::RecordBatch>>> queue;
    bool stop = false;  // the reader is gone
    std::atomic<bool> abandoned{false};  // the same, for the run to see between blocks
    bool done = false;  // the replay ended
    int32_t result = 0;
    std::string failure;  // an exception on the replay thread, in words
    int32_t failure_code = TqAPIERR_EXCEPTION;  // and its result code

    void fail(const std::exception& e) {
        failure = failure_text(e);
        failure_code = columnar::failure_code(e);
    }

    bool packed = false;            // the tape's blocks are packed
    RowHandoff* handoff = nullptr;  // during run()

    static thread_local Replay* current;

    void run();
    static int32_t on_message(TarvikSystemRecord* system, TarvikMessageRecord* message);
    int32_t take(const TarvikMessageRecord& m);
    // On the filling thread: a chunk's rows into their batches; false when
    // the reader is gone.
    bool fill(RowChunk& chunk);
    // A row into its kind's batch, handed over when full; false when the
    // reader is gone.
    bool append(int kind, int64_t time, TqStringRecord* symbol, uint16_t listed, uint16_t reporting,
                const TarvikMessageBody& body, const TradeFraction& fraction);
    bool in_window(int64_t epoch, int64_t local, int64_t of_day) const;
    bool passes(const TimeBound& b, int64_t epoch, int64_t local, int64_t of_day, bool start) const;
    // Hands a batch to the reader, waiting while the queue is full; false
    // when the reader is gone.
    bool hand_over(TapeKind kind, std::shared_ptr<arrow::RecordBatch> batch);
};

thread_local TapeColumns::Replay* TapeColumns::Replay::current = nullptr;

bool TapeColumns::Replay::passes(const TimeBound& b, int64_t epoch, int64_t local, int64_t of_day, bool start) const {
    int64_t v;
    switch (b.type) {
        case TimeBound::Type::None: return true;
        case TimeBound::Type::Epoch: v = epoch; break;
        case TimeBound::Type::Local: v = local; break;
        default: v = of_day; break;
    }
    return start ? v >= b.micros : v < b.micros;
}

bool TapeColumns::Replay::in_window(int64_t epoch, int64_t local, int64_t of_day) const {
    return passes(options.start, epoch, local, of_day, true) && passes(options.end, epoch, local, of_day, false);
}

bool TapeColumns::Replay::hand_over(TapeKind kind, std::shared_ptr<arrow::RecordBatch> batch) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return stop || queue.size() < kQueuedBatches; });
    if (stop) return false;
    queue.emplace_back(kind, std::move(batch));
    changed.notify_all();
    return true;
}

int32_t TapeColumns::Replay::take(const TarvikMessageRecord& m) {
    int kind;
    switch (m.MessageType) {
        case TqMSG_TRADE: kind = static_cast<int>(TapeKind::Trades); break;
        case TqMSG_EXGQUOTE: kind = static_cast<int>(TapeKind::Quotes); break;
        case TqMSG_MMQUOTE: kind = static_cast<int>(TapeKind::MMQuotes); break;
        case TqMSG_SYMBOLCHANGE: kind = static_cast<int>(TapeKind::SymbolChanges); break;
        case TqMSG_CATEGORY: kind = static_cast<int>(TapeKind::Categories); break;
        default: return TqCALLBACKRETURN_CONTINUE;
    }
    if (!batches[kind]) return TqCALLBACKRETURN_CONTINUE;
    const TarvikHeaderRecord& h = m.coreHeader;
    // The run itself leaves out the symbols not wanted (run()); what it
    // delivers without a symbol is not any wanted symbol's either.
    if (options.symbol_filter && h.ptqStringSymbol == nullptr) return TqCALLBACKRETURN_CONTINUE;
    // The event's time: the clock's millisecond, refined by the microsecond
    // of the extension where that falls within it (an extension of another
    // writer may leave it 0, or hold another time), on the session day, at
    // the tape's offset to GMT.
    int64_t of_day = int64_t{h.tqExgTimestamp.MsOfDay} * 1000;
    if (m.ptarvik3Ext != nullptr) {
        const uint64_t micros = m.ptarvik3Ext->MicrosOfDaySRC;
        if (micros / 1000 == h.tqExgTimestamp.MsOfDay) of_day = static_cast<int64_t>(micros);
    }
    const int64_t local =
        (static_cast<int64_t>(h.tqSessionDate.NDays) - engine::kUnixEpochNDays) * kMicrosPerDay + of_day;
    const int64_t epoch = local - int64_t{h.tqExgTimestamp.TimeZone} * 3'600'000'000;
    if (!in_window(epoch, local, of_day)) return TqCALLBACKRETURN_CONTINUE;
    TradeFraction fraction = TradeFraction::none();
    if (options.fractional_sizes && m.ptarvik3Ext != nullptr && kind == static_cast<int>(TapeKind::Trades))
        fraction = {m.ptarvik3Ext->FractionalSize, m.ptarvik3Ext->FractionalTotalVolume};
    if (!handoff->threaded()) {
        return append(kind, epoch, h.ptqStringSymbol, h.ListedExg, h.ReportingExg, m.coreData, fraction)
                   ? TqCALLBACKRETURN_CONTINUE
                   : TqCALLBACKRETURN_STOP;
    }
    StagedRow row;
    row.time = epoch;
    row.symbol = h.ptqStringSymbol;
    row.listed_exchange = h.ListedExg;
    row.reporting_exchange = h.ReportingExg;
    row.kind = static_cast<uint8_t>(kind);
    row.body = m.coreData;
    row.fraction = fraction;
    if (m.MessageType == TqMSG_CATEGORY) {
        // The run writes the next category's fields over these.
        std::vector<TqCategoryFieldRecord>& fields = handoff->fields();
        const TarvikCategoryBody& c = m.coreData.Category;
        if (c.ptqFields != nullptr) fields.insert(fields.end(), c.ptqFields, c.ptqFields + c.NFields);
    }
    handoff->put(row);
    return handoff->commit() ? TqCALLBACKRETURN_CONTINUE : TqCALLBACKRETURN_STOP;
}

bool TapeColumns::Replay::fill(RowChunk& chunk) {
    std::size_t next_field = 0;  // the categories' fields follow one another in the chunk's
    for (uint32_t i = 0; i < chunk.count; ++i) {
        StagedRow& row = chunk.rows[i];
        if (row.kind == static_cast<uint8_t>(TapeKind::Categories) && row.body.Category.ptqFields != nullptr) {
            row.body.Category.ptqFields = chunk.fields.data() + next_field;
            next_field += row.body.Category.NFields;
        }
        if (!append(row.kind, row.time, row.symbol, row.listed_exchange, row.reporting_exchange, row.body,
                    row.fraction))
            return false;
    }
    return true;
}

bool TapeColumns::Replay::append(int kind, int64_t time, TqStringRecord* symbol, uint16_t listed,
                                 uint16_t reporting, const TarvikMessageBody& body, const TradeFraction& fraction) {
    KindBatch* batch = batches[kind].get();
    const int32_t index = symbol != nullptr ? symbols.index_of(symbol) : -1;
    batch->append(MessageRow{time, index, listed, reporting, &body, fraction});
    return batch->rows() < options.batch_rows || hand_over(static_cast<TapeKind>(kind), batch->finish());
}

int32_t TapeColumns::Replay::on_message(TarvikSystemRecord*, TarvikMessageRecord* message) {
    Replay* self = current;
    try {
        return self->take(*message);
    } catch (const std::exception& e) {
        self->fail(e);
        return TqCALLBACKRETURN_STOP;
    }
}

void TapeColumns::Replay::run() {
    current = this;
    // Kinds not asked for are left out by the engine itself where it can.
    int32_t flags = 0;
    if (!options.kinds[static_cast<int>(TapeKind::Quotes)]) flags |= TqCF_EXCLUDE_QUOTES;
    if (!options.kinds[static_cast<int>(TapeKind::MMQuotes)]) flags |= TqCF_EXCLUDE_QUOTES2;
    int32_t code = 0;
    try {
        engine::Run run(flags, 0, &Replay::on_message);
        run.stop_when(&abandoned);
        // Nothing but this reader sees the run's state, so the kinds and
        // symbols it does not read need not be applied to it at all: a
        // trade's columns take nothing from the quotes, a quote's nothing
        // from the trades, and every symbol's state is its own.
        if (!options.kinds[static_cast<int>(TapeKind::Trades)]) run.leave_out_kind(TqMSG_TRADE);
        if (!options.kinds[static_cast<int>(TapeKind::SymbolChanges)]) run.leave_out_kind(TqMSG_SYMBOLCHANGE);
        if (!options.kinds[static_cast<int>(TapeKind::Categories)]) run.leave_out_kind(TqMSG_CATEGORY);
        if (options.symbol_filter) {
            run.keep_only_symbols([this](const std::string& text) { return wanted_texts.count(text) != 0; });
        }
        RowHandoff rows([this](RowChunk& chunk) { return fill(chunk); }, fill_on_a_thread(packed, options.kinds[static_cast<int>(TapeKind::Quotes)]));
        handoff = &rows;
        code = run.process_file(options.path.c_str());
        rows.finish();
        handoff = nullptr;
        if (rows.failure()) std::rethrow_exception(rows.failure());
        // A damaged tape ends the run at the damage: the rows read before it
        // are handed over first, and the reader's next call reports it.
        if (failure.empty()) {
            for (int k = 0; k < kTapeKindCount; ++k)
                if (batches[k] && batches[k]->rows() > 0 && !hand_over(static_cast<TapeKind>(k), batches[k]->finish()))
                    break;
        }
    } catch (const std::exception& e) {
        handoff = nullptr;
        fail(e);
    }
    current = nullptr;
    std::lock_guard lock(mutex);
    result = code;
    done = true;
    changed.notify_all();
}

bool check_tape_file(const ColumnarOptions& options) {
    if (options.path.empty()) throw ColumnarUsageError("no tape given");
    // A pipe is not waited on: the replay refuses anything but a file.
    unsigned char start[sizeof(engine::TapePreamble)] = {};
    std::size_t got = 0;
    bool file = false;
    if (const int fd = ::open(options.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
        struct stat st;
        file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        const ssize_t read = file ? ::pread(fd, start, sizeof start, 0) : 0;
        got = read > 0 ? static_cast<std::size_t>(read) : 0;
        ::close(fd);
    }
    if (!file) return false;
    // A state snapshot would restore the records' user-data words, which
    // the reader keeps its own indexes in.
    if (got >= sizeof engine::kSnapshotMagic && std::memcmp(start, engine::kSnapshotMagic, 8) == 0)
        throw ColumnarUsageError(options.path + ": a state snapshot, not a tape");
    engine::TapePreamble preamble;
    std::memcpy(&preamble, start, sizeof preamble);
    return got == sizeof start && preamble.format_version >= engine::kPackedTapeFormatVersion;
}

TapeColumns::TapeColumns(ColumnarOptions options) : replay_(std::make_unique<Replay>()) {
    Replay& r = *replay_;
    r.options = std::move(options);
    r.packed = check_tape_file(r.options);
    std::string zone = r.options.time_zone;
    if (zone.empty()) {
        // The tape's own offset to GMT; a tape that cannot be read fails in
        // the replay, with the engine's result code.
        engine::TapeHeader header;
        // An offset no zone has (a damaged header) labels the instants UTC:
        // they are the same instants, and a label past 23 hours is one no
        // reader of the table takes.
        if (engine::read_tape_header(r.options.path.c_str(), header) == 0 && header.time_zone != 0 &&
            header.time_zone >= -23 && header.time_zone <= 23) {
            char text[8];
            std::snprintf(text, sizeof text, "%c%02d:00", header.time_zone < 0 ? '-' : '+',
                          header.time_zone < 0 ? -header.time_zone : header.time_zone);
            zone = text;
        } else {
            zone = "UTC";
        }
    }
    r.time_type = arrow::timestamp(arrow::TimeUnit::MICRO, zone);
    for (int k = 0; k < kTapeKindCount; ++k)
        if (r.options.kinds[k]) r.batches[k] = KindBatch::make(static_cast<TapeKind>(k), r.options, r.time_type, r.symbols);
    for (const std::string& s : r.options.symbols) r.wanted_texts.insert(s);
    thread_ = std::thread([this] { replay_->run(); });
}

TapeColumns::~TapeColumns() {
    {
        std::lock_guard lock(replay_->mutex);
        replay_->stop = true;
        replay_->abandoned.store(true, std::memory_order_relaxed);
        replay_->changed.notify_all();
    }
    thread_.join();
}

std::shared_ptr<arrow::Schema> TapeColumns::schema(TapeKind kind) const {
    const auto& batch = replay_->batches[static_cast<int>(kind)];
    if (batch) return batch->schema();
    TextDictionary scratch;
    return KindBatch::make(kind, replay_->options, replay_->time_type, scratch)->schema();
}

TapeColumns::Next TapeColumns::next(TapeKind& kind, std::shared_ptr<arrow::RecordBatch>& batch,
                                     std::chrono::milliseconds wait) {
    Replay& r = *replay_;
    std::unique_lock lock(r.mutex);
    if (!r.changed.wait_for(lock, wait, [&r] { return !r.queue.empty() || r.done; })) return Next::NotYet;
    if (!r.queue.empty()) {
        kind = r.queue.front().first;
        batch = std::move(r.queue.front().second);
        r.queue.pop_front();
        r.changed.notify_all();
        return Next::Batch;
    }
    if (!r.failure.empty()) throw TapeReadError(r.failure_code, r.failure);
    if (r.result < 0)
        throw TapeReadError(r.result, r.options.path + ": " + result_code_text(r.result) +
                                          (r.result == TqAPIERR_OPEN_TAPE_FILE_FAILED ? open_failure(r.options.path) : ""));
    return Next::End;
}

}  // namespace tarvik::columnar
