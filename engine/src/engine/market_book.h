// The market state of a run: one SymbolState per symbol in its own session
// (at the symbol's directory index), more made on first use for a symbol
// quoted or traded in another session, the market-maker books, and a
// scratch state for quotes and trades that name no symbol. The state
// queries read it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/huge_pages.h"
#include "engine/market_state.h"
#include "engine/state_snapshot.h"
#include "engine/symbol_directory.h"
#include "engine/tape_format.h"

namespace tarvik::engine {

class MarketBook {
public:
    // A fresh state for every symbol of the tables: nothing quoted or
    // traded, each with its previous close and price type.
    void reset(const TapeTables& tables);

    // The state of a symbol in a session: its own session's at once, any
    // other made on first use.
    SymbolState& state_of(uint32_t symbol, uint8_t session, uint8_t own_session) {
        if (session == own_session) [[likely]] return states_[symbol];
        return other_session_state(symbol, session);
    }
    SymbolState& scratch() { return scratch_; }
    // Where a symbol's own state lies, to be fetched ahead.
    const char* address_of(uint32_t symbol) const { return reinterpret_cast<const char*>(&states_[symbol]); }
    // The state's market-maker book, made on its first quote.
    MMBook& mm_book_of(SymbolState& state);

    // The queries: 0 with the record filled, or the result code.
    int32_t get_exg_quotes(TarvikStateExgQuotesRecord* out, uint32_t symbol) const;
    int32_t get_mm_quotes(uint16_t reporting_exg, TarvikStateMMQuotesRecord* out, uint32_t symbol,
                          const SymbolDirectory& directory) const;
    int32_t get_last_trade(TarvikStateTradeRecord* out, uint32_t symbol) const;

    // The state as a snapshot keeps it, and back (after the snapshot's
    // references were checked against the tape).
    void capture(StateSnapshot& snapshot) const;
    void restore(StateSnapshot& snapshot);

private:
    SymbolState& other_session_state(uint32_t symbol, uint8_t session);

    const TapeTables* tables_ = nullptr;
    std::vector<SymbolState, HugePageAllocator<SymbolState>> states_;
    std::unordered_map<uint64_t, uint32_t> session_states_;  // (symbol, other session) -> state
    std::vector<MMBook> mm_books_;
    SymbolState scratch_;
};

}  // namespace tarvik::engine
