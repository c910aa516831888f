// Replay: the message sequence, answers, control flags, records and the
// exports that answer from inside a callback.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "engine/engine_constants.h"
#include "engine_test_support.h"

namespace tarvik::engine {
namespace {

const std::string kDay = test::day(R"(
{"option": {"id": "IBMC", "root": "IBM", "listed_exg": 10, "price_type": 2, "atom": 70000, "underlying": "IBM", "date_and_strike": "DA", "strike": 150000, "expiration": "2024-04-19"}}
{"event": {"kind": "exgquote", "time": "09:30:00", "symbol": "IBM", "reporting_exg": 1, "permission_id": 1, "bid": 9990, "bid_size": 100, "ask": 10010, "ask_size": 200}}
{"event": {"kind": "mmquote", "time": "09:30:00.000200", "symbol": "IBM", "reporting_exg": 3, "permission_id": 1, "market_maker": "GSCO", "bid": 9980, "ask": 10020}}
{"event": {"kind": "trade", "time": "09:30:01", "symbol": "IBMC", "reporting_exg": 7, "permission_id": 2, "price": 250, "size": 3, "ext": {"ptp1": 5}}}
{"event": {"kind": "trade", "time": "09:31:01", "symbol": "IBM", "reporting_exg": 1, "permission_id": 1, "price": 10000, "size": 100}}
{"event": {"kind": "trade", "time": "10:00:00", "symbol": "IBM", "reporting_exg": 1, "permission_id": 1, "price": 10001, "size": 100}}
)");

// A compact trace of one message: kind, status or symbol, clock interval.
std::string trace(const TarvikSystemRecord& sys, const TarvikMessageRecord& msg) {
    std::string t = std::to_string(msg.MessageType);
    if (msg.MessageType == TqMSG_STATUS) t += "/s" + std::to_string(sys.Status);
    if (msg.coreHeader.ptqStringSymbol != nullptr) t += "/" + std::string(string_text(msg.coreHeader.ptqStringSymbol));
    if (msg.coreHeader.ptqOptionHdr != nullptr) t += "+" + std::string(string_text(msg.coreHeader.ptqOptionHdr->ptqsDateAndStrike));
    return t;
}

class Replay : public ::testing::Test {
protected:
    void SetUp() override { test::write(test::compile(kDay), file_.path()); }
    std::vector<std::string> run(int32_t flags = 0, std::function<int32_t(int, TarvikSystemRecord&, TarvikMessageRecord&)> answer = nullptr,
                                 int32_t* result = nullptr) {
        std::vector<std::string> seen;
        const int32_t r = test::replay(
            file_.path(),
            [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
                seen.push_back(trace(sys, msg));
                return answer ? answer(static_cast<int>(seen.size() - 1), sys, msg) : 0;
            },
            flags);
        if (result != nullptr) *result = r;
        return seen;
    }
    test::TempFile file_;
};

TEST_F(Replay, StatusProgressionAroundTheDay) {
    int32_t result = -99;
    const std::vector<std::string> seen = run(0, nullptr, &result);
    const std::vector<std::string> expected = {"0/s1", "0/s10", "5/IBM", "5/IBM+DA", "0/s0",     "1/IBM",
                                               "2/IBM", "3/IBM+DA", "3/IBM",  "3/IBM",    "0/s2"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(result, TqAPIERR_NO_ERROR);
}

TEST_F(Replay, StopEndsTheRunWithUserStopped) {
    int32_t result = 0;
    const auto seen = run(0, [](int i, auto&, auto&) { return i == 6 ? TqCALLBACKRETURN_STOP : 0; }, &result);
    EXPECT_EQ(result, TqAPIERR_USER_STOPPED);
    EXPECT_EQ(seen.size(), 7u);
}

TEST_F(Replay, RestartReplaysFromTheStartWithFreshState) {
    int restarts = 0;
    int32_t result = -99;
    uint64_t volume_at_end = 0;
    const auto seen = run(
        0,
        [&](int, TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
            if (msg.MessageType == TqMSG_TRADE && string_text(msg.coreHeader.ptqStringSymbol) == std::string("IBM") &&
                msg.coreHeader.ptqOptionHdr == nullptr)
                volume_at_end = msg.coreData.Trade.TotalVolume;
            if (msg.MessageType == TqMSG_STATUS && sys.Status == TARVIKSTATUS_COMPLETE && restarts++ == 0)
                return TqCALLBACKRETURN_RESTART;
            return 0;
        },
        &result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(seen.size(), 11u + 1u + 10u);  // the day, the restarting status, the day again
    EXPECT_EQ(seen[11], "0/s6");
    EXPECT_EQ(seen[12], "0/s10");
    EXPECT_EQ(volume_at_end, 200u);  // not 400: the state starts again
}

// Quotes that name no symbol share one state; a restart starts it afresh
// like every symbol's (its market-maker book is freed with the others').
TEST(ReplayRestart, QuotesWithoutASymbolStartAgainToo) {
    test::TempFile file;
    test::write(test::compile(test::day(R"(
{"event": {"kind": "mmquote", "time": "09:30:00", "symbol": null, "reporting_exg": 3, "market_maker": "GSCO", "bid": 9980, "ask": 10020}}
{"event": {"kind": "exgquote", "time": "09:30:01", "symbol": null, "reporting_exg": 1, "bid": 9990, "bid_size": 100, "ask": 10010, "ask_size": 200}}
{"event": {"kind": "mmquote", "time": "09:30:02", "symbol": null, "reporting_exg": 3, "market_maker": "GSCO", "bid": 9985, "ask": 10015}}
)")), file.path());
    std::vector<std::vector<int32_t>> passes(1);
    int restarts = 0;
    const int32_t result = test::replay(file.path(), [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
        if (msg.MessageType == TqMSG_EXGQUOTE || msg.MessageType == TqMSG_MMQUOTE) {
            const TarvikQuoteRecord& q = msg.coreData.ExgQuote.coreQuote;
            passes.back().insert(passes.back().end(), {q.BidPriceChange, q.AskPriceChange, q.BidSizeChange});
            if (msg.MessageType == TqMSG_EXGQUOTE) {
                passes.back().insert(passes.back().end(),
                                     {msg.coreData.ExgQuote.BestBidPrice, msg.coreData.ExgQuote.BestBidPriceChange});
            }
        }
        if (msg.MessageType == TqMSG_STATUS && sys.Status == TARVIKSTATUS_COMPLETE && restarts++ == 0) {
            passes.emplace_back();
            return TqCALLBACKRETURN_RESTART;
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(passes.size(), 2u);
    EXPECT_EQ(passes[1], passes[0]);
    EXPECT_EQ(passes[0][0], 9980);  // the first quote of a fresh book changes from nothing
}

struct FlagCase {
    int32_t flags;
    std::vector<std::string> data;  // the data messages that remain
};
class ControlFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(ControlFlags, ExcludeAtTheEngine) {
    test::TempFile file;
    test::write(test::compile(kDay), file.path());
    std::vector<std::string> data;
    test::replay(
        file.path(),
        [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
            if (msg.MessageType != TqMSG_STATUS) data.push_back(trace(sys, msg));
            return 0;
        },
        GetParam().flags);
    EXPECT_EQ(data, GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlFlags,
    ::testing::Values(
        FlagCase{TqCF_EXCLUDE_QUOTES, {"5/IBM", "5/IBM+DA", "2/IBM", "3/IBM+DA", "3/IBM", "3/IBM"}},
        FlagCase{TqCF_EXCLUDE_QUOTES2, {"5/IBM", "5/IBM+DA", "1/IBM", "3/IBM+DA", "3/IBM", "3/IBM"}},
        FlagCase{TqCF_EXCLUDE_OPRA, {"5/IBM", "1/IBM", "2/IBM", "3/IBM", "3/IBM"}},
        FlagCase{TqCF_FAVOR_NBBO | TqCF_MEMORY_ADDRESS,
                 {"5/IBM", "5/IBM+DA", "1/IBM", "2/IBM", "3/IBM+DA", "3/IBM", "3/IBM"}}));

TEST_F(Replay, RecordsCarryTheTapeAndKeepTheClientsWords) {
    std::vector<int32_t> intervals;
    std::vector<int32_t> user_data;
    TqStringRecord* ibm = nullptr;
    int32_t ibm_word = -1;
    const std::string tape = file_.path();
    test::replay(
        tape,
        [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
            user_data.push_back(sys.UserData);
            sys.UserData += 1;
            EXPECT_EQ(std::string(sys.PermissionSet, 2), "AA");
            EXPECT_STREQ(sys.TapeDisplay, "Test day");
            EXPECT_EQ(sys.tqDate.Year, 2024);
            EXPECT_EQ(msg.coreHeader.tqSessionDate.Day, 15);
            if (msg.MessageType >= TqMSG_EXGQUOTE && msg.MessageType <= TqMSG_TRADE) {
                intervals.push_back(sys.ClockUpdateInterval);
                EXPECT_EQ(msg.coreHeader.PermissionID, msg.coreHeader.ptqOptionHdr ? 2 : 1);
                EXPECT_EQ(msg.ptarvik3Ext != nullptr, msg.coreHeader.ptqOptionHdr != nullptr);
            }
            if (msg.MessageType == TqMSG_SYMBOLCHANGE && msg.coreHeader.ptqOptionHdr == nullptr) {
                ibm = msg.coreHeader.ptqStringSymbol;
                ibm->UserData2 = 1;
                EXPECT_EQ(ibm->Atom, 7);
            }
            if (msg.MessageType == TqMSG_SYMBOLCHANGE && msg.coreHeader.ptqOptionHdr != nullptr) {
                const TqOptionHdrRecord& o = *msg.coreHeader.ptqOptionHdr;
                // The root's record on the option's listed exchange; its atom does not fit.
                EXPECT_NE(msg.coreHeader.ptqStringSymbol, ibm);
                EXPECT_STREQ(string_text(msg.coreHeader.ptqStringSymbol), "IBM");
                EXPECT_EQ(msg.coreHeader.ptqStringSymbol->Atom, TqATOM_MAX_16BIT);
                EXPECT_EQ(engine::Run::current()->symbol_atom32(), 70000);
                EXPECT_STREQ(string_text(o.ptqsDateAndStrike), "DA");
                EXPECT_EQ(o.strikePrice, 150000);
                EXPECT_EQ(o.tqExpirationDate.DayOfWeek, 5);
            }
            if (msg.MessageType == TqMSG_TRADE && msg.coreHeader.ptqOptionHdr == nullptr)
                ibm_word = msg.coreHeader.ptqStringSymbol->UserData2;
            if (msg.MessageType == TqMSG_STATUS && sys.Status == TARVIKSTATUS_COMPLETE) {
                char name[260];
                EXPECT_GT(engine::Run::current()->tape_name(name, sizeof name), 0);
                EXPECT_EQ(std::string(name), tape);
                char small[4];
                EXPECT_EQ(engine::Run::current()->tape_name(small, sizeof small), 3);
                EXPECT_EQ(std::string(small), tape.substr(0, 3));
            }
            return 0;
        },
        0, 100);
    EXPECT_EQ(user_data.front(), 100);
    EXPECT_EQ(user_data.back(), 100 + static_cast<int32_t>(user_data.size()) - 1);
    EXPECT_EQ(ibm_word, 1);
    const std::vector<int32_t> expected = {TqCLOCK_HOUR, TqCLOCK_NOCHANGE, TqCLOCK_SECOND, TqCLOCK_MINUTE, TqCLOCK_HOUR};
    EXPECT_EQ(intervals, expected);
}

TEST_F(Replay, DefinedStringsFromTheInitialisingStatusOn) {
    EXPECT_EQ(engine::Run::current(), nullptr);
    int checked = 0;
    test::replay(file_.path(), [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
        if (msg.MessageType != TqMSG_STATUS || sys.Status != TARVIKSTATUS_INITIALIZING) return 0;
        const engine::Run* run = engine::Run::current();
        EXPECT_STREQ(run->defined_string(3, 3), "NASDAQ");
        EXPECT_EQ(run->defined_string(3, 4), nullptr);
        EXPECT_EQ(run->defined_string(1, 0), nullptr);
        EXPECT_EQ(run->defined_string(33, 0), nullptr);
        EXPECT_EQ(run->defined_string(3, -1), nullptr);
        ++checked;
        return 0;
    });
    EXPECT_EQ(checked, 1);
}

}  // namespace
}  // namespace tarvik::engine
