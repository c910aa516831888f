// Helpers for the engine tests: tapes from script text, and replays into a
// C++ lambda.
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>

#include "engine/run.h"
#include "tape_script.h"

namespace tarvik::test {

using MessageHandler = std::function<int32_t(TarvikSystemRecord&, TarvikMessageRecord&)>;

inline thread_local MessageHandler* t_handler = nullptr;

inline int32_t trampoline(TarvikSystemRecord* system, TarvikMessageRecord* message) {
    return (*t_handler)(*system, *message);
}

// A temporary file removed at the end of the scope.
class TempFile {
public:
    explicit TempFile(const std::string& suffix = ".tape") {
        static int counter = 0;
        path_ = "/tmp/tarvik-engine-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline tool::TapeContents compile(const std::string& script) {
    std::istringstream in(script);
    return tool::compile_script(in, "test.jsonl");
}

inline void write(const tool::TapeContents& tape, const std::string& path) { tool::write_tape_contents(tape, path); }

inline int32_t replay(const std::string& path, MessageHandler handler, int32_t flags = 0, int32_t user_data = 0) {
    MessageHandler* previous = t_handler;
    t_handler = &handler;
    engine::Run run(flags, user_data, trampoline);
    const int32_t result = run.process_file(path.c_str());
    t_handler = previous;
    return result;
}

// A tape header, one symbol IBM (price type 2, previous close 100.00) on
// listed exchange 1, and the given event lines.
inline std::string day(const std::string& events) {
    return R"({"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Test day"}}
{"strings": {"table": 3, "texts": ["", "NYSE", "AMEX", "NASDAQ"]}}
{"symbol": {"id": "IBM", "text": "IBM", "listed_exg": 1, "price_type": 2, "prev_close": 10000, "atom": 7}}
)" + events;
}

}  // namespace tarvik::test
