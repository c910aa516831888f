#include "engine/save_scheduler.h"

#include <new>

#include "tarvik/constants.h"

namespace tarvik::engine {

int32_t SaveScheduler::request(const char* path, int32_t flags, bool tape_named, const TapeBytes& tape) {
    if (flags == TqSAVESTATE_CANCEL) {
        if (phase_ == Phase::Writing) writer_.abandon();
        phase_ = Phase::Idle;
        return TqAPIERR_NO_ERROR;
    }
    if (path == nullptr || path[0] == '\0' || (flags != TqSAVESTATE_GRADUALLY && flags != TqSAVESTATE_ONEPASS))
        return TqAPIERR_BAD_PARAMETERS;
    if (!tape_named) return TqAPIERR_NOT_SUPPORTED;  // the real-time stream, or a tape in memory
    if (phase_ != Phase::Idle) return TqAPIERR_SAVE_STATE_IN_PROGRESS;
    path_ = path;
    tape_ = &tape;
    one_pass_ = flags == TqSAVESTATE_ONEPASS;
    phase_ = Phase::Scheduled;
    return TqAPIERR_NO_ERROR;
}

int32_t SaveScheduler::service(SaveHost& host, std::size_t position, uint32_t event_index) {
    if (phase_ == Phase::Writing) {
        const int32_t phase = writer_.write_piece(kPiece);
        if (phase == 0) return 0;
        phase_ = Phase::Idle;
        return host.report_save(phase);
    }
    const int32_t answer = host.report_save(TqCSSAVESTATE_CAPTURE);
    if (phase_ != Phase::Scheduled) return answer;  // cancelled at the capture status
    int32_t phase;
    try {
        phase = writer_.begin(path_, tape_->device(), tape_->inode(), host.capture_state(position, event_index));
    } catch (const std::bad_alloc&) {
        phase = TqCSSAVESTATE_ERR_MEMORY;
    }
    if (phase != 0) {
        phase_ = Phase::Idle;
        if (int32_t r = host.report_save(phase)) return r;
        return answer;
    }
    phase_ = Phase::Writing;
    if (one_pass_) {
        phase = writer_.write_piece(SIZE_MAX);
        phase_ = Phase::Idle;
        if (int32_t r = host.report_save(phase)) return r;
    }
    return answer;
}

int32_t SaveScheduler::finish(SaveHost& host, std::size_t position) {
    while (phase_ != Phase::Idle) {
        if (phase_ == Phase::Writing) one_pass_ = true;  // no messages left to spread it over
        if (int32_t r = service(host, position, 0)) {
            flush();
            phase_ = Phase::Idle;
            return r;
        }
    }
    return 0;
}

void SaveScheduler::flush() {
    if (phase_ == Phase::Writing) writer_.write_piece(SIZE_MAX);
}

}  // namespace tarvik::engine
