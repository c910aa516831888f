// One replay of a tape: everything sTarvikProcessTape needs hangs off a Run,
// made by the call and dropped when it returns, so runs on different
// threads never meet. The exports called from inside a callback find the
// calling thread's run through Run::current().
//
// A run is made of parts, each with its own header: where the events come
// from (TapeSource), the records clients point at (SymbolDirectory), the
// market state and its queries (MarketBook), what is left out
// (Exclusions) and snapshots (SaveScheduler). The run itself is the
// replay: it walks the blocks, keeps the records it delivers, and has one
// deliver_* per message kind.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/exclusions.h"
#include "engine/market_book.h"
#include "engine/save_scheduler.h"
#include "engine/state_snapshot.h"
#include "engine/symbol_directory.h"
#include "engine/tape_format.h"
#include "engine/tape_source.h"
#include "tarvik/library.h"

namespace tarvik::engine {

class Run final : private SaveHost {
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

    // For a client in this process that reads only some of a day (the
    // columnar reads), set before the run starts: the messages of `kind`,
    // or of the symbols whose text (an option's root) `wanted` turns down,
    // are neither delivered nor applied to the state. Only such a client
    // can ask for a state, so what it leaves out need not be kept.
    void leave_out_kind(uint8_t kind) { exclusions_.leave_out_kind(kind); }
    void keep_only_symbols(std::function<bool(const std::string&)> wanted) {
        wanted_symbols_ = std::move(wanted);
        exclusions_.leave_out_skipped_symbols();
    }

    // For a client in this process that may go away before the day ends:
    // once `*stop` is set (from any thread) the replay ends at the next
    // block, with TqAPIERR_USER_STOPPED, however few messages it delivers.
    void stop_when(const std::atomic<bool>* stop) { stop_ = stop; }

    // The internal answer of a replay that is to start the day again.
    static constexpr int32_t kRestartRequested = 2;

    // The calling thread's run, or null outside sTarvikProcessTape.
    static Run* current();

    int32_t get_exg_quotes(TarvikStateExgQuotesRecord* out, const TqStringRecord* symbol) const {
        return book_.get_exg_quotes(out, directory_.symbol_of(symbol));
    }
    int32_t get_mm_quotes(uint16_t reporting_exg, TarvikStateMMQuotesRecord* out, const TqStringRecord* symbol) const {
        return book_.get_mm_quotes(reporting_exg, out, directory_.symbol_of(symbol), directory_);
    }
    int32_t get_last_trade(TarvikStateTradeRecord* out, const TqStringRecord* symbol) const {
        return book_.get_last_trade(out, directory_.symbol_of(symbol));
    }
    const char* defined_string(int32_t table, int32_t index) const {
        return strings_ready_ ? directory_.defined_string(table, index) : nullptr;
    }
    int32_t tape_name(char* buffer, int32_t size) const;
    int32_t symbol_atom32() const { return static_cast<int32_t>(current_atom_); }

    // sTarvikExcludeOpraExch's keys.
    static int32_t check_exclusion_key(int32_t key) { return Exclusions::check_key(key); }
    int32_t exclude(int32_t key) { return exclusions_.exclude(key); }

    // sTarvikSpinSymbols: one symbol-spin message per symbol (plain or
    // option contracts) of a listed exchange or of all, to `callback`.
    int32_t spin_symbols(uint16_t listed_exg, int32_t flags, int32_t spin_id, TarvikMessageCallback callback,
                         int32_t user_data);

    // sTarvikSaveState: schedules (or cancels) a snapshot.
    int32_t request_save(const char* path, int32_t flags) {
        return saves_.request(path, flags, !source_.path().empty(), source_.bytes());
    }

private:
    bool check_crc() const;
    int32_t process(const unsigned char* data, std::size_t size);
    int32_t process_snapshot();
    int32_t check_resume_position(const StateSnapshot& snapshot) const;
    void restore(StateSnapshot& snapshot);
    int32_t process_live();
    void start_day();
    int32_t run_day(bool resumed);
    int32_t restart_day();
    // 0 end of day, or the code to return, or kRestartRequested.
    int32_t replay();
    int32_t replay_events();
    int32_t replay_block(const EventBlock& block, std::size_t block_start);
    int32_t end_of_events();

    // SaveHost.
    int32_t report_save(int32_t phase) override;
    std::vector<unsigned char> capture_state(std::size_t position, uint32_t event_index) override;

    // What a message will touch is fetched while earlier ones are
    // delivered: symbols come in no order, so this hides misses.
    // The slot and the state of a symbol sit at its index, so both are
    // asked for well ahead, without waiting on anything.
    void prefetch_far(const TapeEvent& event) const {
        if (event.symbol == kNone) return;
        __builtin_prefetch(&directory_[event.symbol]);
        book_.prefetch(event.symbol, event.kind);
    }
    // The slot, fetched earlier, names what else the message will touch:
    // the string record and option header that the client reads.
    void prefetch_near(const TapeEvent& event) const {
        if (event.symbol == kNone) return;
        const SymbolSlot& slot = directory_[event.symbol];
        __builtin_prefetch(slot.record, 1);
        // An option header has a line of its own. Without one the slot's
        // own line is fetched again, which costs nothing: options come in
        // no order, so a branch here would often be mispredicted.
        __builtin_prefetch(slot.option != nullptr ? static_cast<const void*>(slot.option) : &slot);
    }
    // How many messages ahead each is asked for: far enough that memory
    // answers in time, near enough that what came stays in the cache.
    static constexpr uint32_t kNearDistance = 8;
    static constexpr uint32_t kFarDistance = 16;

    // Delivery, one per message kind; each answers the callback's answer.
    // The frequent kinds are made part of deliver() (run_delivery.cpp, the
    // only caller), as one function was measurably faster than a call each.
    int32_t deliver(const TapeEvent& event, const TapeExt* ext);
    [[gnu::always_inline]] inline int32_t deliver_quote(const TapeEvent& event, const TapeExt* ext);
    [[gnu::always_inline]] inline int32_t deliver_mm_quote(const TapeEvent& event, const TapeExt* ext);
    [[gnu::always_inline]] inline int32_t deliver_trade(const TapeEvent& event, const TapeExt* ext);
    int32_t deliver_category(const TapeEvent& event, const TapeExt* ext);
    int32_t deliver_symbol_change(const TapeEvent& event, const TapeExt* ext);
    int32_t deliver_tape_status(const TapeEvent& event);
    int32_t deliver_bodiless(const TapeEvent& event, const TapeExt* ext);
    int32_t deliver_status(int32_t status, int32_t status_data);
    int32_t announce_symbols();
    // The state a quote or trade of the event changes.
    SymbolState& state_for(const TapeEvent& event) {
        if (event.symbol == kNone) return book_.scratch();
        return book_.state_of(event.symbol, event.session, directory_[event.symbol].session);
    }
    // Fills the quote body both quote kinds share: the prices in the
    // state's price type.
    [[gnu::always_inline]] inline QuoteInput quote_input(const TapeEvent& event, const SymbolState& state,
                                                         TarvikQuoteRecord& core);
    // Sets the extension (or none) and calls the client.
    [[gnu::always_inline]] inline int32_t finish_message(const TapeEvent& event, const TapeExt* ext,
                                                         uint64_t fractional_total);
    int32_t call();
    int32_t call_with_status(int32_t status, int32_t status_data);
    void set_clock(uint64_t micros);
    void set_header(uint32_t symbol, uint16_t reporting_exg, uint8_t session, uint16_t permission_id);

    // Set by the call.
    int32_t control_flags_;
    TarvikMessageCallback callback_;
    std::function<bool(const std::string&)> wanted_symbols_;  // all, when empty
    const std::atomic<bool>* stop_ = nullptr;                  // stop_when()

    // The parts.
    TapeSource source_;
    SymbolDirectory directory_;
    MarketBook book_;
    Exclusions exclusions_;
    SaveScheduler saves_;
    uint32_t resume_index_ = 0;  // events of the first block already delivered before a snapshot

    // Message being delivered.
    TarvikSystemRecord system_{};
    TarvikMessageRecord message_{};
    Tarvik3ExtRecord ext_{};
    std::vector<TqCategoryFieldRecord> category_fields_;
    TqTimeRecord last_time_{};
    bool clock_set_ = false;
    bool strings_ready_ = false;
    bool restart_ = false;
    uint32_t current_atom_ = 0;
};

}  // namespace tarvik::engine
