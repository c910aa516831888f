// A deterministic synthetic trading day: symbols on a few listed
// exchanges, option chains, and a stream of quotes, market-maker quotes,
// trades and categories shaped like a real day (docs/tape-tool.md).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/tape_format.h"
#include "engine/tape_writer.h"

namespace tarvik::tool {

struct SynthOptions {
    uint32_t symbols = 300;
    uint32_t options_per_symbol = 20;  // contracts per chain (calls and puts)
    uint64_t messages = 3'000'000;
    uint64_t seed = 1;
    uint32_t date_ndays = 51'207;  // 2023-03-15
    // Relative weights of exchange quotes, market-maker quotes, trades and
    // categories.
    uint32_t mix[4] = {80, 5, 14, 1};
    // Messages a second for a live tape (0: as fast as it can be written);
    // blocks then end at least 20 times a second.
    uint64_t rate = 0;
};

// Writes the day into an opened writer: the tables first, then the events;
// `progress`, when given, hears the messages written every 65,536.
engine::TapeTables synth_tables(const SynthOptions& options);
void synth_events(const SynthOptions& options, const engine::TapeTables& tables, engine::TapeWriter& writer,
                  const std::function<void(uint64_t written)>& progress = {});

}  // namespace tarvik::tool
