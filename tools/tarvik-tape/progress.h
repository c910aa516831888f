// A progress line for long commands: what is done, the rate and, when the
// total is known, the time left. Drawn on standard error only when it is
// a terminal, at most a few times a second, and cleared at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarvik::tool {

class ProgressLine {
public:
    // `enabled` false (--quiet) keeps it silent even on a terminal.
    explicit ProgressLine(bool enabled);
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { clear(); }

    // `done` of `total` `unit` ("rows", "events", "bytes"); total 0 when
    // unknown. Cheap when nothing is drawn: call it per batch or block.
    void update(const char* stage, uint64_t done, uint64_t total, const char* unit) {
        if (!enabled_) return;
        const auto now = Clock::now();
        if (now < next_draw_) return;
        next_draw_ = now + kInterval;
        draw(stage, done, total, unit, now);
    }

    // Removes the line, so what follows starts on a clean line.
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kInterval = std::chrono::milliseconds(200);

    void draw(const char* stage, uint64_t done, uint64_t total, const char* unit, Clock::time_point now);

    bool enabled_;
    bool drawn_ = false;
    std::string stage_;
    Clock::time_point stage_start_;
    Clock::time_point next_draw_;
};

}  // namespace tarvik::tool
