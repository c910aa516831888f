// A tape read as record batches, one kind of message per batch. The day
// is replayed by the engine in a run of its own, on a thread of its own, so
// it never meets a ProcessTape on another thread; batches pass to the
// reader through a short queue, so memory holds a few batches, not the day.
#pragma once

#include <arrow/api.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "columnar_options.h"

namespace tarvik::columnar {

// A replay that failed: the engine's result code and its text.
class TapeReadError : public std::runtime_error {
public:
    TapeReadError(int32_t code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int32_t code() const { return code_; }

private:
    int32_t code_;
};

// The text of an engine result code ("TqAPIERR_EXCEPTION (-3): a damaged event block").
std::string result_code_text(int32_t code);

// The result code of an exception that ended a read: TqAPIERR_INITALLOC_ERROR
// for memory that could not be had, else TqAPIERR_EXCEPTION.
int32_t failure_code(const std::exception& e);

// Whether `options` name a file a replay may start on (checked before it
// starts): throws ColumnarUsageError for no tape or a state snapshot, and
// answers whether the tape is packed. A path that is no file, or a tape
// that cannot be read, fails in the replay, with the engine's result code.
bool check_tape_file(const ColumnarOptions& options);

class TapeColumns {
public:
    // Starts the replay. Throws ColumnarUsageError for bad options.
    explicit TapeColumns(ColumnarOptions options);
    ~TapeColumns();  // stops the replay
    TapeColumns(const TapeColumns&) = delete;
    TapeColumns& operator=(const TapeColumns&) = delete;

    // The schema of a kind's batches.
    std::shared_ptr<arrow::Schema> schema(TapeKind kind) const;
    // The next batch, in the order the batches fill, waited for at most
    // `wait` (so that a caller can see to its signals meanwhile); End at
    // the end of the day. Throws TapeReadError when the replay failed
    // (after the batches made before the failure).
    enum class Next { Batch, End, NotYet };
    Next next(TapeKind& kind, std::shared_ptr<arrow::RecordBatch>& batch, std::chrono::milliseconds wait);

    struct Replay;  // the replay thread's side

private:
    std::unique_ptr<Replay> replay_;
    std::thread thread_;
};

}  // namespace tarvik::columnar
