// An event on its way into a tape: the tape's own event and extension,
// with what orders it among the events of every input.
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/tape_format.h"

namespace tarvik::import {

struct StagedEvent {
    int64_t epoch_micros;  // the instant
    uint64_t seq;          // the row within its input
    uint32_t rank;         // the input's place in the tie rule
    uint32_t ndays;        // the local day: which tape
    engine::TapeEvent event;
    engine::TapeExt ext;
};
static_assert(std::is_trivially_copyable_v<StagedEvent>);

// Time first; at equal times the inputs in rank order (changes, quotes,
// market-maker quotes, trades, each kind's inputs as given), then each
// input's own order.
inline bool staged_before(const StagedEvent& a, const StagedEvent& b) {
    if (a.epoch_micros != b.epoch_micros) return a.epoch_micros < b.epoch_micros;
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.seq < b.seq;
}

}  // namespace tarvik::import
