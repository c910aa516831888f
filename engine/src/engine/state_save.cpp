// The run's side of state snapshots: sTarvikSaveState schedules one; the
// replay takes it at the next point between two messages (a capture status
// first, which may still cancel it), writes it at once or 1 MB per message,
// and reports the outcome with TARVIKSTATUS_SAVING_STATE statuses.
#include <cstdint>
#include <cstring>
#include <new>

#include "engine/engine_constants.h"
#include "engine/crc32.h"
#include "engine/run.h"

namespace tarvik::engine {
namespace {

int32_t settle_save(int32_t answer) {
    return answer == TqCALLBACKRETURN_STOP ? TqAPIERR_USER_STOPPED
           : answer == TqCALLBACKRETURN_RESTART ? Run::kRestartRequested
                                                : 0;
}

}  // namespace

void Run::for_each_string_record(const std::function<void(TqStringRecord*)>& visit) {
    for (const SymbolSlot& slot : symbols_) {
        visit(slot.record);
        if (slot.option != nullptr) visit(slot.option->ptqsDateAndStrike);
    }
    for (TqStringRecord* record : text_records_) visit(record);
    for (TqStringRecord* record : category_records_) visit(record);
}

int32_t Run::request_save(const char* path, int32_t flags) {
    if (flags == TqSAVESTATE_CANCEL) {
        if (save_.phase == SavePhase::Writing) save_.writer.abandon();
        save_.phase = SavePhase::Idle;
        return TqAPIERR_NO_ERROR;
    }
    if (path == nullptr || path[0] == '\0' || (flags != TqSAVESTATE_GRADUALLY && flags != TqSAVESTATE_ONEPASS))
        return TqAPIERR_BAD_PARAMETERS;
    if (tape_path_.empty()) return TqAPIERR_NOT_SUPPORTED;  // the real-time stream, or a tape in memory
    if (save_.phase != SavePhase::Idle) return TqAPIERR_SAVE_STATE_IN_PROGRESS;
    save_.path = path;
    save_.one_pass = flags == TqSAVESTATE_ONEPASS;
    save_.phase = SavePhase::Scheduled;
    return TqAPIERR_NO_ERROR;
}

int32_t Run::report_save(int32_t phase) { return settle_save(deliver_status(TARVIKSTATUS_SAVING_STATE, phase)); }

int32_t Run::service_save(std::size_t position, uint32_t event_index) {
    if (save_.phase == SavePhase::Writing) {
        const int32_t phase = save_.writer.write_piece(kSavePiece);
        if (phase == 0) return 0;
        save_.phase = SavePhase::Idle;
        return report_save(phase);
    }
    const int32_t answer = report_save(TqCSSAVESTATE_CAPTURE);
    if (save_.phase != SavePhase::Scheduled) return answer;  // cancelled at the capture status
    int32_t phase = 0;
    if (int32_t r = capture(position, event_index, phase)) return r;
    if (phase != 0) {
        save_.phase = SavePhase::Idle;
        if (int32_t r = report_save(phase)) return r;
        return answer;
    }
    save_.phase = SavePhase::Writing;
    if (save_.one_pass) {
        phase = save_.writer.write_piece(SIZE_MAX);
        save_.phase = SavePhase::Idle;
        if (int32_t r = report_save(phase)) return r;
    }
    return answer;
}

int32_t Run::finish_save(std::size_t position) {
    while (save_.phase != SavePhase::Idle) {
        if (save_.phase == SavePhase::Writing) save_.one_pass = true;  // no messages left to spread it over
        if (int32_t r = service_save(position, 0)) {
            if (save_.phase == SavePhase::Writing) save_.writer.write_piece(SIZE_MAX);
            save_.phase = SavePhase::Idle;
            return r;
        }
    }
    return 0;
}

// Takes the image of the state at this point and opens its file: 0 in
// `phase`, or the error phase to report.
int32_t Run::capture(std::size_t position, uint32_t event_index, int32_t& phase) {
    try {
        StateSnapshot s;
        s.tape.path = tape_path_;
        s.tape.size = bytes_.size();
        s.tape.tables_crc = crc32(bytes_.data(), reader_.first_block());
        std::memcpy(&s.tape.resume_head, bytes_.data() + position, sizeof(SectionHead));
        s.position = position;
        uint32_t ordinal = 0;
        if (reader_.section_ordinal(position, ordinal)) s.section_ordinal = ordinal;
        s.event_index = event_index;
        s.clock = last_time_;
        s.clock_set = clock_set_;
        s.states.assign(states_.begin(), states_.end());
        s.session_states.assign(session_states_.begin(), session_states_.end());
        s.mm_books = mm_books_;
        s.scratch = scratch_;
        for_each_string_record([&s](TqStringRecord* record) {
            s.user_data.push_back(record->UserData1);
            s.user_data.push_back(record->UserData2);
        });
        phase = save_.writer.begin(save_.path, encode_snapshot(s));
    } catch (const std::bad_alloc&) {
        phase = TqCSSAVESTATE_ERR_MEMORY;
    }
    return 0;
}

}  // namespace tarvik::engine
