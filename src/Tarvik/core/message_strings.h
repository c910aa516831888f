// The message strings: the TqString objects of a run that its message
// object shows, one slot each (RunObjects::messageStrings). The header's
// five, kSymbol to kSpecialSettle, are also the spin strings
// (RunObjects::spinStrings) and the shown records of the write-back
// (CallbackState::shownRecords), in the same order.
#pragma once

namespace tarvik {

enum class MessageString : int {
    kMarketMaker,       // a market-maker quote's ptqStringMarketMaker
    kCategory,          // a category's ptqStringCategory
    kSymbol,            // the header's ptqStringSymbol
    kDateAndStrike,     // the header option's ptqsDateAndStrike
    kUnderlying,        // the header option's ptqsUnderlying
    kSeriesChain,       // the header option's ptqsSeriesChain
    kSpecialSettle,     // the header option's ptqsSpecialSettle
    kOldSymbol,         // a symbol change's ptqsSymbolOld
    kOldDateAndStrike,  // and the four strings of its ptqOptionHdrOld
    kOldUnderlying,
    kOldSeriesChain,
    kOldSpecialSettle,
};

inline constexpr int kMessageStringCount = 12;
inline constexpr int kHeaderStringCount = 5;

// A string's position in RunObjects::messageStrings.
constexpr int message_slot(MessageString string) { return static_cast<int>(string); }

// A header string's position among the header's five.
constexpr int header_slot(MessageString string) { return message_slot(string) - message_slot(MessageString::kSymbol); }

// The header option's four strings, in slot order.
inline constexpr MessageString kOptionStrings[] = {MessageString::kDateAndStrike, MessageString::kUnderlying,
                                                   MessageString::kSeriesChain, MessageString::kSpecialSettle};

// The strings that show the caches' strs, which they hold without a
// reference of their own while a run lasts (RunObjects::borrowedMembers);
// the others own theirs.
inline constexpr MessageString kCachedMessageStrings[] = {
    MessageString::kMarketMaker, MessageString::kSymbol,      MessageString::kDateAndStrike,
    MessageString::kUnderlying,  MessageString::kSeriesChain, MessageString::kSpecialSettle,
};

static_assert(message_slot(MessageString::kOldSpecialSettle) == kMessageStringCount - 1);
static_assert(header_slot(MessageString::kSpecialSettle) == kHeaderStringCount - 1);

}  // namespace tarvik
