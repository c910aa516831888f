// What the structure-aware fuzzers do with a run: read every record a
// client reads and ask the state queries about every symbol, so that a bad
// index or pointer the engine let through shows up as a fault.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "engine/engine_constants.h"
#include "engine/run.h"

namespace tarvik::fuzz {

inline thread_local uint32_t t_callbacks = 0;

// Reads the text of a string record, whichever byte a bad pointer hits.
inline uint32_t touch(const TqStringRecord* record) {
    if (record == nullptr) return 0;
    uint32_t sum = static_cast<uint32_t>(record->UserData2);
    for (const char* p = string_text(record); *p != '\0'; ++p) sum += static_cast<unsigned char>(*p);
    return sum;
}

// The state queries for one symbol record, and every text they point at.
inline uint32_t query(const TqStringRecord* record) {
    engine::Run* run = engine::Run::current();
    if (run == nullptr || record == nullptr) return 0;
    thread_local const auto quotes = std::make_unique<TarvikStateExgQuotesRecord>();
    thread_local const auto mm = std::make_unique<TarvikStateMMQuotesRecord>();
    thread_local const auto trade = std::make_unique<TarvikStateTradeRecord>();
    uint32_t sum = 0;
    sum += static_cast<uint32_t>(run->get_exg_quotes(quotes.get(), record));
    sum += static_cast<uint32_t>(run->get_last_trade(trade.get(), record));
    if (run->get_mm_quotes(engine::kAllExchanges, mm.get(), record) == 0) {
        if (mm->StateQuoteCount > kStateMMQuoteCapacity) std::abort();
        for (uint16_t i = 0; i < mm->StateQuoteCount; ++i) sum += touch(mm->StateMMQuotes[i].ptqStringMarketMaker);
    }
    return sum;
}

inline const TqStringRecord* query_record(const TarvikHeaderRecord& h) {
    return h.ptqOptionHdr != nullptr ? h.ptqOptionHdr->ptqsDateAndStrike : h.ptqStringSymbol;
}

inline int32_t spun(TarvikSystemRecord*, TarvikMessageRecord* message) {
    volatile uint32_t sink = touch(message->coreHeader.ptqStringSymbol) + query(query_record(message->coreHeader));
    (void)sink;
    return 0;
}

// The message callback: reads the message as a client does, queries the
// symbol of every 16th, and at a loaded state or the end of the day spins
// every symbol and queries each.
inline int32_t client(TarvikSystemRecord* system, TarvikMessageRecord* message) {
    ++t_callbacks;
    const TarvikHeaderRecord& h = message->coreHeader;
    volatile uint32_t sink = static_cast<uint32_t>(system->Status) + touch(h.ptqStringSymbol);
    if (h.ptqOptionHdr != nullptr) {
        sink += touch(h.ptqOptionHdr->ptqsDateAndStrike) + touch(h.ptqOptionHdr->ptqsUnderlying);
    }
    switch (message->MessageType) {
    case TqMSG_CATEGORY: {
        const TarvikCategoryBody& c = message->coreData.Category;
        sink += touch(c.ptqStringCategory);
        for (uint16_t i = 0; i < c.NFields; ++i) sink += static_cast<uint32_t>(c.ptqFields[i].FieldName[0]);
        break;
    }
    case TqMSG_MMQUOTE:
        sink += touch(message->coreData.MMQuote.ptqStringMarketMaker);
        break;
    case TqMSG_SYMBOLCHANGE:
        sink += touch(message->coreData.SymbolChange.ptqsSymbolOld);
        break;
    case TqMSG_STATUS:
        if (system->Status == TARVIKSTATUS_LOADED_STATE || system->Status == TARVIKSTATUS_COMPLETE) {
            engine::Run* run = engine::Run::current();
            run->spin_symbols(TqSPIN_ALL_EXGS, TqSPIN_NON_OPTIONS, 0, spun, 0);
            run->spin_symbols(TqSPIN_ALL_EXGS, TqSPIN_OPTIONS, 0, spun, 0);
        }
        break;
    default:
        break;
    }
    if (message->MessageType != TqMSG_STATUS && t_callbacks % 16 == 0) sink += query(query_record(h));
    (void)sink;
    return 0;
}

// Reads little-endian values from the fuzzer's input, zeros past its end.
class InputReader {
public:
    InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    template <typename T>
    T get() {
        T value{};
        for (std::size_t i = 0; i < sizeof(T) && pos_ < size_; ++i)
            value |= static_cast<T>(static_cast<T>(data_[pos_++]) << (8 * i));
        return value;
    }
    bool more() const { return pos_ < size_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Values that sit on the edges of counts and indexes.
inline uint64_t edge_value(uint8_t choice, uint64_t raw, uint64_t count) {
    switch (choice % 8) {
    case 0: return 0;
    case 1: return count;
    case 2: return count + 1;
    case 3: return count == 0 ? 0 : count - 1;
    case 4: return 0xFFFFFFFFu;
    case 5: return 0x7FFFFFFFu;
    case 6: return ~uint64_t{0};
    default: return raw;
    }
}

}  // namespace tarvik::fuzz
