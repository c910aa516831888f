// One replay of a tape: everything sTarvikProcessTape needs hangs off a Run,
// made by the call and dropped when it returns, so runs on different
// threads never meet. The exports called from inside a callback find the
// calling thread's run through Run::current().
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "market_state.h"
#include "string_arena.h"
#include "tape_format.h"
#include "tape_reader.h"
#include "tarvik/library.h"

namespace tarvik::engine {

// One symbol directory entry at run time.
struct SymbolSlot {
    TqStringRecord* record = nullptr;        // the symbol (an option's root), per (text, listed exchange)
    TqOptionHdrRecord* option = nullptr;     // option contracts only
    uint32_t record_atom = 0;                // full atom of `record`
    uint32_t state = 0;                      // its state in its own session
    uint16_t listed_exg = 0;
    uint8_t session = 0;
    bool skipped = false;                    // excluded by the control flags
};

class Run {
public:
    Run(int32_t control_flags, int32_t user_data, TarvikMessageCallback callback);
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The whole of sTarvikProcessTape, from a file or from bytes in memory.
    int32_t process_file(const char* path);
    int32_t process_memory(const unsigned char* data, std::size_t size);

    // The calling thread's run, or null outside sTarvikProcessTape.
    static Run* current();

    int32_t get_exg_quotes(TarvikStateExgQuotesRecord* out, const TqStringRecord* symbol) const;
    int32_t get_mm_quotes(uint16_t reporting_exg, TarvikStateMMQuotesRecord* out, const TqStringRecord* symbol) const;
    int32_t get_last_trade(TarvikStateTradeRecord* out, const TqStringRecord* symbol) const;
    const char* defined_string(int32_t table, int32_t index) const;
    int32_t tape_name(char* buffer, int32_t size) const;
    int32_t symbol_atom32() const { return static_cast<int32_t>(current_atom_); }

    // Events of this permission id are skipped.
    void exclude_permission(uint16_t permission_id, bool excluded) { excluded_permissions_[permission_id] = excluded; }

private:
    int32_t process(const unsigned char* data, std::size_t size);
    void build_records();
    void reset_state();
    // 0 end of day, or the code to return; sets restart_ on a restart answer.
    int32_t replay();
    int32_t deliver(const TapeEvent& event, const TapeExt* ext);
    void prefetch_slot(const TapeEvent& event) const;
    void prefetch(const TapeEvent& event) const;
    static constexpr uint32_t kPrefetchDistance = 8;
    int32_t deliver_status(int32_t status, int32_t status_data);
    int32_t announce_symbols();
    int32_t call();
    void set_clock(uint64_t micros);
    void set_header(uint32_t symbol, uint16_t reporting_exg, uint8_t session, uint16_t permission_id);
    SymbolState& state_of(uint32_t symbol, uint8_t session);
    const SymbolState* state_for_record(const TqStringRecord* record) const;

    // Set by the call.
    int32_t control_flags_;
    TarvikMessageCallback callback_;
    std::string tape_path_;

    // The tape.
    TapeBytes bytes_;
    TapeReader reader_;
    TapeTables tables_;

    // String records and option headers, stable for the run.
    StringArena arena_;
    std::vector<SymbolSlot> symbols_;
    std::vector<TqOptionHdrRecord> options_;
    std::vector<TqStringRecord*> text_records_;      // one per text
    std::vector<TqStringRecord*> category_records_;  // one per category
    std::vector<std::vector<const char*>> defined_;  // by table, NUL-terminated
    std::unordered_map<const TqStringRecord*, uint32_t> record_symbols_;  // record -> directory index
    std::vector<TqCategoryFieldRecord> category_fields_;

    // Market state.
    std::vector<SymbolState> states_;
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
    uint8_t skip_kind_[256] = {};
    std::vector<uint8_t> excluded_permissions_;
};

}  // namespace tarvik::engine
