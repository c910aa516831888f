// A data row as the import's one read of its input leaves it: all of the
// tape event it becomes, except what only the whole import decides (an
// automatic instrument's price type, the market makers' text indexes,
// whether events carry the microsecond extension). Rows wait in a
// RowSpill until the import has read every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tarvik::import {

// A price as it waits: `units` of 10^-form (form 0 to 9), or already
// written in the instrument's given price type (form kEncodedPrice).
inline constexpr uint8_t kEncodedPrice = 15;

struct ConvertedRow {
    int64_t epoch_micros;
    uint32_t symbol;        // the instrument
    uint16_t exchange;      // the reporting exchange
    uint8_t price_forms;    // price[0] in the low four bits, price[1] in the high
    uint8_t code;           // a quote's condition; a symbol change's status; a trade's price flags
    int64_t price[2];       // bid and ask; a trade's price is price[0]
    uint32_t size[2];       // bid and ask sizes; a trade's size is size[0]
    uint32_t extra;         // a trade's sequence, a market maker (in order of first appearance),
                            // a symbol change's old instrument or UINT32_MAX
    uint8_t conditions[4];  // a trade's, unused ones 255
    // Only in wide rows: inputs with exchange times, imports that keep
    // fractional sizes.
    uint64_t exchange_micros;  // the exchange time's microseconds of its day, 0 without one
    uint64_t fraction;         // a trade's size in millionths
};
static_assert(std::is_trivially_copyable_v<ConvertedRow>);
inline constexpr std::size_t kNarrowRowBytes = 48;  // up to exchange_micros
inline constexpr std::size_t kWideRowBytes = sizeof(ConvertedRow);
static_assert(offsetof(ConvertedRow, exchange_micros) == kNarrowRowBytes);
static_assert(kWideRowBytes == 64);

inline uint8_t price_form(const ConvertedRow& row, int p) { return (row.price_forms >> (4 * p)) & 15; }
inline void set_price_form(ConvertedRow& row, int p, uint8_t form) {
    row.price_forms = static_cast<uint8_t>((row.price_forms & ~(15 << (4 * p))) | form << (4 * p));
}

}  // namespace tarvik::import
