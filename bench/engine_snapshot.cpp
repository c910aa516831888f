// State snapshots of a synthetic day of 5,000 symbols: the time to take and
// write one in one pass (from the capture status to the completion status)
// and the time to load one (from the call to the loaded-state status).
// Prints milliseconds and the snapshot's size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine_constants.h"
#include "engine/run.h"
#include "synth.h"
#include "engine/tape_writer.h"

namespace {

using namespace tarvik;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSymbols = 5000;
constexpr uint64_t kMessages = 400'000;
constexpr int64_t kSaveAt = 200'000;

const std::string& tape_path() {
    static const std::string path = [] {
        const std::string p = "/tmp/tarvik-snapshot-bench-" + std::to_string(::getpid()) + ".tape";
        tool::SynthOptions o;
        o.symbols = kSymbols;
        o.options_per_symbol = 0;
        o.messages = kMessages;
        const engine::TapeTables tables = tool::synth_tables(o);
        engine::TapeWriter writer;
        std::string error;
        if (!writer.open_file(p, tables, error)) std::abort();
        tool::synth_events(o, tables, writer);
        if (!writer.finish(error)) std::abort();
        return p;
    }();
    return path;
}

std::string state_path() { return "/tmp/tarvik-snapshot-bench-" + std::to_string(::getpid()) + ".state"; }

thread_local int64_t t_seen = 0;
thread_local Clock::time_point t_capture;
thread_local double t_seconds = 0;

int32_t save_midday(TarvikSystemRecord* s, TarvikMessageRecord* m) {
    if (m->MessageType == TqMSG_STATUS) {
        if (s->Status == TARVIKSTATUS_SAVING_STATE && s->StatusData == TqCSSAVESTATE_CAPTURE)
            t_capture = Clock::now();
        if (s->Status == TARVIKSTATUS_SAVING_STATE && s->StatusData == TqCSSAVESTATE_COMPLETE) {
            t_seconds = std::chrono::duration<double>(Clock::now() - t_capture).count();
            return TqCALLBACKRETURN_STOP;
        }
        return 0;
    }
    if (m->MessageType != TqMSG_SYMBOLCHANGE && ++t_seen == kSaveAt)
        engine::Run::current()->request_save(state_path().c_str(), TqSAVESTATE_ONEPASS);
    return 0;
}

thread_local Clock::time_point t_start;
int32_t stop_when_loaded(TarvikSystemRecord* s, TarvikMessageRecord* m) {
    if (m->MessageType == TqMSG_STATUS && s->Status == TARVIKSTATUS_LOADED_STATE) {
        t_seconds = std::chrono::duration<double>(Clock::now() - t_start).count();
        return TqCALLBACKRETURN_STOP;
    }
    return 0;
}

void BM_SnapshotWriteOnePass(benchmark::State& state) {
    for (auto _ : state) {
        t_seen = 0;
        t_seconds = 0;
        engine::Run run(0, 0, save_midday);
        run.process_file(tape_path().c_str());
        state.SetIterationTime(t_seconds);
    }
    struct stat st{};
    ::stat(state_path().c_str(), &st);
    state.counters["snapshot_MB"] = static_cast<double>(st.st_size) / (1 << 20);
}

void BM_SnapshotLoad(benchmark::State& state) {
    for (auto _ : state) {
        t_start = Clock::now();
        engine::Run run(0, 0, stop_when_loaded);
        if (run.process_file(state_path().c_str()) != TqAPIERR_USER_STOPPED) state.SkipWithError("no load");
        state.SetIterationTime(t_seconds);
    }
}

BENCHMARK(BM_SnapshotWriteOnePass)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SnapshotLoad)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(tape_path().c_str());
    std::remove(state_path().c_str());
    return 0;
}
