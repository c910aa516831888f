// The market state of one symbol in one session, and the plain functions
// that derive it from the day's events: each exchange's latest quote and
// the national best bid and offer, market-maker quotes, and the trade state
// (open, high, low, last, volumes) with each trade's analysis. Prices are
// kept in the symbol's own price type.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/tape_format.h"
#include "tarvik/library.h"

namespace tarvik::engine {

inline constexpr int kMaxExchangeQuotes = kStateExgQuoteCapacity;  // 24
inline constexpr int kMaxMarketMakerQuotes = kStateMMQuoteCapacity;  // 512
inline constexpr uint16_t kAllExchanges = 0xFFFF;

struct ExgQuoteSlot {
    int32_t ask = 0;
    int32_t bid = 0;
    int32_t ask_size = 0;
    int32_t bid_size = 0;
    uint32_t ms = 0;  // when it was quoted, milliseconds of the day
    uint16_t exg = 0;
    uint8_t condition = 0;
};

struct Nbbo {
    int32_t ask = 0;  // 0: no offer
    int32_t bid = 0;  // 0: no bid
    int32_t ask_size = 0;
    int32_t bid_size = 0;
    uint16_t ask_exg = 0;
    uint16_t bid_exg = 0;
    uint8_t ask_condition = 0;
    uint8_t bid_condition = 0;
};

// Exchanges below this code find their slot through QuoteBook::slot_of
// instead of a search.
inline constexpr uint16_t kDirectExchanges = 32;

struct QuoteBook {
    uint8_t count = 0;  // valid slots, at most kMaxExchangeQuotes
    uint8_t nasdaq_bid_tick = 0;
    uint8_t slot_of[kDirectExchanges] = {};  // slot + 1 by exchange code, 0: none yet
    Nbbo nbbo;
    ExgQuoteSlot slots[kMaxExchangeQuotes];
};

// The slot of an exchange's quote in the book, or -1.
inline int find_quote_slot(const QuoteBook& book, uint16_t exg) {
    if (exg < kDirectExchanges) return book.slot_of[exg] - 1;
    for (int i = 0; i < book.count; ++i) {
        if (book.slots[i].exg == exg) return i;
    }
    return -1;
}
static_assert(sizeof(ExgQuoteSlot) == 24);

struct MMQuoteSlot {
    int32_t ask = 0;
    int32_t bid = 0;
    int32_t ask_size = 0;
    int32_t bid_size = 0;
    uint32_t market_maker = kNone;  // text index
    uint16_t exg = 0;               // reporting exchange
    uint8_t market_maker_type = 0;
    uint8_t quote_type = 0;
};

struct MMBook {
    uint8_t nasdaq_bid_tick = 0;
    std::vector<MMQuoteSlot> slots;  // at most kMaxMarketMakerQuotes
};

struct TradeState {
    uint64_t total_volume = 0;
    uint64_t fractional_total_volume = 0;  // six implied decimals
    uint32_t tick_volume = 0;
    int32_t open = 0;
    int32_t high = 0;
    int32_t low = 0;
    int32_t last = 0;
    int32_t tick = 0;
    int32_t net_change = 0;
    int32_t price = 0;  // of the latest trade, whatever it set
    uint64_t high_micros = 0;  // when the high, the low were last set
    uint64_t low_micros = 0;
    uint32_t trades = 0;  // trades seen, cancels included
    uint8_t price_flags = 0;
    uint8_t condition_flags = 0;
    uint8_t volume_type = 0;
    bool has_open = false;
    bool has_high = false;
    bool has_low = false;
    bool has_last = false;
};

// Laid out so that the parts one message touches share few cache lines:
// the trade state, then the NBBO and the first exchanges' quotes.
struct SymbolState {
    TradeState trade;
    int32_t prev_close = 0;
    uint8_t price_type = 0;
    uint32_t mm_book = kNone;  // index of its MMBook in the run
    QuoteBook quotes;
};

// A quote as the tape gives it, prices already in the symbol's price type.
struct QuoteInput {
    int32_t bid;
    int32_t ask;
    int32_t bid_size;
    int32_t ask_size;
    uint16_t exg;
    uint8_t condition;
    uint8_t nasdaq_bid_tick;
    uint64_t micros;
};

// Records the quote of one exchange and refreshes the NBBO: the highest bid
// and the lowest ask over the book's quotes with a price and a size above
// zero; ties go to the larger size, then to the exchange that held the best
// before, then to the earlier slot. Fills the quote's change fields and the
// whole NBBO part of `out` (the quote's own prices, sizes and flags are the
// caller's).
void apply_exg_quote(QuoteBook& book, const QuoteInput& quote, TarvikExgQuoteBody& out);

// Records the quote of one market maker at one exchange; fills the change
// fields of `out`. A quote without a market maker changes no state.
void apply_mm_quote(MMBook& book, const QuoteInput& quote, uint32_t market_maker, uint8_t market_maker_type,
                    uint8_t quote_type, TarvikQuoteRecord& out);

struct TradeInput {
    int32_t price;  // in the symbol's price type
    uint32_t size;
    uint64_t fractional_size;  // six implied decimals
    uint64_t micros;
    uint16_t exg;
    uint8_t condition_flags;
    uint8_t volume_type;
    uint8_t tape_price_flags;  // insert, cancel, settlement
};

// Applies a trade to the state and fills, in `out`, PriceFlags, the
// analysis and the running fields from TotalVolume to NetChange.
void apply_trade(SymbolState& state, const TradeInput& trade, TarvikTradeBody& out);

// Where a price stands against a bid and an ask, and how far from it.
void match_quote(int32_t price, int32_t bid, int32_t ask, uint8_t& type, int32_t& distance, uint8_t& flags);

// The state records of the queries.
void fill_exg_quotes_record(const SymbolState& state, TarvikStateExgQuotesRecord& out);
void fill_trade_record(const SymbolState& state, TarvikStateTradeRecord& out);

}  // namespace tarvik::engine
