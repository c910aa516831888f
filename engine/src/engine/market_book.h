// The market state of a run: one SymbolState per symbol in its own session
// (at the symbol's directory index), more made on first use for a symbol
// quoted or traded in another session, the market-maker books, and a
// scratch state for quotes and trades that name no symbol. The state
// queries read it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/huge_pages.h"
#include "engine/market_state.h"
#include "engine/state_snapshot.h"
#include "engine/symbol_directory.h"
#include "engine/tape_format.h"

namespace tarvik::engine {

// The lines of a symbol's state each message kind touches, as offsets;
// repeats fill the rest.
using StateLines = std::array<uint16_t, 5>;
constexpr StateLines state_lines_between(std::size_t first, std::size_t last) {
    StateLines lines{};
    std::size_t at = first & ~std::size_t{63};
    for (uint16_t& line : lines) {
        line = static_cast<uint16_t>(at);
        if (at + 64 < last) at += 64;
    }
    return lines;
}
inline constexpr std::array<StateLines, 256> kStateLines = [] {
    std::array<StateLines, 256> table{};
    // A quote reads the price type, the book's head and the NBBO, and the
    // slots (all of them when the best must be found again): most books
    // hold eight exchanges or fewer.
    constexpr std::size_t kSlots = offsetof(SymbolState, quotes) + offsetof(QuoteBook, slots);
    table[TqMSG_EXGQUOTE] = state_lines_between(offsetof(SymbolState, price_type), kSlots + 8 * sizeof(ExgQuoteSlot));
    table[TqMSG_MMQUOTE] = state_lines_between(offsetof(SymbolState, price_type), offsetof(SymbolState, mm_book) + 4);
    // A trade reads its trade state, and the NBBO and the book's head to
    // match its price against the quotes.
    table[TqMSG_TRADE] = state_lines_between(0, offsetof(SymbolState, quotes) + offsetof(QuoteBook, slots));
    return table;
}();

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
    // Asks for the lines of a symbol's own state that a message of `kind`
    // will touch. At many instruments every message waits on memory, and a
    // line not needed takes a fill buffer from one that is; the count is
    // the same for every kind, so that no branch depends on it.
    void prefetch(uint32_t symbol, uint8_t kind) const {
        const char* state = reinterpret_cast<const char*>(&states_[symbol]);
        for (uint16_t line : kStateLines[kind]) __builtin_prefetch(state + line, 1);
    }
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
