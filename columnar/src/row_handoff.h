// Rows passed from the replay to a thread of their own that fills the
// batches. Filling a row's columns (and having the kernel clear the
// columns' fresh pages) costs about half as much again as the engine's
// replay of its message. So the replay copies each message it keeps into
// a chunk of rows, and the filling thread takes whole chunks: 16,384 rows
// per hand-over, so the threads meet some hundred times a second, not
// once per row.
//
// The copies hold what the batches read of a message and nothing the
// run's next message changes; pointers in them (symbols, market makers,
// category names and fields) are to the run's records, which live until
// the run ends, after finish(). Without a thread the replay fills its
// rows itself, straight from the run's records.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tarvik/library.h"
#include "trade_fraction.h"

namespace tarvik::columnar {

struct alignas(64) StagedRow {  // two cache lines, streamed whole
    int64_t time;                  // microseconds since the Unix epoch
    TqStringRecord* symbol;        // null for none
    uint16_t listed_exchange;
    uint16_t reporting_exchange;
    uint8_t kind;                  // TapeKind
    TradeFraction fraction;        // a trade's, from its extension
    TarvikMessageBody body;        // a category's field pointer is set by the filler: its
                                   // fields follow the chunk's earlier categories' fields
};
static_assert(sizeof(StagedRow) == 128);

struct RowChunk {
    static constexpr uint32_t kRows = 16384;  // 2 MB: fewer meetings measured faster than chunks that stay in L2
    std::array<StagedRow, kRows> rows;
    uint32_t count = 0;
    std::vector<TqCategoryFieldRecord> fields;  // the categories' fields, copied

    void clear() {
        count = 0;
        fields.clear();
    }
};

class RowHandoff {
public:
    // `fill` takes a chunk's rows on a thread of its own, if `threaded` and
    // one can be started; false, or an exception, stops the replay.
    RowHandoff(std::function<bool(RowChunk&)> fill, bool threaded);
    // Whether rows are handed over; if not, put() and commit() are not to
    // be used.
    bool threaded() const { return current_ != nullptr; }
    ~RowHandoff();  // finish() if not yet
    RowHandoff(const RowHandoff&) = delete;
    RowHandoff& operator=(const RowHandoff&) = delete;

    // The replay's side: put() the next row, then commit(); false when the
    // replay is to stop. A chunk is 2 MB: by the time the filling thread
    // reads a row it has left the cache, so the row is streamed to memory
    // without reading its cache lines first (which cost a fifth of a quote
    // read's time); hand_over() fences the stores before the chunk is seen.
    void put(const StagedRow& row) {
        StagedRow& to = current_->rows[current_->count];
#if defined(__SSE2__)
        static_assert(sizeof(StagedRow) % 16 == 0);
        auto* lines = reinterpret_cast<__m128i*>(&to);
        const auto* from = reinterpret_cast<const __m128i*>(&row);
        for (std::size_t i = 0; i < sizeof(StagedRow) / 16; ++i) _mm_stream_si128(lines + i, _mm_load_si128(from + i));
#else
        to = row;
#endif
    }
    std::vector<TqCategoryFieldRecord>& fields() { return current_->fields; }
    bool commit() { return ++current_->count < RowChunk::kRows || hand_over(); }

    // Fills what is left and ends the filling thread. After it, the fill
    // function is never called again.
    void finish();
    // What stopped the filling, an exception; null for none.
    std::exception_ptr failure() const { return failure_; }

private:
    bool hand_over();
    bool fill_now(RowChunk& chunk);  // on the filling thread
    void work();

    std::function<bool(RowChunk&)> fill_;
    std::vector<std::unique_ptr<RowChunk>> chunks_;
    RowChunk* current_ = nullptr;
    std::unique_ptr<RowChunk> scratch_;  // written after a stop, never filled
    std::mutex mutex_;
    std::condition_variable filled_;   // a chunk is waiting, or the replay ended
    std::condition_variable emptied_;  // a chunk is free again
    std::deque<RowChunk*> waiting_;
    std::vector<RowChunk*> free_;
    bool ended_ = false;  // the replay hands over no more
    std::atomic<bool> stopped_{false};
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace tarvik::columnar
