// Replay speed of the engine: a synthetic day of ten million messages into
// a C++ callback that does nothing, from memory, with and without the CRC
// checks, from a plain tape and from a packed one (zstd, read ahead on a
// second thread). Prints messages per second (of the replay's own thread's
// CPU time; the wall time is the fair measure for a packed tape, and
// bench/packed_tapes_bench.py prints it against the plain one).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/engine_constants.h"
#include "engine/crc32.h"
#include "engine/tape_reader.h"
#include "engine/run.h"
#include "synth.h"
#include "engine/tape_writer.h"

namespace {

using namespace tarvik;

constexpr uint64_t kMessages = 10'000'000;

// A synthetic day, made once per shape: 300 symbols with option chains of
// 20 contracts, or (small) 20 symbols without options.
std::vector<uint64_t> make_day(bool small, bool packed, std::size_t& bytes) {
        tool::SynthOptions o;
        o.messages = kMessages;
        if (small) {
            o.symbols = 20;
            o.options_per_symbol = 0;
        }
        const engine::TapeTables tables = tool::synth_tables(o);
        engine::TapeWriter writer(packed ? engine::TapeEncoding::Packed : engine::TapeEncoding::Plain);
        writer.open_memory(tables);
        tool::synth_events(o, tables, writer);
        std::string error;
        writer.finish(error);
        bytes = writer.memory().size();
        std::vector<uint64_t> aligned((bytes + 7) / 8);
        std::memcpy(aligned.data(), writer.memory().data(), bytes);
        return aligned;
}

const std::vector<uint64_t>& day(std::size_t& size, bool small = false, bool packed = false) {
    static std::size_t bytes[2][2] = {};
    static std::vector<uint64_t> tapes[2][2];
    if (tapes[small][packed].empty()) tapes[small][packed] = make_day(small, packed, bytes[small][packed]);
    size = bytes[small][packed];
    return tapes[small][packed];
}

thread_local uint64_t t_delivered = 0;
int32_t count_message(TarvikSystemRecord*, TarvikMessageRecord*) {
    ++t_delivered;
    return 0;
}

void replay(benchmark::State& state, int32_t flags, bool small = false, bool packed = false) {
    std::size_t size = 0;
    const std::vector<uint64_t>& tape = day(size, small, packed);
    uint64_t total = 0;
    for (auto _ : state) {
        t_delivered = 0;
        engine::Run run(flags, 0, count_message);
        const int32_t result = run.process_memory(reinterpret_cast<const unsigned char*>(tape.data()), size);
        if (result != 0) state.SkipWithError("replay failed");
        total += t_delivered;
    }
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
    state.counters["messages"] = static_cast<double>(total / state.iterations());
    state.counters["tape bytes"] = static_cast<double>(size);
}

// The parts of a replay on their own: reading and checking the blocks, and
// the CRC of the whole tape.
void BM_ReadBlocksOnly(benchmark::State& state) {
    std::size_t size = 0;
    const std::vector<uint64_t>& tape = day(size);
    uint64_t total = 0;
    for (auto _ : state) {
        engine::TapeTables tables;
        engine::TapeReader reader;
        reader.open(reinterpret_cast<const unsigned char*>(tape.data()), size, false, tables);
        engine::EventBlock block;
        while (reader.next_block(block) == 1) total += block.count;
    }
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}

// The same for a packed tape on one thread: CRC, inflation and checks, the
// work the replay's second thread does.
void BM_ReadPackedBlocksOnly(benchmark::State& state) {
    std::size_t size = 0;
    const std::vector<uint64_t>& tape = day(size, false, true);
    uint64_t total = 0;
    for (auto _ : state) {
        engine::TapeTables tables;
        engine::TapeReader reader;
        reader.open(reinterpret_cast<const unsigned char*>(tape.data()), size, state.range(0) != 0, tables);
        engine::EventBlock block;
        while (reader.next_block(block) == 1) total += block.count;
    }
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}

void BM_Crc32OfTheTape(benchmark::State& state) {
    std::size_t size = 0;
    const std::vector<uint64_t>& tape = day(size);
    for (auto _ : state) benchmark::DoNotOptimize(engine::crc32(tape.data(), size));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_ReplayNoOpCallback(benchmark::State& state) { replay(state, 0); }
void BM_ReplayNoOpCallbackWithoutCrc(benchmark::State& state) { replay(state, TqCF_EXCLUDE_CRC_CHECK); }
void BM_ReplaySmallDayWithoutCrc(benchmark::State& state) { replay(state, TqCF_EXCLUDE_CRC_CHECK, true); }
void BM_ReplayExcludingQuotes(benchmark::State& state) { replay(state, TqCF_EXCLUDE_QUOTES); }
void BM_ReplayPackedNoOpCallback(benchmark::State& state) { replay(state, 0, false, true); }
void BM_ReplayPackedNoOpCallbackWithoutCrc(benchmark::State& state) {
    replay(state, TqCF_EXCLUDE_CRC_CHECK, false, true);
}

BENCHMARK(BM_ReadBlocksOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPackedBlocksOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32OfTheTape)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayNoOpCallback)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReplayNoOpCallbackWithoutCrc)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReplaySmallDayWithoutCrc)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReplayExcludingQuotes)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReplayPackedNoOpCallback)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReplayPackedNoOpCallbackWithoutCrc)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
