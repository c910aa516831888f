#include "engine/market_state.h"

#include <climits>
#include <cstdint>

#include "engine/engine_constants.h"

namespace tarvik::engine {
namespace {

// a - b held to the 32-bit range: a tape may carry any 32-bit price or size,
// and a change or distance between two of them must not overflow.
constexpr int32_t difference(int32_t a, int32_t b) {
    int32_t d;
    if (__builtin_sub_overflow(a, b, &d)) [[unlikely]] return a < 0 ? INT32_MIN : INT32_MAX;
    return d;
}

// All bits set for true, none for false: a select without a branch.
constexpr uint64_t mask_of(bool b) { return uint64_t{0} - b; }

// Each side of a quote as one number that orders quotes the way the rules
// do: the price first (higher bids, lower asks), then the size; 0 for a
// side without a price or a size.
constexpr uint64_t bid_rank(int32_t price, int32_t size) {
    return ((uint64_t(uint32_t(price)) << 32) | uint32_t(size)) & mask_of((price > 0) & (size > 0));
}
constexpr uint64_t ask_rank(int32_t price, int32_t size) {
    // Unsigned, so a price at or below zero (ranked 0 by the mask) cannot
    // overflow on the way.
    const uint32_t inverted = uint32_t{INT32_MAX} - uint32_t(price);
    return ((uint64_t{inverted} << 32) | uint32_t(size)) & mask_of((price > 0) & (size > 0));
}

// best_slot: the slot holding the best bid or ask of the book (by Rank),
// or -1: the highest rank; ties go to the exchange that held the best
// before, then to the earlier slot. Each slot weighs twice its rank, plus
// one for the exchange that held the best, so one comparison settles the
// rules. Quotes come in no order and books differ in size, so there are
// no branches on either: the slots are weighed four at a time, those past
// the count weighing nothing.
constexpr int kSlotGroup = 4;
static_assert(kMaxExchangeQuotes % kSlotGroup == 0);

constexpr uint64_t bid_rank_of(const ExgQuoteSlot& q) { return bid_rank(q.bid, q.bid_size); }
constexpr uint64_t ask_rank_of(const ExgQuoteSlot& q) { return ask_rank(q.ask, q.ask_size); }

template <uint64_t (*Rank)(const ExgQuoteSlot&)>
int best_slot(const QuoteBook& book, uint16_t previous_exg) {
    uint64_t best = 0;
    int at = -1;
    for (int group = 0; group < book.count; group += kSlotGroup) {
        for (int i = group; i < group + kSlotGroup; ++i) {
            const ExgQuoteSlot& q = book.slots[i];
            const uint64_t rank = Rank(q) & mask_of(i < book.count);
            const uint64_t weight = rank * 2 + ((rank != 0) & (q.exg == previous_exg));
            at = weight > best ? i : at;
            best = weight > best ? weight : best;
        }
    }
    return at;
}

void take_bid(Nbbo& best, const ExgQuoteSlot& q) {
    best.bid = q.bid, best.bid_size = q.bid_size, best.bid_exg = q.exg, best.bid_condition = q.condition;
}
void take_ask(Nbbo& best, const ExgQuoteSlot& q) {
    best.ask = q.ask, best.ask_size = q.ask_size, best.ask_exg = q.exg, best.ask_condition = q.condition;
}

// The best bid after the quote `q` changed, found without a pass over the
// book where the answer is certain: the changed quote beats the best, or
// it held the best and did not get worse. Otherwise a pass decides.
void update_best_bid(const QuoteBook& book, const ExgQuoteSlot& q, Nbbo& best) {
    const uint64_t rank = bid_rank(q.bid, q.bid_size);
    const bool had = best.bid > 0;
    const uint64_t held = (uint64_t(uint32_t(best.bid)) << 32) | uint32_t(best.bid_size);
    if (had && q.exg == best.bid_exg) {
        if (rank != 0 && rank >= held) {
            take_bid(best, q);
            return;
        }
        const int at = best_slot<bid_rank_of>(book, best.bid_exg);
        if (at >= 0) {
            take_bid(best, book.slots[at]);
        } else {
            best.bid = 0, best.bid_size = 0, best.bid_exg = 0, best.bid_condition = 0;
        }
    } else if (rank != 0 && (!had || rank > held)) {
        take_bid(best, q);
    }
}
void update_best_ask(const QuoteBook& book, const ExgQuoteSlot& q, Nbbo& best) {
    const uint64_t rank = ask_rank(q.ask, q.ask_size);
    const bool had = best.ask > 0;
    const uint64_t held = (uint64_t(uint32_t{INT32_MAX} - uint32_t(best.ask)) << 32) | uint32_t(best.ask_size);
    if (had && q.exg == best.ask_exg) {
        if (rank != 0 && rank >= held) {
            take_ask(best, q);
            return;
        }
        const int at = best_slot<ask_rank_of>(book, best.ask_exg);
        if (at >= 0) {
            take_ask(best, book.slots[at]);
        } else {
            best.ask = 0, best.ask_size = 0, best.ask_exg = 0, best.ask_condition = 0;
        }
    } else if (rank != 0 && (!had || rank > held)) {
        take_ask(best, q);
    }
}

}  // namespace

void apply_exg_quote(QuoteBook& book, const QuoteInput& quote, TarvikExgQuoteBody& out) {
    int slot = find_quote_slot(book, quote.exg);
    ExgQuoteSlot before{};
    if (slot >= 0) {
        before = book.slots[slot];
    } else if (book.count < kMaxExchangeQuotes) {
        slot = book.count++;
        if (quote.exg < kDirectExchanges) book.slot_of[quote.exg] = static_cast<uint8_t>(slot + 1);
    } else {
        slot = -1;  // a 25th exchange: delivered, not kept
    }
    out.coreQuote.AskSizeChange = difference(quote.ask_size, before.ask_size);
    out.coreQuote.BidSizeChange = difference(quote.bid_size, before.bid_size);
    out.coreQuote.AskPriceChange = difference(quote.ask, before.ask);
    out.coreQuote.BidPriceChange = difference(quote.bid, before.bid);

    Nbbo& now = book.nbbo;
    const Nbbo old = now;
    if (slot >= 0) {
        ExgQuoteSlot& q = book.slots[slot];
        q.ask = quote.ask;
        q.bid = quote.bid;
        q.ask_size = quote.ask_size;
        q.bid_size = quote.bid_size;
        q.ms = static_cast<uint32_t>(quote.micros / 1000);
        q.exg = quote.exg;
        q.condition = quote.condition;
        book.nasdaq_bid_tick = quote.nasdaq_bid_tick;
        update_best_bid(book, q, now);
        update_best_ask(book, q, now);
    }

    out.BestAskPrice = now.ask;
    out.BestBidPrice = now.bid;
    out.BestAskPriceChange = difference(now.ask, old.ask);
    out.BestBidPriceChange = difference(now.bid, old.bid);
    out.BestAskSize = now.ask_size;
    out.BestBidSize = now.bid_size;
    out.BestAskSizeChange = difference(now.ask_size, old.ask_size);
    out.BestBidSizeChange = difference(now.bid_size, old.bid_size);
    out.BestAskExg = now.ask_exg;
    out.BestBidExg = now.bid_exg;
    out.PrevBestAskExg = old.ask_exg;
    out.PrevBestBidExg = old.bid_exg;
    out.BestAskCondition = now.ask_condition;
    out.BestBidCondition = now.bid_condition;
    uint8_t flags = 0;
    if (now.bid_exg != old.bid_exg) flags |= TqBBOCHANGE_BIDEXG;
    if (now.bid != old.bid) flags |= TqBBOCHANGE_BIDPRICE;
    if (now.bid_size != old.bid_size) flags |= TqBBOCHANGE_BIDSIZE;
    if (now.ask_exg != old.ask_exg) flags |= TqBBOCHANGE_ASKEXG;
    if (now.ask != old.ask) flags |= TqBBOCHANGE_ASKPRICE;
    if (now.ask_size != old.ask_size) flags |= TqBBOCHANGE_ASKSIZE;
    out.BBOChangeFlags = flags;
}

void apply_mm_quote(MMBook& book, const QuoteInput& quote, uint32_t market_maker, uint8_t market_maker_type,
                    uint8_t quote_type, TarvikQuoteRecord& out) {
    MMQuoteSlot* slot = nullptr;
    if (market_maker != kNone) {
        for (MMQuoteSlot& s : book.slots) {
            if (s.market_maker == market_maker && s.exg == quote.exg) {
                slot = &s;
                break;
            }
        }
        if (slot == nullptr && book.slots.size() < kMaxMarketMakerQuotes) {
            book.slots.push_back(MMQuoteSlot{});
            slot = &book.slots.back();
            slot->market_maker = market_maker;
            slot->exg = quote.exg;
        }
    }
    const MMQuoteSlot before = slot != nullptr ? *slot : MMQuoteSlot{};
    out.AskSizeChange = difference(quote.ask_size, before.ask_size);
    out.BidSizeChange = difference(quote.bid_size, before.bid_size);
    out.AskPriceChange = difference(quote.ask, before.ask);
    out.BidPriceChange = difference(quote.bid, before.bid);
    if (slot == nullptr) return;
    slot->ask = quote.ask;
    slot->bid = quote.bid;
    slot->ask_size = quote.ask_size;
    slot->bid_size = quote.bid_size;
    slot->market_maker_type = market_maker_type;
    slot->quote_type = quote_type;
    book.nasdaq_bid_tick = quote.nasdaq_bid_tick;
}

void match_quote(int32_t price, int32_t bid, int32_t ask, uint8_t& type, int32_t& distance, uint8_t& flags) {
    distance = 0;
    flags = 0;
    if (bid <= 0 && ask <= 0) {
        type = TqRTA_QMTYPE_NONE;
        return;
    }
    if (bid > 0 && ask > 0 && bid > ask) flags |= TqRTA_QTEMATCHFLAG_CROSSED;
    if (bid > 0 && price == bid) {
        type = TqRTA_QMTYPE_BID;
    } else if (ask > 0 && price == ask) {
        type = TqRTA_QMTYPE_ASK;
    } else if (bid > 0 && price < bid) {
        type = TqRTA_QMTYPE_BELOWBID;
        distance = difference(price, bid);
    } else if (ask > 0 && price > ask) {
        type = TqRTA_QMTYPE_ABOVEASK;
        distance = difference(price, ask);
    } else if (bid > 0 && ask > 0) {
        type = TqRTA_QMTYPE_INSIDE;
        // Signed distance to the nearer side: negative above the bid's
        // side of the spread means closer to the ask.
        distance = difference(price, bid) <= difference(ask, price) ? difference(price, bid) : difference(price, ask);
    } else {
        // One side only, and the price is on the far side of it.
        type = bid > 0 ? TqRTA_QMTYPE_ABOVEASK : TqRTA_QMTYPE_BELOWBID;
        distance = bid > 0 ? difference(price, bid) : difference(price, ask);
    }
}

namespace {

// Where a trade printed, against the reporting exchange's quote and the NBBO.
void match_quotes(const QuoteBook& book, const TradeInput& trade, TqCTAnalysisRecord& a) {
    const int regional_slot = find_quote_slot(book, trade.exg);
    if (regional_slot >= 0) {
        const ExgQuoteSlot& regional = book.slots[regional_slot];
        match_quote(trade.price, regional.bid, regional.ask, a.QteMatchTypeRGN, a.QteMatchDistanceRGN,
                    a.QteMatchFlagsRGN);
        if (trade.micros / 1000 >= uint64_t{regional.ms} + 1000) a.QteMatchFlagsRGN |= TqRTA_QTEMATCHFLAG_OLDER;
    }
    match_quote(trade.price, book.nbbo.bid, book.nbbo.ask, a.QteMatchTypeBBO, a.QteMatchDistanceBBO,
                a.QteMatchFlagsBBO);
}

// The open, high, low and last a trade sets (unless its conditions say
// otherwise); the price flags it earns are added to `price_flags`.
void set_prices(SymbolState& state, const TradeInput& trade, TqCTAnalysisRecord& a, uint8_t& price_flags) {
    TradeState& t = state.trade;
    const bool sets_last = !(trade.condition_flags & TqTCF_NOLAST);
    const bool sets_high = !(trade.condition_flags & TqTCF_NOHIGH) && (!t.has_high || trade.price > t.high);
    const bool sets_low = !(trade.condition_flags & TqTCF_NOLOW) && (!t.has_low || trade.price < t.low);
    if (sets_last && !t.has_open) {
        t.open = trade.price;
        t.has_open = true;
        price_flags |= TqTPF_SETOPEN;
    }
    if (sets_high) {
        if (t.has_high) {
            a.SigHiLoType = TqRTA_SIGHL_HIGHEST;
            a.SigHiLoSeconds = static_cast<uint32_t>((trade.micros - t.high_micros) / 1'000'000);
        }
        t.high = trade.price;
        t.high_micros = trade.micros;
        t.has_high = true;
        price_flags |= TqTPF_SETHIGH;
    }
    if (sets_low) {
        if (t.has_low) {
            a.SigHiLoType = TqRTA_SIGHL_LOWEST;
            a.SigHiLoSeconds = static_cast<uint32_t>((trade.micros - t.low_micros) / 1'000'000);
        }
        t.low = trade.price;
        t.low_micros = trade.micros;
        t.has_low = true;
        price_flags |= TqTPF_SETLOW;
    }
    if (sets_last) {
        t.tick = t.has_last ? difference(trade.price, t.last) : 0;
        t.last = trade.price;
        t.has_last = true;
        t.net_change = state.prev_close != 0 ? difference(t.last, state.prev_close) : 0;
        price_flags |= TqTPF_SETLAST;
    }
}

void add_volume(TradeState& t, const TradeInput& trade) {
    switch (trade.volume_type) {
    case TqTVT_INCRVOL:
        t.total_volume += trade.size;
        t.fractional_total_volume += trade.fractional_size;
        ++t.tick_volume;
        break;
    case TqTVT_TOTALVOL:
        t.total_volume = trade.size;
        t.fractional_total_volume = uint64_t{trade.size} * 1'000'000;
        break;
    case TqTVT_TOTALVOLx100:
        t.total_volume = uint64_t{trade.size} * 100;
        t.fractional_total_volume = uint64_t{trade.size} * 100'000'000;
        break;
    default:  // TqTVT_NONINCRVOL and unknown types add nothing
        break;
    }
}

}  // namespace

void apply_trade(SymbolState& state, const TradeInput& trade, TarvikTradeBody& out) {
    TradeState& t = state.trade;
    uint8_t price_flags = trade.tape_price_flags & kTapePriceFlags;
    TqCTAnalysisRecord& a = out.tqAnalysis;
    a = TqCTAnalysisRecord{};
    match_quotes(state.quotes, trade, a);

    ++t.trades;
    t.price = trade.price;
    t.condition_flags = trade.condition_flags;
    t.volume_type = trade.volume_type;
    if (!(price_flags & TqTPF_EXGCANCEL)) {
        set_prices(state, trade, a, price_flags);
        add_volume(t, trade);
    }
    t.price_flags = price_flags;

    out.PriceFlags = price_flags;
    out.TotalVolume = t.total_volume;
    out.TickVolume = t.tick_volume;
    out.Open = t.open;
    out.High = t.high;
    out.Low = t.low;
    out.Last = t.last;
    out.Tick = t.tick;
    out.NetChange = t.net_change;
}

void fill_exg_quotes_record(const SymbolState& state, TarvikStateExgQuotesRecord& out) {
    const QuoteBook& book = state.quotes;
    out.StateQuoteCount = book.count;
    out.PriceType = state.price_type;
    out.NasdaqBidTick = book.nasdaq_bid_tick;
    out.BestAskExg = book.nbbo.ask_exg;
    out.BestBidExg = book.nbbo.bid_exg;
    for (int i = 0; i < kMaxExchangeQuotes; ++i) {
        TarvikStateExgQuoteRecord& e = out.StateExgQuotes[i];
        if (i >= book.count) {
            e = TarvikStateExgQuoteRecord{};
            continue;
        }
        const ExgQuoteSlot& q = book.slots[i];
        e.AskPrice = q.ask;
        e.BidPrice = q.bid;
        e.AskSize = q.ask_size;
        e.BidSize = q.bid_size;
        e.ReportingExg = q.exg;
        e.QuoteCondition = q.condition;
        e.unused = 0;
    }
}

void fill_trade_record(const SymbolState& state, TarvikStateTradeRecord& out) {
    const TradeState& t = state.trade;
    out.TotalVolume = t.total_volume;
    out.TickVolume = t.tick_volume;
    out.PriceType = state.price_type;
    out.PriceFlags = t.price_flags;
    out.ConditionFlags = t.condition_flags;
    out.VolumeType = t.volume_type;
    out.Open = t.open;
    out.High = t.high;
    out.Low = t.low;
    out.Last = t.last;
    out.NetChange = t.net_change;
    out.Price = t.price;
    out.Threshold = 0;
    out.Tick = t.tick;
}

}  // namespace tarvik::engine
