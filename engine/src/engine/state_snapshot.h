// State snapshots: the whole market state of a run at one position of its
// tape, written by sTarvikSaveState and read back by sTarvikProcessTape.
// docs/engine.md describes the file; this is its only encoder and decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/market_state.h"
#include "engine/tape_format.h"
#include "tarvik/library.h"

namespace tarvik::engine {

inline constexpr char kSnapshotMagic[8] = {'T', 'A', 'R', 'V', 'I', 'K', 'S', 'S'};
// Version 2 adds the ordinal of the section to resume in; a version 1
// snapshot, without it, is still read and its position checked by walking
// the tape's section heads alone.
inline constexpr uint32_t kSnapshotFormatVersion = 2;

// The first 32 bytes of a snapshot; the payload after it has `length`
// bytes and the CRC-32 `crc`.
struct SnapshotPreamble {
    char magic[8];
    uint32_t format_version;
    uint32_t crc;
    uint64_t length;
    uint32_t state_size;  // sizeof(SymbolState): a layout from another build is refused
    uint32_t mm_slot_size;
};
static_assert(sizeof(SnapshotPreamble) == 32);

// What a snapshot knows of its tape, enough to refuse another or a changed
// one: its full path, its size, the CRC of everything before the first
// event block, and the head of the block it resumes at.
struct TapeIdentity {
    std::string path;
    uint64_t size = 0;
    uint32_t tables_crc = 0;
    SectionHead resume_head{};
};

struct StateSnapshot {
    TapeIdentity tape;
    uint64_t position = 0;     // offset of the block to resume in
    uint32_t section_ordinal = kNone;  // that block's number from the first block (kNone: not recorded)
    uint32_t event_index = 0;  // first event of that block not yet delivered
    TqTimeRecord clock{};
    bool clock_set = false;
    std::vector<SymbolState> states;
    std::vector<std::pair<uint64_t, uint32_t>> session_states;
    std::vector<MMBook> mm_books;
    SymbolState scratch;
    std::vector<int32_t> user_data;  // UserData1, UserData2 of every string record, in the run's order
};

bool is_snapshot(const unsigned char* data, std::size_t size);

// The file image of a snapshot. Throws std::bad_alloc when memory runs out.
std::vector<unsigned char> encode_snapshot(const StateSnapshot& snapshot);

// 0, or TqAPIERR_NOT_SUPPORTED for a damaged snapshot and
// TqAPIERR_UNSUPPORTED_API for one of a newer format.
int32_t decode_snapshot(const unsigned char* data, std::size_t size, StateSnapshot& snapshot);

// Checks every reference a decoded snapshot makes into its tape's tables:
// market-maker texts, the symbols of other-session states, the state count
// against the directory, the clock. 0, or TqAPIERR_NOT_SUPPORTED.
int32_t check_snapshot_references(const StateSnapshot& snapshot, const TapeTables& tables);

// Writes a snapshot image under its final name through a temporary file
// beside it, all at once or a piece at a time; a failed or abandoned write
// leaves nothing behind.
class SnapshotWriter {
public:
    SnapshotWriter() = default;
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;
    ~SnapshotWriter() { abandon(); }

    // 0, or TqCSSAVESTATE_ERR_CREATEFILE (also for a path that names the
    // run's own tape, the file of `tape_device` and `tape_inode`, which the
    // snapshot would replace).
    int32_t begin(const std::string& path, uint64_t tape_device, uint64_t tape_inode, std::vector<unsigned char> image);
    // Writes up to `limit` more bytes: 0 when more remain,
    // TqCSSAVESTATE_COMPLETE once the file is in place, or an error phase.
    int32_t write_piece(std::size_t limit);
    void abandon();
    bool active() const { return fd_ >= 0; }

private:
    int32_t fail(int32_t phase);

    std::string path_;
    std::string temp_path_;
    std::vector<unsigned char> image_;
    std::size_t written_ = 0;
    int fd_ = -1;
};

}  // namespace tarvik::engine
