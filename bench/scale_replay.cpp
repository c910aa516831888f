// scale_replay: the native side of bench/engine_scale_bench.py.
//
//     scale_replay ENGINE TAPE noop [--repeat N]
//     scale_replay ENGINE TAPE filter SYMBOL... [--repeat N]
//     scale_replay - TAPE floor [--repeat N]
//
// noop: the whole sTarvikProcessTape of the engine (loaded with dlopen)
// into a C callback that does nothing. filter: the same into a C callback
// that keeps only the named symbols, deciding each symbol once when the
// engine announces it (in its string record's UserData2, as the module's
// filter does) and then reading that word per message. floor: the tape's
// bytes read once, a 64-bit sum over the mapped file, faults included.
//
// Prints one line a repetition: "WALL THREAD_CPU PROCESS_CPU MESSAGES
// RESULT" (seconds; MESSAGES counts the callbacks, or the file's bytes for
// the floor). The process CPU also counts a packed tape's inflating thread.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tarvik/constants.h"
#include "tarvik/library.h"

namespace {

using namespace tarvik;

uint64_t g_callbacks = 0;
uint64_t g_kept = 0;
std::vector<std::string> g_symbols;

int32_t noop(TarvikSystemRecord*, TarvikMessageRecord*) {
    ++g_callbacks;
    return TqCALLBACKRETURN_CONTINUE;
}

int32_t keep_symbols(TarvikSystemRecord*, TarvikMessageRecord* m) {
    ++g_callbacks;
    TqStringRecord* symbol = m->coreHeader.ptqStringSymbol;
    if (symbol == nullptr) return TqCALLBACKRETURN_CONTINUE;
    if (m->MessageType == TqMSG_SYMBOLCHANGE && m->coreData.SymbolChange.Status == TqSS_ADD) {
        symbol->UserData2 = 2;  // 2 excluded, 1 kept
        for (const std::string& s : g_symbols)
            if (s == string_text(symbol)) symbol->UserData2 = 1;
    }
    g_kept += symbol->UserData2 == 1;
    return TqCALLBACKRETURN_CONTINUE;
}

double seconds(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The floor: every byte of the tape read once from its mapping.
int floor_read(const char* path, uint64_t& bytes, uint64_t& sum) {
    const int fd = ::open(path, O_RDONLY);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) return -4;
    bytes = static_cast<uint64_t>(st.st_size);
    void* map = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return -4;
    const auto* words = static_cast<const uint64_t*>(map);
    uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    const uint64_t n = bytes / 8;
    uint64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += words[i];
        s1 += words[i + 1];
        s2 += words[i + 2];
        s3 += words[i + 3];
    }
    for (; i < n; ++i) s0 += words[i];
    sum = s0 ^ s1 ^ s2 ^ s3;
    ::munmap(map, bytes);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: scale_replay ENGINE TAPE noop|filter|floor [SYMBOL...] [--repeat N]\n");
        return 2;
    }
    const std::string mode = argv[3];
    int repeat = 1;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else
            g_symbols.push_back(argv[i]);
    }
    sTarvikProcessTape_t process = nullptr;
    if (mode != "floor") {
        void* library = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (library != nullptr) process = reinterpret_cast<sTarvikProcessTape_t>(::dlsym(library, "sTarvikProcessTape"));
        if (process == nullptr) {
            std::fprintf(stderr, "scale_replay: cannot load sTarvikProcessTape from %s\n", argv[1]);
            return 2;
        }
    }
    for (int r = 0; r < repeat; ++r) {
        g_callbacks = g_kept = 0;
        uint64_t count = 0, sum = 0;
        const double wall = seconds(CLOCK_MONOTONIC);
        const double thread = seconds(CLOCK_THREAD_CPUTIME_ID);
        const double process_cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
        int32_t result = 0;
        if (mode == "floor")
            result = floor_read(argv[2], count, sum);
        else
            result = process(argv[2], nullptr, 0, 0, mode == "filter" ? keep_symbols : noop);
        std::printf("%.6f %.6f %.6f %" PRIu64 " %d\n", seconds(CLOCK_MONOTONIC) - wall,
                    seconds(CLOCK_THREAD_CPUTIME_ID) - thread, seconds(CLOCK_PROCESS_CPUTIME_ID) - process_cpu,
                    mode == "floor" ? count : g_callbacks, result);
        if (sum == 1) std::fprintf(stderr, "\n");  // keeps the sum observable
    }
    return 0;
}
