// The fifteen records of one delivered message: the system record, the
// message record and the tree below it (header, extension, body holder and
// one body record per message kind). Runs of members that equal a block of
// the library's system or message record are stored as that block, so the
// filling code copies each block whole (record_copy.h).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "records/value_records.h"
#include "tarvik/library.h"

namespace tarvik {

extern PyTypeObject TarvikSystemType;
extern PyTypeObject TarvikDataType;
extern PyTypeObject TarvikHeaderType;
extern PyTypeObject Tarvik3ExtType;
extern PyTypeObject TarvikMessageType;
extern PyTypeObject TarvikQuoteType;
extern PyTypeObject TarvikExgQuoteType;
extern PyTypeObject TarvikMMQuoteType;
extern PyTypeObject TqCTAnalysisType;
extern PyTypeObject TarvikTradeType;
extern PyTypeObject TarvikSymbolChangeType;
extern PyTypeObject TarvikSymbolSpinType;
extern PyTypeObject TarvikCategoryType;
extern PyTypeObject TarvikCategoryDataType;
extern PyTypeObject TqCategoryFieldType;

inline constexpr int kCategoryFieldCapacity = 256;
inline constexpr int kTradeConditionSlots = 4;

// ---------------------------------------------------------------------------
// TarvikSystem
// ---------------------------------------------------------------------------

// System record bytes 0 to 7.
struct SystemHead {
    int32_t UserData;
    int32_t DLLVersion;
};
static_assert(sizeof(SystemHead) == 8);
static_assert(offsetof(TarvikSystemRecord, DLLVersion) == offsetof(SystemHead, DLLVersion));

// System record bytes 40 to 91 (ClockUpdateInterval to PermissionSet), then
// one byte that stays zero so that PermissionSet reads as text of up to four
// characters without ever being taken for an address.
struct SystemStatus {
    int32_t ClockUpdateInterval;
    int32_t Status;
    int32_t StatusData;
    uint32_t padding;
    const char* StatusDisplay;  // library text, valid during one callback
    const char* TapeDisplay;    // library text, valid during one callback
    int64_t Module;
    int64_t ThreadInstance;
    char PermissionSet[4];
    char PermissionSetEnd;  // always 0
};
inline constexpr std::size_t kSystemStatusOffset = offsetof(TarvikSystemRecord, ClockUpdateInterval);
inline constexpr std::size_t kSystemStatusSize = 52;
static_assert(kSystemStatusOffset == 40);
static_assert(offsetof(TarvikSystemRecord, PermissionSet) + 4 - kSystemStatusOffset == kSystemStatusSize);
static_assert(offsetof(SystemStatus, Status) == offsetof(TarvikSystemRecord, Status) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, StatusData) == offsetof(TarvikSystemRecord, StatusData) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, StatusDisplay) ==
              offsetof(TarvikSystemRecord, StatusDisplay) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, TapeDisplay) == offsetof(TarvikSystemRecord, TapeDisplay) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, Module) == offsetof(TarvikSystemRecord, Module) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, ThreadInstance) ==
              offsetof(TarvikSystemRecord, ThreadInstance) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, PermissionSet) ==
              offsetof(TarvikSystemRecord, PermissionSet) - kSystemStatusOffset);
static_assert(offsetof(SystemStatus, PermissionSetEnd) == kSystemStatusSize);
static_assert(sizeof(Py_ssize_t) == sizeof(int64_t));

struct TarvikSystemObject {
    PyObject_HEAD
    SystemHead head;
    TqDateObject* tqDate;  // owned child
    TqTimeObject* tqTime;  // owned child
    SystemStatus status;
};

// ---------------------------------------------------------------------------
// TarvikHeader, Tarvik3Ext, TarvikMessage, TarvikData
// ---------------------------------------------------------------------------

// Message record bytes 48 to 55: ListedExg to PermissionID.
struct HeaderNumbers {
    uint16_t ListedExg;
    uint16_t ReportingExg;
    uint8_t SessionID;
    uint8_t alignment;
    uint16_t PermissionID;
};
inline constexpr std::size_t kHeaderNumbersOffset = offsetof(TarvikHeaderRecord, ListedExg);
static_assert(sizeof(HeaderNumbers) == 8);
static_assert(offsetof(HeaderNumbers, ReportingExg) == offsetof(TarvikHeaderRecord, ReportingExg) - kHeaderNumbersOffset);
static_assert(offsetof(HeaderNumbers, SessionID) == offsetof(TarvikHeaderRecord, SessionID) - kHeaderNumbersOffset);
static_assert(offsetof(HeaderNumbers, alignment) == offsetof(TarvikHeaderRecord, alignment) - kHeaderNumbersOffset);
static_assert(offsetof(HeaderNumbers, PermissionID) == offsetof(TarvikHeaderRecord, PermissionID) - kHeaderNumbersOffset);
static_assert(kHeaderNumbersOffset + sizeof(HeaderNumbers) == sizeof(TarvikHeaderRecord));

// ptqStringSymbol and ptqOptionHdr are writable from Python: each holds a
// reference of its own to whatever it shows (any object, or null).
struct TarvikHeaderObject {
    PyObject_HEAD
    PyObject* ptqStringSymbol;
    PyObject* ptqOptionHdr;
    TqDateObject* tqSessionDate;   // owned child
    TqTimeObject* tqExgTimestamp;  // owned child
    HeaderNumbers numbers;
};

struct Tarvik3ExtObject {
    PyObject_HEAD
    Tarvik3ExtRecord record;
};
static_assert(sizeof(Tarvik3ExtObject::record) == 40);

struct TarvikDataObject;

struct TarvikMessageObject {
    PyObject_HEAD
    TarvikHeaderObject* coreHeader;  // owned child
    TarvikDataObject* coreData;      // owned child
    uint32_t MessageType;
    PyObject* ptarvik3Ext;  // owned reference, null when unset; borrowed from the run while one lasts
};

struct TarvikExgQuoteObject;
struct TarvikMMQuoteObject;
struct TarvikTradeObject;
struct TarvikSymbolChangeObject;
struct TarvikSymbolSpinObject;
struct TarvikCategoryObject;

struct TarvikDataObject {
    PyObject_HEAD
    TarvikExgQuoteObject* ExgQuote;
    TarvikMMQuoteObject* MMQuote;
    TarvikTradeObject* Trade;
    TarvikCategoryObject* Category;
    TarvikSymbolChangeObject* SymbolChange;
    TarvikSymbolSpinObject* SymbolSpin;
};

// ---------------------------------------------------------------------------
// Quotes
// ---------------------------------------------------------------------------

struct TarvikQuoteObject {
    PyObject_HEAD
    TarvikQuoteRecord record;
};
static_assert(sizeof(TarvikQuoteObject::record) == 36);

// Exchange-quote body bytes 40 to 83 (message bytes 96 to 139):
// BestAskPrice to ClosingQuoteFlag.
struct ExgQuoteBest {
    int32_t BestAskPrice;
    int32_t BestBidPrice;
    int32_t BestAskPriceChange;
    int32_t BestBidPriceChange;
    int32_t BestAskSize;
    int32_t BestBidSize;
    int32_t BestAskSizeChange;
    int32_t BestBidSizeChange;
    uint16_t BestAskExg;
    uint16_t BestBidExg;
    uint16_t PrevBestAskExg;
    uint16_t PrevBestBidExg;
    uint8_t BestAskCondition;
    uint8_t BestBidCondition;
    uint8_t BBOChangeFlags;
    uint8_t ClosingQuoteFlag;
};
inline constexpr std::size_t kExgQuoteBestOffset = offsetof(TarvikExgQuoteBody, BestAskPrice);
static_assert(sizeof(ExgQuoteBest) == 44);
static_assert(kExgQuoteBestOffset + sizeof(ExgQuoteBest) == sizeof(TarvikExgQuoteBody));
static_assert(offsetof(ExgQuoteBest, BestBidSizeChange) ==
              offsetof(TarvikExgQuoteBody, BestBidSizeChange) - kExgQuoteBestOffset);
static_assert(offsetof(ExgQuoteBest, BestAskExg) == offsetof(TarvikExgQuoteBody, BestAskExg) - kExgQuoteBestOffset);
static_assert(offsetof(ExgQuoteBest, PrevBestBidExg) ==
              offsetof(TarvikExgQuoteBody, PrevBestBidExg) - kExgQuoteBestOffset);
static_assert(offsetof(ExgQuoteBest, BestAskCondition) ==
              offsetof(TarvikExgQuoteBody, BestAskCondition) - kExgQuoteBestOffset);
static_assert(offsetof(ExgQuoteBest, ClosingQuoteFlag) ==
              offsetof(TarvikExgQuoteBody, ClosingQuoteFlag) - kExgQuoteBestOffset);

struct TarvikExgQuoteObject {
    PyObject_HEAD
    TarvikQuoteObject* coreQuote;  // owned child
    ExgQuoteBest best;
};

struct TarvikMMQuoteObject {
    PyObject_HEAD
    TarvikQuoteObject* coreQuote;    // owned child
    PyObject* ptqStringMarketMaker;  // owned reference, null when unset
    uint8_t MarketMakerType;
    uint8_t QuoteType;
};

// ---------------------------------------------------------------------------
// Trade
// ---------------------------------------------------------------------------

struct TqCTAnalysisObject {
    PyObject_HEAD
    TqCTAnalysisRecord record;
};
static_assert(sizeof(TqCTAnalysisObject::record) == 24);

// Trade body bytes 0 to 15 (message bytes 56 to 71): Price to Size.
struct TradeHead {
    int32_t Price;
    uint8_t PriceType;
    uint8_t PriceFlags;
    uint8_t TradeCondition;
    uint8_t ConditionFlags;
    uint8_t VolumeType;
    uint8_t BATECode;
    uint16_t reserved;  // copied along, not shown
    uint32_t Size;
};
static_assert(sizeof(TradeHead) == 16);
static_assert(offsetof(TradeHead, PriceType) == offsetof(TarvikTradeBody, PriceType));
static_assert(offsetof(TradeHead, BATECode) == offsetof(TarvikTradeBody, BATECode));
static_assert(offsetof(TradeHead, Size) == offsetof(TarvikTradeBody, Size));

// Trade body bytes 48 to 83 (message bytes 104 to 139): TotalVolume to
// NetChange. 36 bytes; the struct is padded to 40.
struct TradeTotals {
    uint64_t TotalVolume;
    uint32_t TickVolume;
    int32_t Open;
    int32_t High;
    int32_t Low;
    int32_t Last;
    int32_t Tick;
    int32_t NetChange;
};
inline constexpr std::size_t kTradeTotalsOffset = offsetof(TarvikTradeBody, TotalVolume);
inline constexpr std::size_t kTradeTotalsSize = 36;
static_assert(offsetof(TradeTotals, NetChange) + sizeof(int32_t) == kTradeTotalsSize);
static_assert(kTradeTotalsOffset + kTradeTotalsSize == offsetof(TarvikTradeBody, ExtTradeConditions));
static_assert(offsetof(TradeTotals, TickVolume) == offsetof(TarvikTradeBody, TickVolume) - kTradeTotalsOffset);
static_assert(offsetof(TradeTotals, Open) == offsetof(TarvikTradeBody, Open) - kTradeTotalsOffset);
static_assert(offsetof(TradeTotals, High) == offsetof(TarvikTradeBody, High) - kTradeTotalsOffset);
static_assert(offsetof(TradeTotals, Low) == offsetof(TarvikTradeBody, Low) - kTradeTotalsOffset);
static_assert(offsetof(TradeTotals, Last) == offsetof(TarvikTradeBody, Last) - kTradeTotalsOffset);
static_assert(offsetof(TradeTotals, Tick) == offsetof(TarvikTradeBody, Tick) - kTradeTotalsOffset);
static_assert(offsetof(TradeTotals, NetChange) == offsetof(TarvikTradeBody, NetChange) - kTradeTotalsOffset);

struct TarvikTradeObject {
    PyObject_HEAD
    TradeHead head;
    uint32_t ExgSequence;
    uint32_t RecordsBack;  // the record's 16 bits, widened
    TqCTAnalysisObject* tqAnalysis;  // owned child
    TradeTotals totals;
    PyObject* ExtTradeConditions;  // owned list; programs may change its items
};

// ---------------------------------------------------------------------------
// Symbol change, symbol spin
// ---------------------------------------------------------------------------

struct TarvikSymbolChangeObject {
    PyObject_HEAD
    uint8_t Status;
    char StatusChar;
    PyObject* ptqsSymbolOld;    // owned reference, null when unset
    PyObject* ptqOptionHdrOld;  // owned reference, null when unset
    uint16_t ListedExgOld;
};

struct TarvikSymbolSpinObject {
    PyObject_HEAD
    TarvikSymbolSpinBody record;
};
static_assert(sizeof(TarvikSymbolSpinObject::record) == 20);

// ---------------------------------------------------------------------------
// Category
// ---------------------------------------------------------------------------

// One value member per field type.
struct TarvikCategoryDataObject {
    PyObject_HEAD
    uint64_t i64Bit;
    uint32_t i32Bit;
    const char* StringZ;  // library text, valid during one callback
    double Double;
    TqPriceObject* tqPrice;                   // owned child
    TqDateObject* tqDate;                     // owned child
    TqTimeObject* tqTime;                     // owned child
    TqStringObject* ptqString;                // owned child
    StringTableItemObject* stringTableItem;   // owned child
};

struct TqCategoryFieldObject {
    PyObject_HEAD
    const char* FieldName;  // library text, valid during one callback
    const char* FieldInfo;  // library text, valid during one callback
    uint8_t Set;
    uint8_t FieldType;
    TarvikCategoryDataObject* data;  // owned child
};

// ptqFields is an ordinary list that programs may change; the category keeps
// its own references to the 256 fields it made in `fields`, which the
// filling code and the deallocator use instead of the list.
struct TarvikCategoryObject {
    PyObject_HEAD
    PyObject* ptqStringCategory;  // owned reference, null when unset
    PyObject* ptqFields;          // owned list
    uint16_t NFields;
    TqCategoryFieldObject* fields[kCategoryFieldCapacity];  // owned
};

}  // namespace tarvik
