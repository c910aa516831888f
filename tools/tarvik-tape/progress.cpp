#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace tarvik::tool {
namespace {

// 1234567 as "1.23M"; small numbers as they are.
std::string amount(double n) {
    char text[32];
    if (n >= 1e9) std::snprintf(text, sizeof text, "%.2fG", n / 1e9);
    else if (n >= 1e6) std::snprintf(text, sizeof text, "%.2fM", n / 1e6);
    else if (n >= 1e4) std::snprintf(text, sizeof text, "%.1fk", n / 1e3);
    else std::snprintf(text, sizeof text, "%.0f", n);
    return text;
}

std::string duration(double seconds) {
    char text[32];
    const auto s = static_cast<unsigned long long>(seconds + 0.5);
    if (s >= 3600) std::snprintf(text, sizeof text, "%lluh%02llum", s / 3600, s / 60 % 60);
    else if (s >= 60) std::snprintf(text, sizeof text, "%llum%02llus", s / 60, s % 60);
    else std::snprintf(text, sizeof text, "%llus", s);
    return text;
}

}  // namespace

ProgressLine::ProgressLine(bool enabled) : enabled_(enabled && ::isatty(STDERR_FILENO) == 1) {
    next_draw_ = Clock::now();  // the first update draws: a long command shows itself at once
}

void ProgressLine::draw(const char* stage, uint64_t done, uint64_t total, const char* unit, Clock::time_point now) {
    if (stage_ != stage) {  // a stage's rate counts from its first update
        stage_ = stage;
        stage_start_ = now;
    }
    const double seconds = std::chrono::duration<double>(now - stage_start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string line = stage_ + " " + amount(static_cast<double>(done)) + " " + unit;
    if (total > 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " (%.0f%%)", 100.0 * static_cast<double>(done) / static_cast<double>(total));
        line += " of " + amount(static_cast<double>(total)) + percent;
    }
    if (rate > 0) {
        line += ", " + amount(rate) + " " + unit + "/s";
        if (total > done) line += ", " + duration(static_cast<double>(total - done) / rate) + " left";
    }
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressLine::clear() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace tarvik::tool
