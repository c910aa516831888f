// The built libtarvik.so through its C exports, loaded as a client loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "engine/engine_constants.h"
#include "engine_test_support.h"

namespace tarvik::engine {
namespace {

class Exports : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = ::dlopen(TARVIK_TEST_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << ::dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) ::dlclose(handle_);
    }
    template <typename F>
    F get(const char* name) {
        void* p = ::dlsym(handle_, name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<F>(p);
    }
    void* handle_ = nullptr;
};

TEST_F(Exports, OutsideARunTheCallbackExportsAnswerAsWithoutATape) {
    TarvikStateExgQuotesRecord quotes{};
    TarvikStateTradeRecord trade{};
    TqStringRecord symbol{};
    EXPECT_EQ(get<sTarvikStateGetExgQuotes_t>("sTarvikStateGetExgQuotes")(&quotes, &symbol), -1);
    EXPECT_EQ(get<sTarvikStateGetLastTrade_t>("sTarvikStateGetLastTrade")(&trade, &symbol), -1);
    EXPECT_EQ(get<sTarvikGetDefinedString_t>("sTarvikGetDefinedString")(3, 0), nullptr);
    char name[260] = "x";
    EXPECT_LT(get<sTarvikGetTapeName_t>("sTarvikGetTapeName")(name, sizeof name), 0);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(get<sTarvikGetSymbolAtom32_t>("sTarvikGetSymbolAtom32")(), -1);
    char text[257];
    EXPECT_EQ(get<sTarvikPriceFormat_t>("sTarvikPriceFormat")(text, 123456, 2, 10, 1), 10);
    EXPECT_STREQ(text, "  1,234.56");
}

thread_local sTarvikStateGetLastTrade_t t_last_trade = nullptr;
thread_local int t_queried = 0;

int32_t query_in_callback(TarvikSystemRecord* sys, TarvikMessageRecord* msg) {
    if (msg->MessageType == TqMSG_STATUS && sys->Status == TARVIKSTATUS_COMPLETE) {
        TarvikStateTradeRecord trade{};
        if (t_last_trade(&trade, msg->coreHeader.ptqStringSymbol) == -2) ++t_queried;  // no symbol
    }
    if (msg->MessageType == TqMSG_TRADE) {
        TarvikStateTradeRecord trade{};
        EXPECT_EQ(t_last_trade(&trade, msg->coreHeader.ptqStringSymbol), 0);
        EXPECT_EQ(trade.Last, msg->coreData.Trade.Last);
        ++t_queried;
    }
    return 0;
}

TEST_F(Exports, ProcessTapeAndQueryFromTheCallback) {
    test::TempFile file;
    test::write(test::compile(test::day(R"(
{"event": {"kind": "trade", "time": "09:31:01", "symbol": "IBM", "price": 10000, "size": 100}}
)")),
                file.path());
    t_last_trade = get<sTarvikStateGetLastTrade_t>("sTarvikStateGetLastTrade");
    const auto process = get<sTarvikProcessTape_t>("sTarvikProcessTape");
    EXPECT_EQ(process(file.path().c_str(), nullptr, 0, 0, query_in_callback), 0);
    EXPECT_EQ(t_queried, 2);
    EXPECT_EQ(process("/nonexistent", nullptr, 0, 0, query_in_callback), TqAPIERR_OPEN_TAPE_FILE_FAILED);
    EXPECT_EQ(process(file.path().c_str(), nullptr, 0, 0, nullptr), TqAPIERR_BAD_PARAMETERS);
}

}  // namespace
}  // namespace tarvik::engine
