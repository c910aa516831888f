#include "engine/tape_source.h"

namespace tarvik::engine {

int32_t TapeSource::open_live(const char* path, std::chrono::milliseconds idle_limit, bool check_crc) {
    live_ = std::make_unique<LiveTape>();
    path_.clear();  // the real-time stream has no tape name
    return live_->open(path, idle_limit, check_crc, reader_, tables_);
}

}  // namespace tarvik::engine
