// Market state derivation on hand-made days with known answers.
#include <gtest/gtest.h>

#include <climits>

#include "engine/engine_constants.h"
#include "engine_test_support.h"
#include "engine/market_state.h"

namespace tarvik::engine {
namespace {

QuoteInput quote(uint16_t exg, int32_t bid, int32_t bid_size, int32_t ask, int32_t ask_size, uint64_t micros = 0) {
    return QuoteInput{bid, ask, bid_size, ask_size, exg, 0, 0, micros};
}

TEST(Nbbo, BestPricesWinThenLargerSizeThenIncumbent) {
    QuoteBook book;
    TarvikExgQuoteBody out{};
    apply_exg_quote(book, quote(1, 1000, 5, 1010, 5), out);
    EXPECT_EQ(out.BestBidPrice, 1000);
    EXPECT_EQ(out.BestBidExg, 1);
    EXPECT_EQ(out.BBOChangeFlags, TqBBOCHANGE_BIDEXG | TqBBOCHANGE_BIDPRICE | TqBBOCHANGE_BIDSIZE |
                                      TqBBOCHANGE_ASKEXG | TqBBOCHANGE_ASKPRICE | TqBBOCHANGE_ASKSIZE);

    apply_exg_quote(book, quote(2, 1001, 3, 1012, 9), out);  // better bid, worse ask
    EXPECT_EQ(out.BestBidPrice, 1001);
    EXPECT_EQ(out.BestBidExg, 2);
    EXPECT_EQ(out.PrevBestBidExg, 1);
    EXPECT_EQ(out.BestBidPriceChange, 1);
    EXPECT_EQ(out.BestBidSizeChange, -2);
    EXPECT_EQ(out.BestAskPrice, 1010);
    EXPECT_EQ(out.BestAskExg, 1);
    EXPECT_EQ(out.BBOChangeFlags, TqBBOCHANGE_BIDEXG | TqBBOCHANGE_BIDPRICE | TqBBOCHANGE_BIDSIZE);

    apply_exg_quote(book, quote(3, 1001, 3, 1010, 7), out);  // ties: equal bid size, larger ask size
    EXPECT_EQ(out.BestBidExg, 2);  // the incumbent keeps a full tie
    EXPECT_EQ(out.BestAskExg, 3);
    EXPECT_EQ(out.BestAskSize, 7);
    EXPECT_EQ(out.BBOChangeFlags, TqBBOCHANGE_ASKEXG | TqBBOCHANGE_ASKSIZE);

    apply_exg_quote(book, quote(2, 0, 0, 1012, 9), out);  // exchange 2 drops its bid
    EXPECT_EQ(out.BestBidExg, 3);
    EXPECT_EQ(out.BestBidPrice, 1001);
    EXPECT_EQ(out.coreQuote.BidPriceChange, -1001);
    EXPECT_EQ(book.count, 3);
}

TEST(Nbbo, AnExchangeHoldingBothSidesGivesUpOnlyTheSideThatWorsens) {
    QuoteBook book;
    TarvikExgQuoteBody out{};
    apply_exg_quote(book, quote(1, 1000, 5, 1010, 5), out);
    apply_exg_quote(book, quote(2, 999, 9, 1011, 9), out);
    apply_exg_quote(book, quote(3, 999, 9, 1010, 5), out);  // ties the ask: the incumbent keeps it
    EXPECT_EQ(out.BestBidExg, 1);
    EXPECT_EQ(out.BestAskExg, 1);

    apply_exg_quote(book, quote(1, 998, 5, 1010, 5), out);  // worse bid, same ask
    EXPECT_EQ(out.BestBidExg, 2);  // a full tie between 2 and 3: the earlier slot
    EXPECT_EQ(out.BestBidPrice, 999);
    EXPECT_EQ(out.BestBidSize, 9);
    EXPECT_EQ(out.PrevBestBidExg, 1);
    EXPECT_EQ(out.BestAskExg, 1);
    EXPECT_EQ(out.BBOChangeFlags, TqBBOCHANGE_BIDEXG | TqBBOCHANGE_BIDPRICE | TqBBOCHANGE_BIDSIZE);

    apply_exg_quote(book, quote(1, 998, 5, 1012, 5), out);  // worse ask
    EXPECT_EQ(out.BestAskExg, 3);
    EXPECT_EQ(out.BestAskPrice, 1010);
    EXPECT_EQ(out.BestBidExg, 2);
    EXPECT_EQ(out.BBOChangeFlags, TqBBOCHANGE_ASKEXG);

    apply_exg_quote(book, quote(2, 0, 0, 1011, 9), out);  // the best bid's exchange drops its bid
    EXPECT_EQ(out.BestBidExg, 3);
    EXPECT_EQ(out.BestBidPrice, 999);
    EXPECT_EQ(out.BBOChangeFlags, TqBBOCHANGE_BIDEXG);

    for (uint16_t exg = 1; exg <= 3; ++exg) apply_exg_quote(book, quote(exg, 0, 0, 0, 0), out);
    EXPECT_EQ(out.BestBidPrice, 0);
    EXPECT_EQ(out.BestBidExg, 0);
    EXPECT_EQ(out.BestAskPrice, 0);
    EXPECT_EQ(out.BestAskExg, 0);
    EXPECT_EQ(out.PrevBestAskExg, 3);
}

TEST(Nbbo, APassOverALargerBookFindsTheBestWhereverItStands) {
    // Bids and asks mirror each other, so both sides name the same exchange.
    const auto both = [](uint16_t exg, int32_t bid) { return quote(exg, bid, 1, bid > 0 ? 300 - bid : 0, 1); };
    QuoteBook book;
    TarvikExgQuoteBody out{};
    const int32_t bids[] = {100, 101, 100, 100, 101, 102};
    for (uint16_t exg = 1; exg <= 6; ++exg) apply_exg_quote(book, both(exg, bids[exg - 1]), out);
    EXPECT_EQ(out.BestBidExg, 6);
    EXPECT_EQ(out.BestAskExg, 6);

    apply_exg_quote(book, both(6, 99), out);  // the pass: 2 and 5 tie, the earlier slot wins
    EXPECT_EQ(out.BestBidExg, 2);
    EXPECT_EQ(out.BestAskExg, 2);
    EXPECT_EQ(out.BestBidPrice, 101);
    EXPECT_EQ(out.BestAskPrice, 199);

    apply_exg_quote(book, both(2, 0), out);
    EXPECT_EQ(out.BestBidExg, 5);
    EXPECT_EQ(out.BestAskExg, 5);

    apply_exg_quote(book, both(5, 0), out);  // 1, 3 and 4 tie
    EXPECT_EQ(out.BestBidExg, 1);
    EXPECT_EQ(out.BestAskExg, 1);
    EXPECT_EQ(out.BestBidPrice, 100);
}

TEST(Nbbo, PricesAtOrBelowZeroNeverMakeTheBest) {
    QuoteBook book;
    TarvikExgQuoteBody out{};
    apply_exg_quote(book, quote(1, 1000, 5, 1010, 5), out);
    apply_exg_quote(book, quote(2, INT32_MIN, 7, -2147473638, 7), out);  // far below zero on both sides
    apply_exg_quote(book, quote(3, -1, 9, 0, 9), out);
    EXPECT_EQ(out.BestBidExg, 1);
    EXPECT_EQ(out.BestBidPrice, 1000);
    EXPECT_EQ(out.BestAskExg, 1);
    EXPECT_EQ(out.BestAskPrice, 1010);

    apply_exg_quote(book, quote(1, -5, 5, INT32_MIN, 5), out);  // the holder drops to nonsense: no best left
    EXPECT_EQ(out.BestBidPrice, 0);
    EXPECT_EQ(out.BestAskPrice, 0);
}

TEST(Nbbo, KeepsAtMostTwentyFourExchanges) {
    QuoteBook book;
    TarvikExgQuoteBody out{};
    for (uint16_t exg = 1; exg <= 30; ++exg) apply_exg_quote(book, quote(exg, 100 + exg, 1, 200, 1), out);
    EXPECT_EQ(book.count, kMaxExchangeQuotes);
    EXPECT_EQ(out.BestBidExg, 24);  // the later ones are delivered, not kept
}

struct MatchCase {
    int32_t price, bid, ask;
    uint8_t type;
    int32_t distance;
    uint8_t flags;
};

class QuoteMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(QuoteMatch, PlacesThePriceAgainstTheQuote) {
    const MatchCase& c = GetParam();
    uint8_t type, flags;
    int32_t distance;
    match_quote(c.price, c.bid, c.ask, type, distance, flags);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(distance, c.distance);
    EXPECT_EQ(flags, c.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuoteMatch,
    ::testing::Values(MatchCase{100, 100, 104, TqRTA_QMTYPE_BID, 0, 0}, MatchCase{104, 100, 104, TqRTA_QMTYPE_ASK, 0, 0},
                      MatchCase{101, 100, 104, TqRTA_QMTYPE_INSIDE, 1, 0},
                      MatchCase{103, 100, 104, TqRTA_QMTYPE_INSIDE, -1, 0},
                      MatchCase{97, 100, 104, TqRTA_QMTYPE_BELOWBID, -3, 0},
                      MatchCase{110, 100, 104, TqRTA_QMTYPE_ABOVEASK, 6, 0},
                      MatchCase{100, 0, 0, TqRTA_QMTYPE_NONE, 0, 0},
                      MatchCase{103, 105, 102, TqRTA_QMTYPE_BELOWBID, -2, TqRTA_QTEMATCHFLAG_CROSSED},
                      MatchCase{INT32_MIN, 100, 0, TqRTA_QMTYPE_BELOWBID, INT32_MIN, 0},
                      MatchCase{INT32_MAX, 0, 100, TqRTA_QMTYPE_ABOVEASK, INT32_MAX - 100, 0}));

TradeInput trade(int32_t price, uint32_t size, uint8_t condition_flags = 0, uint8_t volume_type = TqTVT_INCRVOL,
                 uint8_t tape_flags = 0, uint64_t micros = 0) {
    return TradeInput{price, size, uint64_t{size} * 1'000'000, micros, 1, condition_flags, volume_type, tape_flags};
}

TEST(TradeState, OpenHighLowLastAndVolumes) {
    SymbolState st;
    st.prev_close = 1000;
    TarvikTradeBody out{};
    apply_trade(st, trade(1005, 100, 0, TqTVT_INCRVOL, 0, 1'000'000), out);
    EXPECT_EQ(out.PriceFlags, TqTPF_SETOPEN | TqTPF_SETHIGH | TqTPF_SETLOW | TqTPF_SETLAST);
    apply_trade(st, trade(1010, 200, 0, TqTVT_INCRVOL, 0, 5'000'000), out);
    EXPECT_EQ(out.PriceFlags, TqTPF_SETHIGH | TqTPF_SETLAST);
    EXPECT_EQ(out.tqAnalysis.SigHiLoType, TqRTA_SIGHL_HIGHEST);
    EXPECT_EQ(out.tqAnalysis.SigHiLoSeconds, 4u);
    apply_trade(st, trade(990, 50, TqTCF_NOLAST), out);  // sets the low, not the last
    EXPECT_EQ(out.PriceFlags, TqTPF_SETLOW);
    apply_trade(st, trade(2000, 10, TqTCF_NOHIGH | TqTCF_NOLAST), out);
    EXPECT_EQ(out.PriceFlags, 0);
    apply_trade(st, trade(1500, 999, 0, TqTVT_INCRVOL, TqTPF_EXGCANCEL), out);  // a cancel changes nothing
    EXPECT_EQ(out.PriceFlags, TqTPF_EXGCANCEL);
    apply_trade(st, trade(1007, 0, 0, TqTVT_NONINCRVOL), out);
    EXPECT_EQ(out.Open, 1005);
    EXPECT_EQ(out.High, 1010);
    EXPECT_EQ(out.Low, 990);
    EXPECT_EQ(out.Last, 1007);
    EXPECT_EQ(out.Tick, -3);
    EXPECT_EQ(out.NetChange, 7);
    EXPECT_EQ(out.TotalVolume, 100u + 200 + 50 + 10);
    EXPECT_EQ(out.TickVolume, 4u);

    apply_trade(st, trade(1007, 5000, 0, TqTVT_TOTALVOL), out);
    EXPECT_EQ(out.TotalVolume, 5000u);
    apply_trade(st, trade(1007, 70, 0, TqTVT_TOTALVOLx100), out);
    EXPECT_EQ(out.TotalVolume, 7000u);
    EXPECT_EQ(out.TickVolume, 4u);
}

TEST(TradeState, NoPreviousCloseGivesNoNetChange) {
    SymbolState st;
    TarvikTradeBody out{};
    apply_trade(st, trade(1005, 100), out);
    EXPECT_EQ(out.NetChange, 0);
}

TEST(TradeState, ChangesOfExtremePricesHoldToTheirRange) {
    SymbolState st;
    st.prev_close = INT32_MAX;
    TarvikTradeBody out{};
    apply_trade(st, trade(10, 1), out);
    apply_trade(st, trade(INT32_MIN, 1), out);
    EXPECT_EQ(out.Tick, INT32_MIN);
    EXPECT_EQ(out.NetChange, INT32_MIN);
    apply_trade(st, trade(INT32_MAX, 1), out);
    EXPECT_EQ(out.Tick, INT32_MAX);
}

TEST(MarketMakers, QuotesAreKeptPerMarketMakerAndExchange) {
    MMBook book;
    TarvikQuoteRecord out{};
    apply_mm_quote(book, quote(3, 100, 1, 101, 1), 7, 1, 1, out);
    apply_mm_quote(book, quote(3, 102, 1, 103, 1), 7, 1, 1, out);
    EXPECT_EQ(out.BidPriceChange, 2);
    apply_mm_quote(book, quote(4, 99, 1, 105, 1), 7, 1, 1, out);
    apply_mm_quote(book, quote(3, 99, 1, 105, 1), kNone, 1, 1, out);  // no market maker: not kept
    EXPECT_EQ(book.slots.size(), 2u);
    for (uint32_t mm = 100; mm < 700; ++mm) apply_mm_quote(book, quote(3, 1, 1, 2, 1), mm, 1, 1, out);
    EXPECT_EQ(book.slots.size(), static_cast<std::size_t>(kMaxMarketMakerQuotes));
}

// The whole path: a replayed day and the state queries inside the callback.
TEST(ReplayedState, QueriesAnswerFromTheDay) {
    const std::string script = test::day(R"(
{"event": {"kind": "exgquote", "time": "09:30:00", "symbol": "IBM", "reporting_exg": 1, "bid": 9990, "bid_size": 100, "ask": 10010, "ask_size": 200}}
{"event": {"kind": "exgquote", "time": "09:30:01", "symbol": "IBM", "reporting_exg": 3, "bid": 9995, "bid_size": 300, "ask": 10020, "ask_size": 100}}
{"event": {"kind": "mmquote", "time": "09:30:02", "symbol": "IBM", "reporting_exg": 3, "market_maker": "GSCO", "bid": 9980, "bid_size": 100, "ask": 10030, "ask_size": 100}}
{"event": {"kind": "mmquote", "time": "09:30:02", "symbol": "IBM", "reporting_exg": 3, "market_maker": "D0", "bid": 9985, "bid_size": 500, "ask": 10025, "ask_size": 500}}
{"event": {"kind": "trade", "time": "09:30:03", "symbol": "IBM", "reporting_exg": 1, "price": 10000, "size": 100}}
{"event": {"kind": "trade", "time": "09:30:04", "symbol": "IBM", "reporting_exg": 3, "price": 10020, "size": 300, "ext": {"fractional_size": 300500000}}}
{"event": {"kind": "status", "time": "09:30:05", "symbol": null, "status": 3}}
)");
    test::TempFile file;
    test::write(test::compile(script), file.path());
    const TqStringRecord* ibm = nullptr;
    bool queried = false;
    const int32_t result = test::replay(file.path(), [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
        if (msg.coreHeader.ptqStringSymbol != nullptr) ibm = msg.coreHeader.ptqStringSymbol;
        if (msg.MessageType == TqMSG_TRADE && msg.coreData.Trade.Price == 10020) {
            const TqCTAnalysisRecord& a = msg.coreData.Trade.tqAnalysis;
            EXPECT_EQ(a.QteMatchTypeRGN, TqRTA_QMTYPE_ASK);
            EXPECT_EQ(a.QteMatchTypeBBO, TqRTA_QMTYPE_ABOVEASK);
            EXPECT_EQ(a.QteMatchDistanceBBO, 10);
            EXPECT_EQ(a.SigHiLoType, TqRTA_SIGHL_HIGHEST);
            if (msg.ptarvik3Ext == nullptr) {
                ADD_FAILURE() << "no extension record";
                return 0;
            }
            EXPECT_EQ(msg.ptarvik3Ext->FractionalSize, 300'500'000u);
            EXPECT_EQ(msg.ptarvik3Ext->FractionalTotalVolume, 100'000'000u + 300'500'000u);
        }
        if (msg.MessageType != TqMSG_STATUS || sys.Status != TARVIKSTATUS_SYNCHRONIZING) return 0;
        const engine::Run* run = engine::Run::current();
        if (run == nullptr || ibm == nullptr) {
            ADD_FAILURE() << "no run or no symbol";
            return 0;
        }
        queried = true;

        TarvikStateExgQuotesRecord quotes{};
        EXPECT_EQ(run->get_exg_quotes(&quotes, ibm), 0);
        EXPECT_EQ(quotes.StateQuoteCount, 2);
        EXPECT_EQ(quotes.PriceType, 2);
        EXPECT_EQ(quotes.BestBidExg, 3);
        EXPECT_EQ(quotes.BestAskExg, 1);
        EXPECT_EQ(quotes.StateExgQuotes[1].BidPrice, 9995);
        EXPECT_EQ(quotes.StateExgQuotes[1].ReportingExg, 3);

        static TarvikStateMMQuotesRecord mm;
        EXPECT_EQ(run->get_mm_quotes(3, &mm, ibm), 0);
        EXPECT_EQ(mm.StateQuoteCount, 2);
        EXPECT_STREQ(string_text(mm.StateMMQuotes[0].ptqStringMarketMaker), "GSCO");
        EXPECT_STREQ(string_text(mm.StateMMQuotes[1].ptqStringMarketMaker), "D0");
        EXPECT_EQ(mm.StateMMQuotes[1].BidSize, 500);
        EXPECT_EQ(run->get_mm_quotes(1, &mm, ibm), TqAPIERR_NODATA_FOR_REPEXG);

        TarvikStateTradeRecord last{};
        EXPECT_EQ(run->get_last_trade(&last, ibm), 0);
        EXPECT_EQ(last.Open, 10000);
        EXPECT_EQ(last.High, 10020);
        EXPECT_EQ(last.Low, 10000);
        EXPECT_EQ(last.Last, 10020);
        EXPECT_EQ(last.Tick, 20);
        EXPECT_EQ(last.NetChange, 20);
        EXPECT_EQ(last.TotalVolume, 400u);
        EXPECT_EQ(last.TickVolume, 2u);

        TqStringRecord stranger{};
        EXPECT_EQ(run->get_last_trade(&last, &stranger), TqAPIERR_BAD_PARAMETERS);
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(queried);
}

}  // namespace
}  // namespace tarvik::engine
