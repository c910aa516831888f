// The seven state and listing records: results of the state queries and the
// files found by the listings. Their numbers are stored in the order and
// widths of the library's state and listing records (record_copy.h).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "records/value_records.h"
#include "tarvik/library.h"

namespace tarvik {

extern PyTypeObject TarvikStateExgQuoteType;
extern PyTypeObject TarvikStateMMQuoteType;
extern PyTypeObject TarvikStateExgQuotesType;
extern PyTypeObject TarvikStateMMQuotesType;
extern PyTypeObject TarvikStateTradeType;
extern PyTypeObject TarvikTapeFileType;
extern PyTypeObject TarvikAPIDLLFileType;

// One exchange's entry: AskPrice to QuoteCondition, 20 record bytes.
struct TarvikStateExgQuoteObject {
    PyObject_HEAD
    TarvikStateExgQuoteRecord record;
};
static_assert(sizeof(TarvikStateExgQuoteObject::record) == 20);

// Market-maker entry bytes 0 to 15: the four prices and sizes.
struct StateQuotePrices {
    int32_t AskPrice;
    int32_t BidPrice;
    int32_t AskSize;
    int32_t BidSize;
};
static_assert(sizeof(StateQuotePrices) == 16);
static_assert(offsetof(StateQuotePrices, BidPrice) == offsetof(TarvikStateMMQuoteRecord, BidPrice));
static_assert(offsetof(StateQuotePrices, AskSize) == offsetof(TarvikStateMMQuoteRecord, AskSize));
static_assert(offsetof(StateQuotePrices, BidSize) == offsetof(TarvikStateMMQuoteRecord, BidSize));
static_assert(offsetof(TarvikStateMMQuoteRecord, ptqStringMarketMaker) == sizeof(StateQuotePrices));

struct TarvikStateMMQuoteObject {
    PyObject_HEAD
    StateQuotePrices prices;
    PyObject* ptqStringMarketMaker;  // owned reference, null when unset
    uint8_t MarketMakerType;
    uint8_t QuoteType;
};

// Exchange-quote state record bytes 0 to 7.
struct StateExgQuotesHead {
    uint16_t StateQuoteCount;
    uint8_t PriceType;
    uint8_t NasdaqBidTick;
    uint16_t BestAskExg;
    uint16_t BestBidExg;
};
static_assert(sizeof(StateExgQuotesHead) == 8);
static_assert(offsetof(StateExgQuotesHead, PriceType) == offsetof(TarvikStateExgQuotesRecord, PriceType));
static_assert(offsetof(StateExgQuotesHead, NasdaqBidTick) == offsetof(TarvikStateExgQuotesRecord, NasdaqBidTick));
static_assert(offsetof(StateExgQuotesHead, BestAskExg) == offsetof(TarvikStateExgQuotesRecord, BestAskExg));
static_assert(offsetof(StateExgQuotesHead, BestBidExg) == offsetof(TarvikStateExgQuotesRecord, BestBidExg));

// StateExgQuotes is an ordinary list that programs may change; `items` holds
// the record's own references to the 24 entries it made, which the filling
// code and the deallocator use instead of the list.
struct TarvikStateExgQuotesObject {
    PyObject_HEAD
    StateExgQuotesHead head;
    PyObject* StateExgQuotes;  // owned list
    TarvikStateExgQuoteObject* items[kStateExgQuoteCapacity];  // owned
};

// Market-maker state record bytes 0 to 3.
struct StateMMQuotesHead {
    uint16_t StateQuoteCount;
    uint8_t PriceType;
    uint8_t NasdaqBidTick;
};
static_assert(sizeof(StateMMQuotesHead) == 4);
static_assert(offsetof(StateMMQuotesHead, PriceType) == offsetof(TarvikStateMMQuotesRecord, PriceType));
static_assert(offsetof(StateMMQuotesHead, NasdaqBidTick) == offsetof(TarvikStateMMQuotesRecord, NasdaqBidTick));

struct TarvikStateMMQuotesObject {
    PyObject_HEAD
    StateMMQuotesHead head;
    PyObject* StateMMQuotes;  // owned list
    TarvikStateMMQuoteObject* items[kStateMMQuoteCapacity];  // owned
};

// The fourteen members are the 48-byte trade state record.
struct TarvikStateTradeObject {
    PyObject_HEAD
    TarvikStateTradeRecord record;
};
static_assert(sizeof(TarvikStateTradeObject::record) == 48);

struct TarvikTapeFileObject {
    PyObject_HEAD
    PyObject* PathnameStrZ;  // owned, null when unset
    uint32_t FileAttributes;
    uint64_t FileSize;
    TqDateObject* TapeDate;  // owned child
    PyObject* PermSet;       // owned, null when unset
};

// Library-file record bytes 312 to 315: verMajor, verMinor, verBuild.
struct LibraryVersion {
    uint8_t verMajor;
    uint8_t verMinor;
    uint16_t verBuild;
};
inline constexpr std::size_t kLibraryVersionOffset = offsetof(TarvikAPIDLLFileRecord, verMajor);
static_assert(sizeof(LibraryVersion) == 4);
static_assert(offsetof(LibraryVersion, verMinor) == offsetof(TarvikAPIDLLFileRecord, verMinor) - kLibraryVersionOffset);
static_assert(offsetof(LibraryVersion, verBuild) == offsetof(TarvikAPIDLLFileRecord, verBuild) - kLibraryVersionOffset);

struct TarvikAPIDLLFileObject {
    PyObject_HEAD
    PyObject* PathnameStrZ;  // owned, null when unset
    uint32_t FileAttributes;
    uint64_t FileSize;
    TqDateObject* BuildDate;  // owned child
    TqTimeObject* BuildTime;  // owned child
    LibraryVersion version;
};

}  // namespace tarvik
