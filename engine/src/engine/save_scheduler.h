// State snapshots on a run's side: sTarvikSaveState schedules one; the
// replay takes it at the next point between two messages (a capture status
// first, which may still cancel it), writes it at once or 1 MB per message,
// and reports the outcome with TARVIKSTATUS_SAVING_STATE statuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/state_snapshot.h"
#include "engine/tape_reader.h"

namespace tarvik::engine {

// What the scheduler needs of the run it serves.
class SaveHost {
public:
    // Delivers a saving status with `phase`; the answer as the replay
    // passes it on (0, TqAPIERR_USER_STOPPED or a restart).
    virtual int32_t report_save(int32_t phase) = 0;
    // The image of the state at this point; may throw std::bad_alloc.
    virtual std::vector<unsigned char> capture_state(std::size_t position, uint32_t event_index) = 0;

protected:
    ~SaveHost() = default;
};

class SaveScheduler {
public:
    // sTarvikSaveState: schedules (or cancels) a snapshot. `tape_named`:
    // the run replays a tape file, which a snapshot can name; `tape` is
    // that file as it was opened, which no snapshot may replace.
    int32_t request(const char* path, int32_t flags, bool tape_named, const TapeBytes& tape);

    bool idle() const { return phase_ == Phase::Idle; }
    // The save's next step at a point between two messages; the answer as
    // the replay gives it.
    int32_t service(SaveHost& host, std::size_t position, uint32_t event_index);
    // Every step left, at the end of the events.
    int32_t finish(SaveHost& host, std::size_t position);
    // A save whose image is taken goes to its file even when the run stops.
    void flush();
    // At a restart: a save not yet taken is dropped, as at a stop; the
    // state it was asked for is gone (one taken is still written).
    void drop_scheduled() {
        if (phase_ == Phase::Scheduled) phase_ = Phase::Idle;
    }

private:
    enum class Phase { Idle, Scheduled, Writing };
    static constexpr std::size_t kPiece = std::size_t{1} << 20;

    Phase phase_ = Phase::Idle;
    bool one_pass_ = false;
    std::string path_;
    const TapeBytes* tape_ = nullptr;
    SnapshotWriter writer_;
};

}  // namespace tarvik::engine
