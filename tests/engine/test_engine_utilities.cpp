// Prices, dates and the kept mappings of large tables.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

#include "engine/engine_constants.h"
#include "engine/crc32.h"
#include "engine/dates.h"
#include "engine/huge_pages.h"
#include "engine/kept_mappings.h"
#include "engine/prices.h"

namespace tarvik::engine {
namespace {

// A column cut to its rows gives back its end; once the rest is let go of
// too, the two are one range again, taken whole by the next full column.
TEST(KeptMappings, RangesGivenBackPieceByPieceAreTakenWholeAgain) {
    KeptMappings kept(std::size_t{64} << 20);
    uint8_t* column = kept.map(4 * kHugePage);
    ASSERT_NE(column, nullptr);
    std::memset(column, 7, 4 * kHugePage);
    kept.give(column + 3 * kHugePage, kHugePage);
    kept.give(column + kHugePage, 2 * kHugePage);
    kept.give(column, kHugePage);
    uint8_t* again = kept.map(4 * kHugePage);
    EXPECT_EQ(again, column);
    EXPECT_EQ(again[4 * kHugePage - 1], 7);  // the same pages, not fresh ones
    // A shorter one takes the start of a kept range and leaves the rest.
    kept.give(again, 4 * kHugePage);
    EXPECT_EQ(kept.map(kHugePage), column);
    EXPECT_EQ(kept.map(3 * kHugePage), column + kHugePage);
    kept.give(column, 4 * kHugePage);
}

TEST(KeptMappings, KeepsNoMoreThanItsLimit) {
    KeptMappings kept(2 * kHugePage);
    uint8_t* a = kept.map(2 * kHugePage);
    uint8_t* b = kept.map(2 * kHugePage);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::memset(b, 1, 2 * kHugePage);
    kept.give(a, 2 * kHugePage);
    kept.give(b, 2 * kHugePage);  // no room: unmapped
    EXPECT_EQ(kept.map(2 * kHugePage), a);
    uint8_t* fresh = kept.map(2 * kHugePage);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh[0], 0);  // mapped afresh: b's pages were let go
    kept.give(fresh, 2 * kHugePage);
}

TEST(Crc32, MatchesTheStandardCheckValue) {
    EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_portable("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32("", 0), 0u);
}

// The folding path against the tables at every length and offset around
// its 64-byte minimum and 16-byte steps, whole and in two pieces.
TEST(Crc32, FoldingAgreesWithTheTables) {
    std::vector<unsigned char> bytes(4096 + 64);
    uint32_t x = 12345;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    for (std::size_t offset : {0u, 1u, 7u, 8u}) {
        for (std::size_t size : {63u, 64u, 65u, 79u, 80u, 127u, 128u, 129u, 1000u, 4096u}) {
            const unsigned char* p = bytes.data() + offset;
            const uint32_t expected = crc32_portable(p, size);
            EXPECT_EQ(crc32(p, size), expected) << offset << "+" << size;
            EXPECT_EQ(crc32(p + size / 3, size - size / 3, crc32(p, size / 3)), expected) << offset << "+" << size;
        }
    }
}

struct FormatCase {
    int32_t price;
    uint8_t type;
    int32_t width;
    bool commas;
    const char* text;
};

class PriceFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PriceFormat, WritesTheExactDecimalText) {
    const FormatCase& c = GetParam();
    char buffer[257];
    const int32_t n = price_format(buffer, sizeof buffer, c.price, c.type, c.width, c.commas);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(c.text)));
}

INSTANTIATE_TEST_SUITE_P(Cases, PriceFormat,
                         ::testing::Values(FormatCase{12345, 2, 0, false, "123.45"},
                                           FormatCase{-5, 2, 0, false, "-0.05"},
                                           FormatCase{1234567, 0, 0, true, "1,234,567"},
                                           FormatCase{-123456789, 3, 0, true, "-123,456.789"},
                                           FormatCase{3, 10, 0, false, "1.5"},          // halves
                                           FormatCase{1, 17, 0, false, "0.00390625"},   // 1/256
                                           FormatCase{42, 200, 0, false, "42"},         // unknown type
                                           FormatCase{7, 1, 6, false, "   0.7"},
                                           FormatCase{100, 0, 2, false, "100"}));

TEST(PriceFormatBounds, NeverWritesPastTheBuffer) {
    char buffer[300];
    std::memset(buffer, 'x', sizeof buffer);
    const int32_t n = price_format(buffer, 257, 1, 2, 100000, true);
    EXPECT_EQ(n, 256);
    EXPECT_EQ(buffer[256], '\0');
    EXPECT_EQ(buffer[257], 'x');
}

TEST(PriceConvert, RoundsHalfAwayFromZeroAndClamps) {
    EXPECT_EQ(price_convert(12345, 2, 4), 1234500);
    EXPECT_EQ(price_convert(12345, 2, 1), 1235);
    EXPECT_EQ(price_convert(-12345, 2, 1), -1235);
    EXPECT_EQ(price_convert(3, 10, 2), 150);   // 1.5
    EXPECT_EQ(price_convert(150, 2, 11), 6);   // 1.50 in quarters
    EXPECT_EQ(price_convert(2'000'000'000, 0, 9), INT32_MAX);
    EXPECT_EQ(price_convert(77, 250, 251), 77);
}

TEST(PriceToDouble, FollowsTheTable) {
    EXPECT_DOUBLE_EQ(price_to_double(12345, 2), 123.45);
    EXPECT_DOUBLE_EQ(price_to_double(-1, 17), -1.0 / 256);
    EXPECT_DOUBLE_EQ(price_to_double(9, 99), 9.0);
}

TEST(Dates, DayZeroIsMondayFirstOfJanuary1883) {
    TqDateRecord d{};
    EXPECT_EQ(date_from_ndays(d), 0);
    EXPECT_EQ(d.Year, 1883);
    EXPECT_EQ(d.Month, 1);
    EXPECT_EQ(d.Day, 1);
    EXPECT_EQ(d.DayOfWeek, 1);
    EXPECT_EQ(d.DayOfYear, 1);
}

TEST(Dates, RoundTripAndDerivedFields) {
    TqDateRecord d{};
    d.Year = 2024, d.Month = 3, d.Day = 15;
    ASSERT_EQ(date_from_ymd(d), 0);
    EXPECT_EQ(d.DayOfWeek, 5);  // a Friday
    EXPECT_EQ(d.DayOfYear, 75);
    EXPECT_EQ(d.DSTIndicator, TqDATE_DST_ON);
    TqDateRecord back{};
    back.NDays = d.NDays;
    ASSERT_EQ(date_from_ndays(back), 0);
    EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0);

    d = TqDateRecord{};
    d.Year = 2024, d.Month = 12, d.Day = 31;
    ASSERT_EQ(date_from_ymd(d), 0);
    EXPECT_EQ(d.DayOfYear | (d.reserved << 8), 366);  // the high byte follows DayOfYear
}

struct DstCase {
    int y, m, d;
    uint8_t indicator;
};
class UsDaylightSaving : public ::testing::TestWithParam<DstCase> {};

TEST_P(UsDaylightSaving, FollowsNewYorkInTheTimeZoneDatabase) {
    const DstCase& c = GetParam();
    EXPECT_EQ(us_dst_indicator(c.y, c.m, c.d), c.indicator);
    TqDateRecord date{};
    date.Year = static_cast<uint16_t>(c.y);
    date.Month = static_cast<uint8_t>(c.m);
    date.Day = static_cast<uint8_t>(c.d);
    ASSERT_EQ(date_from_ymd(date), 0);
    EXPECT_EQ(date.DSTIndicator, c.indicator);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsDaylightSaving,
    ::testing::Values(
        // Before 1967 there is no answer.
        DstCase{1950, 7, 1, TqDATE_DST_UNKNOWN}, DstCase{1966, 7, 1, TqDATE_DST_UNKNOWN},
        DstCase{1966, 12, 31, TqDATE_DST_UNKNOWN}, DstCase{1967, 1, 1, TqDATE_DST_OFF},
        DstCase{1967, 4, 30, TqDATE_DST_ONTODAY}, DstCase{1967, 10, 29, TqDATE_DST_OFFTODAY},
        // Daylight time all year round: from 6 January 1974, and from 23
        // February 1975, instead of the last Sunday of April.
        DstCase{1974, 1, 5, TqDATE_DST_OFF}, DstCase{1974, 1, 6, TqDATE_DST_ONTODAY},
        DstCase{1974, 3, 1, TqDATE_DST_ON}, DstCase{1974, 10, 27, TqDATE_DST_OFFTODAY},
        DstCase{1974, 12, 31, TqDATE_DST_OFF}, DstCase{1975, 2, 22, TqDATE_DST_OFF},
        DstCase{1975, 2, 23, TqDATE_DST_ONTODAY}, DstCase{1975, 4, 27, TqDATE_DST_ON},
        DstCase{1975, 10, 26, TqDATE_DST_OFFTODAY}, DstCase{1976, 4, 25, TqDATE_DST_ONTODAY},
        // 1987-2006: first Sunday of April to last Sunday of October.
        DstCase{1987, 4, 5, TqDATE_DST_ONTODAY}, DstCase{1987, 4, 26, TqDATE_DST_ON},
        DstCase{2000, 4, 2, TqDATE_DST_ONTODAY}, DstCase{2000, 10, 29, TqDATE_DST_OFFTODAY},
        // From 2007: second Sunday of March to first Sunday of November.
        DstCase{2024, 3, 9, TqDATE_DST_OFF}, DstCase{2024, 3, 10, TqDATE_DST_ONTODAY},
        DstCase{2024, 7, 1, TqDATE_DST_ON}, DstCase{2024, 7, 4, TqDATE_DST_ON},
        DstCase{2024, 11, 3, TqDATE_DST_OFFTODAY}, DstCase{2024, 11, 4, TqDATE_DST_OFF},
        DstCase{2024, 12, 1, TqDATE_DST_OFF}, DstCase{2100, 3, 14, TqDATE_DST_ONTODAY},
        DstCase{2100, 11, 7, TqDATE_DST_OFFTODAY},
        // The same rules on, around the year 2500 and up to 9999.
        DstCase{2500, 3, 14, TqDATE_DST_ONTODAY}, DstCase{2500, 11, 7, TqDATE_DST_OFFTODAY},
        DstCase{2501, 3, 12, TqDATE_DST_OFF}, DstCase{2501, 3, 13, TqDATE_DST_ONTODAY},
        DstCase{2501, 11, 6, TqDATE_DST_OFFTODAY}, DstCase{2900, 3, 14, TqDATE_DST_ONTODAY},
        DstCase{2901, 11, 6, TqDATE_DST_OFFTODAY}, DstCase{9999, 3, 14, TqDATE_DST_ONTODAY},
        DstCase{9999, 7, 1, TqDATE_DST_ON}, DstCase{9999, 11, 7, TqDATE_DST_OFFTODAY},
        DstCase{9999, 12, 31, TqDATE_DST_OFF}));

TEST(Dates, InvalidInputLeavesADefinedResult) {
    TqDateRecord d{};
    d.Year = 2023, d.Month = 2, d.Day = 29;
    d.NDays = 12345;
    d.DayOfWeek = 3;
    EXPECT_EQ(date_from_ymd(d), TqAPIERR_BAD_PARAMETERS);
    EXPECT_EQ(d.NDays, 0u);
    EXPECT_EQ(d.DayOfWeek, 0);
    EXPECT_EQ(d.Year, 2023);

    TqDateRecord far{};
    far.NDays = 0xFFFFFFFF;
    far.Year = 7;
    EXPECT_EQ(date_from_ndays(far), TqAPIERR_BAD_PARAMETERS);
    EXPECT_EQ(far.Year, 0);
    EXPECT_EQ(far.NDays, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace tarvik::engine
