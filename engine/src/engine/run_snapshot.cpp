// A run and its state snapshots: resuming a day from one, and taking one
// for the save scheduler.
#include <cstring>

#include "engine/block_codec.h"
#include "engine/crc32.h"
#include "engine/engine_constants.h"
#include "engine/run.h"

namespace tarvik::engine {
namespace {

constexpr int32_t kDamaged = TqAPIERR_NOT_SUPPORTED;
constexpr int32_t kOtherTape = TqAPIERR_INITIALIZE_MEMORY_FAILED;

}  // namespace

// A snapshot names its tape: the tape is mapped and checked against it,
// the saved state replaces the fresh one, and the day goes on from the
// saved position. A snapshot is a file people keep and pass on, so every
// reference it makes into the tape is checked before the first callback.
int32_t Run::process_snapshot() {
    StateSnapshot snapshot;
    const TapeBytes& bytes = source_.bytes();
    if (int32_t result = decode_snapshot(bytes.data(), bytes.size(), snapshot)) return result;
    source_.unmap();
    if (int32_t result = source_.map_file(snapshot.tape.path.c_str())) return result;
    if (bytes.size() != snapshot.tape.size) return kOtherTape;
    if (int32_t result = source_.open(check_crc())) return result;
    const TapeTables& tables = source_.tables();
    if (crc32(bytes.data(), source_.reader().first_block()) != snapshot.tape.tables_crc) return kOtherTape;
    if (int32_t result = check_resume_position(snapshot)) return result;
    const std::size_t position = snapshot.position;
    if (std::memcmp(bytes.data() + position, &snapshot.tape.resume_head, sizeof(SectionHead)) != 0 ||
        snapshot.states.size() < tables.symbols.size())
        return kOtherTape;
    if (check_snapshot_references(snapshot, tables) != 0) return kDamaged;
    source_.set_path(snapshot.tape.path);
    start_day();

    std::size_t words = 0;
    directory_.for_each_string_record([&words](TqStringRecord*) { words += 2; });
    if (snapshot.user_data.size() != words) return kOtherTape;
    restore(snapshot);
    source_.seek(position);
    resume_index_ = snapshot.event_index;
    return run_day(true);
}

void Run::restore(StateSnapshot& snapshot) {
    book_.restore(snapshot);
    last_time_ = snapshot.clock;
    clock_set_ = snapshot.clock_set;
    if (clock_set_) {
        system_.tqTime = last_time_;
        message_.coreHeader.tqExgTimestamp = last_time_;
    }
    std::size_t next = 0;
    directory_.for_each_string_record([&](TqStringRecord* record) {
        record->UserData1 = snapshot.user_data[next++];
        record->UserData2 = snapshot.user_data[next++];
    });
}

// The resume position must be where a section of this tape starts (as the
// walk over its section heads finds it, and as the snapshot numbered it),
// and the event index must fall inside that block, which must pass its
// checks now: a snapshot cannot make the engine read events at any offset.
int32_t Run::check_resume_position(const StateSnapshot& snapshot) const {
    const TapeReader& reader = source_.reader();
    const TapeBytes& bytes = source_.bytes();
    uint32_t ordinal = 0;
    if (!reader.section_ordinal(snapshot.position, ordinal)) return kDamaged;
    if (snapshot.section_ordinal != kNone && snapshot.section_ordinal != ordinal) return kDamaged;
    const std::size_t position = snapshot.position;
    SectionHead head;
    std::memcpy(&head, bytes.data() + position, sizeof head);  // the walk found it whole
    if (head.kind == static_cast<uint32_t>(SectionKind::End)) return snapshot.event_index == 0 ? 0 : kDamaged;
    EventBlock block;
    std::size_t length = 0;
    BlockInflater inflater;  // a packed block is inflated to be checked
    if (reader.read_block_at(bytes.data() + position, bytes.size() - position, block, length, inflater) != 1 ||
        snapshot.event_index >= block.count)
        return kDamaged;
    return 0;
}

int32_t Run::report_save(int32_t phase) {
    const int32_t answer = deliver_status(TARVIKSTATUS_SAVING_STATE, phase);
    return answer == TqCALLBACKRETURN_STOP      ? TqAPIERR_USER_STOPPED
           : answer == TqCALLBACKRETURN_RESTART ? kRestartRequested
                                                : 0;
}

std::vector<unsigned char> Run::capture_state(std::size_t position, uint32_t event_index) {
    const TapeBytes& bytes = source_.bytes();
    StateSnapshot s;
    s.tape.path = source_.path();
    s.tape.size = bytes.size();
    s.tape.tables_crc = crc32(bytes.data(), source_.reader().first_block());
    std::memcpy(&s.tape.resume_head, bytes.data() + position, sizeof(SectionHead));
    s.position = position;
    uint32_t ordinal = 0;
    if (source_.reader().section_ordinal(position, ordinal)) s.section_ordinal = ordinal;
    s.event_index = event_index;
    s.clock = last_time_;
    s.clock_set = clock_set_;
    book_.capture(s);
    directory_.for_each_string_record([&s](TqStringRecord* record) {
        s.user_data.push_back(record->UserData1);
        s.user_data.push_back(record->UserData2);
    });
    return encode_snapshot(s);
}

}  // namespace tarvik::engine
