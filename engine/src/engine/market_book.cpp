#include "engine/market_book.h"

#include "engine/engine_constants.h"

namespace tarvik::engine {

void MarketBook::reset(const TapeTables& tables) {
    tables_ = &tables;
    const std::size_t n = tables.symbols.size();
    states_.assign(n, SymbolState{});
    for (std::size_t i = 0; i < n; ++i) {
        states_[i].prev_close = tables.symbols[i].prev_close;
        states_[i].price_type = tables.symbols[i].price_type;
    }
    session_states_.clear();
    mm_books_.clear();
    // Messages that name no symbol keep their quotes here, and its market
    // maker book was among those just cleared.
    scratch_ = SymbolState{};
}

SymbolState& MarketBook::other_session_state(uint32_t symbol, uint8_t session) {
    const uint64_t key = (uint64_t{symbol} << 8) | session;
    auto it = session_states_.find(key);
    if (it != session_states_.end()) return states_[it->second];
    SymbolState fresh;
    fresh.prev_close = tables_->symbols[symbol].prev_close;
    fresh.price_type = tables_->symbols[symbol].price_type;
    states_.push_back(fresh);
    session_states_.emplace(key, static_cast<uint32_t>(states_.size() - 1));
    return states_.back();
}

MMBook& MarketBook::mm_book_of(SymbolState& state) {
    if (state.mm_book == kNone) {
        state.mm_book = static_cast<uint32_t>(mm_books_.size());
        mm_books_.emplace_back();
    }
    return mm_books_[state.mm_book];
}

int32_t MarketBook::get_exg_quotes(TarvikStateExgQuotesRecord* out, uint32_t symbol) const {
    if (out == nullptr || symbol == kNone) return TqAPIERR_BAD_PARAMETERS;
    const SymbolState& st = states_[symbol];
    if (st.quotes.count == 0) return TqAPIERR_NODATATYPE_FOR_SESSION;
    fill_exg_quotes_record(st, *out);
    return 0;
}

int32_t MarketBook::get_mm_quotes(uint16_t reporting_exg, TarvikStateMMQuotesRecord* out, uint32_t symbol,
                                  const SymbolDirectory& directory) const {
    if (out == nullptr || symbol == kNone) return TqAPIERR_BAD_PARAMETERS;
    const SymbolState& st = states_[symbol];
    if (st.mm_book == kNone) return TqAPIERR_NODATATYPE_FOR_SESSION;
    const MMBook& book = mm_books_[st.mm_book];
    uint16_t count = 0;
    for (const MMQuoteSlot& s : book.slots) {
        if (reporting_exg != kAllExchanges && s.exg != reporting_exg) continue;
        TarvikStateMMQuoteRecord& r = out->StateMMQuotes[count++];
        r = TarvikStateMMQuoteRecord{};
        r.AskPrice = s.ask;
        r.BidPrice = s.bid;
        r.AskSize = s.ask_size;
        r.BidSize = s.bid_size;
        r.ptqStringMarketMaker = directory.text_record(s.market_maker);
        r.MarketMakerType = s.market_maker_type;
        r.QuoteType = s.quote_type;
    }
    if (count == 0) return TqAPIERR_NODATA_FOR_REPEXG;
    for (int i = count; i < kStateMMQuoteCapacity; ++i) out->StateMMQuotes[i] = TarvikStateMMQuoteRecord{};
    out->StateQuoteCount = count;
    out->PriceType = st.price_type;
    out->NasdaqBidTick = book.nasdaq_bid_tick;
    out->unused = 0;
    return 0;
}

int32_t MarketBook::get_last_trade(TarvikStateTradeRecord* out, uint32_t symbol) const {
    if (out == nullptr || symbol == kNone) return TqAPIERR_BAD_PARAMETERS;
    const SymbolState& st = states_[symbol];
    if (st.trade.trades == 0) return TqAPIERR_NODATATYPE_FOR_SESSION;
    fill_trade_record(st, *out);
    return 0;
}

void MarketBook::capture(StateSnapshot& s) const {
    s.states.assign(states_.begin(), states_.end());
    s.session_states.assign(session_states_.begin(), session_states_.end());
    s.mm_books = mm_books_;
    s.scratch = scratch_;
}

void MarketBook::restore(StateSnapshot& s) {
    states_.assign(s.states.begin(), s.states.end());
    session_states_.clear();
    for (const auto& [key, state] : s.session_states) session_states_.emplace(key, state);
    mm_books_ = std::move(s.mm_books);
    scratch_ = s.scratch;
}

}  // namespace tarvik::engine
