// Trades and quotes from CSV files into a tape (docs/tape-tool.md).
//
//   quotes: symbol,time,exchange,bid,bid_size,ask,ask_size
//   trades: symbol,time,exchange,price,size,conditions
//
// Prices are decimal text; conditions are up to four numbers separated by
// spaces or semicolons. A first line starting with "symbol" is a header.
#pragma once

#include <istream>
#include <string>

#include "tape_script.h"

namespace tarvik::tool {

struct ImportOptions {
    uint32_t date_ndays = 0;
    uint8_t price_type = 4;  // four decimals
    uint16_t listed_exg = 1;
    uint16_t permission_id = 1;
};

// Either stream may be null. Throws InputError naming the file, the line
// and the field.
TapeContents import_csv(std::istream* quotes, const std::string& quotes_name, std::istream* trades,
                        const std::string& trades_name, const ImportOptions& options);

}  // namespace tarvik::tool
