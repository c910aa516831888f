// One replay of a tape: everything sTarvikProcessTape needs hangs off a Run,
// made by the call and dropped when it returns, so runs on different
// threads never meet. The exports called from inside a callback find the
// calling thread's run through Run::current().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/block_prefetch.h"
#include "engine/huge_pages.h"
#include "engine/live_tape.h"
#include "engine/market_state.h"
#include "engine/state_snapshot.h"
#include "engine/string_arena.h"
#include "engine/tape_format.h"
#include "engine/tape_reader.h"
#include "tarvik/library.h"

namespace tarvik::engine {

// One symbol directory entry at run time. A symbol's state in its own
// session has the same index in the run's states.
struct SymbolSlot {
    TqStringRecord* record = nullptr;        // the symbol (an option's root), per (text, listed exchange)
    TqOptionHdrRecord* option = nullptr;     // option contracts only
    uint32_t record_atom = 0;                // full atom of `record`
    uint16_t listed_exg = 0;
    uint8_t session = 0;
    bool skipped = false;                    // excluded by the control flags
};

class Run {
public:
    Run(int32_t control_flags, int32_t user_data, TarvikMessageCallback callback);
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The whole of sTarvikProcessTape: from a tape file, from a state
    // snapshot (recognised by its magic), from the real-time stream (an
    // empty path: the live tape named by TARVIK_REALTIME_TAPE), or from
    // bytes in memory.
    int32_t process_file(const char* path);
    int32_t process_memory(const unsigned char* data, std::size_t size);

    // The internal answer of a replay that is to start the day again.
    static constexpr int32_t kRestartRequested = 2;

    // The calling thread's run, or null outside sTarvikProcessTape.
    static Run* current();

    int32_t get_exg_quotes(TarvikStateExgQuotesRecord* out, const TqStringRecord* symbol) const;
    int32_t get_mm_quotes(uint16_t reporting_exg, TarvikStateMMQuotesRecord* out, const TqStringRecord* symbol) const;
    int32_t get_last_trade(TarvikStateTradeRecord* out, const TqStringRecord* symbol) const;
    const char* defined_string(int32_t table, int32_t index) const;
    int32_t tape_name(char* buffer, int32_t size) const;
    int32_t symbol_atom32() const { return static_cast<int32_t>(current_atom_); }

    // Events of this permission id are skipped.
    void exclude_permission(uint16_t permission_id, bool excluded) {
        excluded_permissions_[permission_id] = excluded;
        filtering_ = filtering_ || excluded;
    }
    // A key of sTarvikExcludeOpraExch: 0, or TqAPIERR_BAD_PARAMETERS for a
    // key it does not understand (docs/engine.md).
    static int32_t check_exclusion_key(int32_t key);
    int32_t exclude(int32_t key);

    // sTarvikSpinSymbols: one symbol-spin message per symbol (plain or
    // option contracts) of a listed exchange or of all, to `callback`.
    int32_t spin_symbols(uint16_t listed_exg, int32_t flags, int32_t spin_id, TarvikMessageCallback callback,
                         int32_t user_data);

    // sTarvikSaveState: schedules (or cancels) a snapshot.
    int32_t request_save(const char* path, int32_t flags);

private:
    enum class SavePhase { Idle, Scheduled, Writing };
    struct SaveJob {
        SavePhase phase = SavePhase::Idle;
        bool one_pass = false;
        std::string path;
        SnapshotWriter writer;
    };
    static constexpr std::size_t kSavePiece = std::size_t{1} << 20;

    int32_t process(const unsigned char* data, std::size_t size);
    int32_t process_snapshot();
    int32_t check_resume_position(const StateSnapshot& snapshot) const;
    int32_t process_live();
    void start_day();
    int32_t run_day(bool resumed);
    void build_records();
    void reset_state();
    // 0 end of day, or the code to return, or kRestartRequested.
    int32_t replay();
    int32_t replay_events();
    // A packed tape's blocks are read ahead on a second thread.
    int32_t next_block(EventBlock& block) {
        if (live_) return live_->next_block(block);
        return reader_.packed() ? prefetch_.next_block(reader_, block) : reader_.next_block(block);
    }
    std::size_t tape_position() const { return live_ ? live_->position() : reader_.position(); }
    // The save's next step at a point between two messages; the answer as
    // replay() gives it.
    int32_t service_save(std::size_t position, uint32_t event_index);
    int32_t finish_save(std::size_t position);
    int32_t capture(std::size_t position, uint32_t event_index, int32_t& phase);
    int32_t report_save(int32_t phase);
    // Every string record of the run, in a fixed order (a snapshot keeps
    // their user-data words in that order).
    void for_each_string_record(const std::function<void(TqStringRecord*)>& visit);
    int32_t deliver(const TapeEvent& event, const TapeExt* ext);
    // Whether the control flags or exclusion keys leave the message out.
    bool skipped(const TapeEvent& event) const;
    void prefetch_far(const TapeEvent& event) const;
    void prefetch_near(const TapeEvent& event) const;
    static constexpr uint32_t kPrefetchDistance = 8;
    int32_t deliver_status(int32_t status, int32_t status_data);
    int32_t announce_symbols();
    int32_t call();
    void set_clock(uint64_t micros);
    void set_header(uint32_t symbol, uint16_t reporting_exg, uint8_t session, uint16_t permission_id);
    // The state of a symbol in a session: its own session's at once, any
    // other made on first use.
    SymbolState& state_of(uint32_t symbol, uint8_t session) {
        const SymbolSlot& slot = symbols_[symbol];
        if (session == slot.session) [[likely]] return states_[symbol];
        return other_session_state(symbol, session);
    }
    SymbolState& other_session_state(uint32_t symbol, uint8_t session);
    const SymbolState* state_for_record(const TqStringRecord* record) const;

    // Set by the call.
    int32_t control_flags_;
    TarvikMessageCallback callback_;
    std::string tape_path_;

    // The tape.
    TapeBytes bytes_;
    TapeReader reader_;
    TapeTables tables_;
    std::unique_ptr<LiveTape> live_;  // the real-time stream
    BlockPrefetch prefetch_;          // stops before the tape above goes
    uint32_t resume_index_ = 0;      // events of the first block already delivered before a snapshot
    SaveJob save_;

    // String records and option headers, stable for the run.
    StringArena arena_;
    std::vector<SymbolSlot, HugePageAllocator<SymbolSlot>> symbols_;
    std::vector<TqOptionHdrRecord> options_;
    std::vector<TqStringRecord*> text_records_;      // one per text
    std::vector<TqStringRecord*> category_records_;  // one per category
    std::vector<std::vector<const char*>> defined_;  // by table, NUL-terminated
    std::unordered_map<const TqStringRecord*, uint32_t> record_symbols_;  // record -> directory index
    std::vector<TqCategoryFieldRecord> category_fields_;

    // Market state.
    std::vector<SymbolState, HugePageAllocator<SymbolState>> states_;
    std::unordered_map<uint64_t, uint32_t> session_states_;  // (symbol, other session) -> state
    std::vector<MMBook> mm_books_;
    SymbolState scratch_;  // quotes and trades that name no symbol

    // Message being delivered.
    TarvikSystemRecord system_{};
    TarvikMessageRecord message_{};
    Tarvik3ExtRecord ext_{};
    TqTimeRecord last_time_{};
    bool clock_set_ = false;
    bool strings_ready_ = false;
    bool restart_ = false;
    uint32_t current_atom_ = 0;
    bool filtering_ = false;  // a control flag or exclusion key may leave messages out
    uint8_t skip_kind_[256] = {};
    std::vector<uint8_t> excluded_permissions_;
    std::vector<uint8_t> excluded_option_exgs_;  // made by the first such key
};

}  // namespace tarvik::engine
