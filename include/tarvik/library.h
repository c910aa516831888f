// The binary interface of the Tarvik library: the records it hands to its
// clients, the callback shapes and the 21 exports. The Python module reads
// these records at fixed offsets and the bundled engine produces them, so
// both include this one header. Every offset and size is checked below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

// ---------------------------------------------------------------------------
// Value records
// ---------------------------------------------------------------------------

struct TqDateRecord {
    uint32_t NDays;  // days since Jan 1, 1883
    uint16_t Year;
    uint8_t Month;   // 1..12
    uint8_t Day;     // 1..31
    uint8_t DSTIndicator;
    uint8_t DayOfWeek;  // 0 = Sunday
    uint8_t DayOfYear;  // low byte of the day of year 1..366
    uint8_t reserved;   // its high byte
};
static_assert(sizeof(TqDateRecord) == 12);
static_assert(offsetof(TqDateRecord, NDays) == 0);
static_assert(offsetof(TqDateRecord, Year) == 4);
static_assert(offsetof(TqDateRecord, Month) == 6);
static_assert(offsetof(TqDateRecord, Day) == 7);
static_assert(offsetof(TqDateRecord, DSTIndicator) == 8);
static_assert(offsetof(TqDateRecord, DayOfWeek) == 9);
static_assert(offsetof(TqDateRecord, DayOfYear) == 10);
static_assert(offsetof(TqDateRecord, reserved) == 11);

struct TqTimeRecord {
    uint32_t MsOfDay;
    uint16_t Millisecond;
    uint8_t Second;
    uint8_t Minute;
    uint8_t Hour;
    int8_t TimeZone;
    uint16_t MsResolution;
};
static_assert(sizeof(TqTimeRecord) == 12);
static_assert(offsetof(TqTimeRecord, MsOfDay) == 0);
static_assert(offsetof(TqTimeRecord, Millisecond) == 4);
static_assert(offsetof(TqTimeRecord, Second) == 6);
static_assert(offsetof(TqTimeRecord, Minute) == 7);
static_assert(offsetof(TqTimeRecord, Hour) == 8);
static_assert(offsetof(TqTimeRecord, TimeZone) == 9);
static_assert(offsetof(TqTimeRecord, MsResolution) == 10);

// A price as it stands inside a category field value.
struct TqPriceRecord {
    int32_t Price;
    uint8_t PriceType;
};
static_assert(offsetof(TqPriceRecord, Price) == 0);
static_assert(offsetof(TqPriceRecord, PriceType) == 4);

struct StringTableItemRecord {
    uint32_t ixTable;
    uint32_t idString;
};
static_assert(sizeof(StringTableItemRecord) == 8);
static_assert(offsetof(StringTableItemRecord, idString) == 4);

// A library string: two user-data words, a 16-bit atom and the
// NUL-terminated text, which starts at byte 10 and runs past the end of the
// struct. The engine keeps every string record at one address for a run.
struct TqStringRecord {
    int32_t UserData1;
    int32_t UserData2;
    uint16_t Atom;  // TqATOM_MAX_16BIT: the full atom does not fit
};
inline constexpr std::size_t kStringTextOffset = 10;
inline constexpr uint16_t TqATOM_MAX_16BIT = 65535;
static_assert(offsetof(TqStringRecord, UserData1) == 0);
static_assert(offsetof(TqStringRecord, UserData2) == 4);
static_assert(offsetof(TqStringRecord, Atom) == 8);

inline const char* string_text(const TqStringRecord* record) {
    return reinterpret_cast<const char*>(record) + kStringTextOffset;
}
inline char* string_text(TqStringRecord* record) {
    return reinterpret_cast<char*>(record) + kStringTextOffset;
}

struct TqOptionHdrRecord {
    TqStringRecord* ptqsDateAndStrike;
    TqStringRecord* ptqsUnderlying;
    TqStringRecord* ptqsSeriesChain;
    TqStringRecord* ptqsSpecialSettle;
    uint16_t exgUnderlying;
    uint16_t contractUnit;
    int32_t strikePrice;  // three implied decimals
    int32_t strikePriceEst;
    uint8_t PutCall;  // 1 put, 0 call
    uint8_t expirationCycle;
    uint8_t oicStrikeAge;
    uint8_t tqStrikeMatch;
    TqDateRecord tqExpirationDate;
};
static_assert(offsetof(TqOptionHdrRecord, ptqsDateAndStrike) == 0);
static_assert(offsetof(TqOptionHdrRecord, ptqsUnderlying) == 8);
static_assert(offsetof(TqOptionHdrRecord, ptqsSeriesChain) == 16);
static_assert(offsetof(TqOptionHdrRecord, ptqsSpecialSettle) == 24);
static_assert(offsetof(TqOptionHdrRecord, exgUnderlying) == 32);
static_assert(offsetof(TqOptionHdrRecord, contractUnit) == 34);
static_assert(offsetof(TqOptionHdrRecord, strikePrice) == 36);
static_assert(offsetof(TqOptionHdrRecord, strikePriceEst) == 40);
static_assert(offsetof(TqOptionHdrRecord, PutCall) == 44);
static_assert(offsetof(TqOptionHdrRecord, expirationCycle) == 45);
static_assert(offsetof(TqOptionHdrRecord, oicStrikeAge) == 46);
static_assert(offsetof(TqOptionHdrRecord, tqStrikeMatch) == 47);
static_assert(offsetof(TqOptionHdrRecord, tqExpirationDate) == 48);

// ---------------------------------------------------------------------------
// System record and message record
// ---------------------------------------------------------------------------

struct TarvikSystemRecord {
    int32_t UserData;
    int32_t DLLVersion;
    TqDateRecord tqDate;
    uint32_t reserved20;
    TqTimeRecord tqTime;
    uint32_t reserved36;
    int32_t ClockUpdateInterval;
    int32_t Status;
    int32_t StatusData;
    uint32_t padding52;
    const char* StatusDisplay;
    const char* TapeDisplay;
    int64_t Module;
    int64_t ThreadInstance;
    char PermissionSet[4];  // not NUL-terminated when all four are used
};
static_assert(offsetof(TarvikSystemRecord, UserData) == 0);
static_assert(offsetof(TarvikSystemRecord, DLLVersion) == 4);
static_assert(offsetof(TarvikSystemRecord, tqDate) == 8);
static_assert(offsetof(TarvikSystemRecord, tqTime) == 24);
static_assert(offsetof(TarvikSystemRecord, ClockUpdateInterval) == 40);
static_assert(offsetof(TarvikSystemRecord, Status) == 44);
static_assert(offsetof(TarvikSystemRecord, StatusData) == 48);
static_assert(offsetof(TarvikSystemRecord, StatusDisplay) == 56);
static_assert(offsetof(TarvikSystemRecord, TapeDisplay) == 64);
static_assert(offsetof(TarvikSystemRecord, Module) == 72);
static_assert(offsetof(TarvikSystemRecord, ThreadInstance) == 80);
static_assert(offsetof(TarvikSystemRecord, PermissionSet) == 88);
static_assert(sizeof(TarvikSystemRecord) == 96);

struct Tarvik3ExtRecord {
    uint64_t MicrosOfDaySRC;
    uint64_t MicrosOfDayPTP1;
    uint64_t MicrosOfDayPTP2;
    uint64_t FractionalSize;         // 6 implied decimals
    uint64_t FractionalTotalVolume;  // 6 implied decimals
};
static_assert(sizeof(Tarvik3ExtRecord) == 40);

// Quote fields shared by exchange and market-maker quotes.
struct TarvikQuoteRecord {
    int32_t AskSize;
    int32_t BidSize;
    int32_t AskSizeChange;
    int32_t BidSizeChange;
    int32_t AskPrice;
    int32_t BidPrice;
    int32_t AskPriceChange;
    int32_t BidPriceChange;
    uint8_t PriceType;
    uint8_t Refresh;
    uint8_t QuoteCondition;
    uint8_t NasdaqBidTick;
};
static_assert(sizeof(TarvikQuoteRecord) == 36);
static_assert(offsetof(TarvikQuoteRecord, AskPrice) == 16);
static_assert(offsetof(TarvikQuoteRecord, PriceType) == 32);
static_assert(offsetof(TarvikQuoteRecord, NasdaqBidTick) == 35);

struct TarvikExgQuoteBody {
    TarvikQuoteRecord coreQuote;
    uint32_t reserved;
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
static_assert(offsetof(TarvikExgQuoteBody, BestAskPrice) == 40);
static_assert(offsetof(TarvikExgQuoteBody, BestAskExg) == 72);
static_assert(offsetof(TarvikExgQuoteBody, BestAskCondition) == 80);
static_assert(sizeof(TarvikExgQuoteBody) == 84);

struct TarvikMMQuoteBody {
    TarvikQuoteRecord coreQuote;
    uint32_t reserved;
    TqStringRecord* ptqStringMarketMaker;  // may be null
    uint8_t MarketMakerType;
    uint8_t QuoteType;
};
static_assert(offsetof(TarvikMMQuoteBody, ptqStringMarketMaker) == 40);
static_assert(offsetof(TarvikMMQuoteBody, MarketMakerType) == 48);
static_assert(offsetof(TarvikMMQuoteBody, QuoteType) == 49);

struct TqCTAnalysisRecord {
    int32_t FilterThreshold;
    uint8_t Filtered;
    uint8_t FilterLevel;
    uint8_t SigHiLoType;
    uint8_t alignment;
    uint32_t SigHiLoSeconds;
    int32_t QteMatchDistanceRGN;
    int32_t QteMatchDistanceBBO;
    uint8_t QteMatchTypeRGN;
    uint8_t QteMatchTypeBBO;
    uint8_t QteMatchFlagsRGN;
    uint8_t QteMatchFlagsBBO;
};
static_assert(sizeof(TqCTAnalysisRecord) == 24);
static_assert(offsetof(TqCTAnalysisRecord, SigHiLoSeconds) == 8);
static_assert(offsetof(TqCTAnalysisRecord, QteMatchTypeRGN) == 20);

inline constexpr uint8_t kNoTradeCondition = 255;

struct TarvikTradeBody {
    int32_t Price;
    uint8_t PriceType;
    uint8_t PriceFlags;
    uint8_t TradeCondition;
    uint8_t ConditionFlags;
    uint8_t VolumeType;
    uint8_t BATECode;
    uint16_t reserved66;
    uint32_t Size;
    uint32_t ExgSequence;
    uint16_t RecordsBack;
    uint16_t reserved78;
    TqCTAnalysisRecord tqAnalysis;
    uint64_t TotalVolume;
    uint32_t TickVolume;
    int32_t Open;
    int32_t High;
    int32_t Low;
    int32_t Last;
    int32_t Tick;
    int32_t NetChange;
    uint8_t ExtTradeConditions[4];  // kNoTradeCondition marks an empty slot
};
static_assert(offsetof(TarvikTradeBody, PriceType) == 4);
static_assert(offsetof(TarvikTradeBody, Size) == 12);
static_assert(offsetof(TarvikTradeBody, ExgSequence) == 16);
static_assert(offsetof(TarvikTradeBody, RecordsBack) == 20);
static_assert(offsetof(TarvikTradeBody, tqAnalysis) == 24);
static_assert(offsetof(TarvikTradeBody, TotalVolume) == 48);
static_assert(offsetof(TarvikTradeBody, TickVolume) == 56);
static_assert(offsetof(TarvikTradeBody, Open) == 60);
static_assert(offsetof(TarvikTradeBody, NetChange) == 80);
static_assert(offsetof(TarvikTradeBody, ExtTradeConditions) == 84);
static_assert(sizeof(TarvikTradeBody) == 88);

// One field of a category message; the value's meaning follows FieldType.
struct TqCategoryFieldRecord {
    const char* FieldName;
    const char* FieldInfo;  // may be null
    uint8_t Set;
    uint8_t FieldType;  // TqCFT_*
    uint8_t reserved[6];
    union Value {
        uint64_t i64Bit;
        uint32_t i32Bit;
        const char* StringZ;
        double Double;
        TqPriceRecord tqPrice;
        TqDateRecord tqDate;
        TqTimeRecord tqTime;
        TqStringRecord* ptqString;
        StringTableItemRecord stringTableItem;
    } value;
};
static_assert(offsetof(TqCategoryFieldRecord, Set) == 16);
static_assert(offsetof(TqCategoryFieldRecord, FieldType) == 17);
static_assert(offsetof(TqCategoryFieldRecord, value) == 24);
static_assert(sizeof(TqCategoryFieldRecord) == 40);

struct TarvikCategoryBody {
    TqStringRecord* ptqStringCategory;  // its Atom is the category id
    TqCategoryFieldRecord* ptqFields;
    uint16_t NFields;
};
static_assert(offsetof(TarvikCategoryBody, ptqFields) == 8);
static_assert(offsetof(TarvikCategoryBody, NFields) == 16);

struct TarvikSymbolChangeBody {
    uint8_t Status;   // TqSS_ADD, TqSS_DEL, TqSS_MOD
    char StatusChar;  // 'A', 'D', 'M'
    uint8_t reserved[6];
    TqStringRecord* ptqsSymbolOld;         // modify messages only
    TqOptionHdrRecord* ptqOptionHdrOld;    // modify messages of options only
    uint16_t ListedExgOld;
};
static_assert(offsetof(TarvikSymbolChangeBody, StatusChar) == 1);
static_assert(offsetof(TarvikSymbolChangeBody, ptqsSymbolOld) == 8);
static_assert(offsetof(TarvikSymbolChangeBody, ptqOptionHdrOld) == 16);
static_assert(offsetof(TarvikSymbolChangeBody, ListedExgOld) == 24);

struct TarvikSymbolSpinBody {
    uint32_t SpinID;
    uint32_t IterLimit;
    uint32_t SubIterLimit;
    uint32_t IterCount;
    uint32_t SubIterCount;
};
static_assert(sizeof(TarvikSymbolSpinBody) == 20);

union TarvikMessageBody {
    TarvikExgQuoteBody ExgQuote;
    TarvikMMQuoteBody MMQuote;
    TarvikTradeBody Trade;
    TarvikCategoryBody Category;
    TarvikSymbolChangeBody SymbolChange;
    TarvikSymbolSpinBody SymbolSpin;
    unsigned char bytes[88];
};
static_assert(sizeof(TarvikMessageBody) == 88);

struct TarvikHeaderRecord {
    TqStringRecord* ptqStringSymbol;  // may be null
    TqOptionHdrRecord* ptqOptionHdr;  // null for a symbol that is not an option
    TqDateRecord tqSessionDate;
    uint32_t reserved28;
    TqTimeRecord tqExgTimestamp;
    uint32_t reserved44;
    uint16_t ListedExg;
    uint16_t ReportingExg;
    uint8_t SessionID;
    uint8_t alignment;
    uint16_t PermissionID;
};
static_assert(offsetof(TarvikHeaderRecord, tqSessionDate) == 16);
static_assert(offsetof(TarvikHeaderRecord, tqExgTimestamp) == 32);
static_assert(offsetof(TarvikHeaderRecord, ListedExg) == 48);
static_assert(offsetof(TarvikHeaderRecord, ReportingExg) == 50);
static_assert(offsetof(TarvikHeaderRecord, SessionID) == 52);
static_assert(offsetof(TarvikHeaderRecord, alignment) == 53);
static_assert(offsetof(TarvikHeaderRecord, PermissionID) == 54);
static_assert(sizeof(TarvikHeaderRecord) == 56);

struct TarvikMessageRecord {
    TarvikHeaderRecord coreHeader;
    TarvikMessageBody coreData;
    uint32_t MessageType;  // TqMSG_*
    uint32_t reserved148;
    Tarvik3ExtRecord* ptarvik3Ext;  // null when the event has no microsecond data
};
static_assert(offsetof(TarvikMessageRecord, coreData) == 56);
static_assert(offsetof(TarvikMessageRecord, MessageType) == 144);
static_assert(offsetof(TarvikMessageRecord, ptarvik3Ext) == 152);
static_assert(sizeof(TarvikMessageRecord) == 160);

// Absolute offsets inside the message record, as the module reads them.
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikExgQuoteBody, BestAskPrice) == 96);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikExgQuoteBody, BestAskExg) == 128);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikExgQuoteBody, BestAskCondition) == 136);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikMMQuoteBody, ptqStringMarketMaker) == 96);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikMMQuoteBody, MarketMakerType) == 104);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikTradeBody, tqAnalysis) == 80);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikTradeBody, TotalVolume) == 104);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikTradeBody, ExtTradeConditions) == 140);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikCategoryBody, NFields) == 72);
static_assert(offsetof(TarvikMessageRecord, coreData) + offsetof(TarvikSymbolChangeBody, ListedExgOld) == 80);

// ---------------------------------------------------------------------------
// State records
// ---------------------------------------------------------------------------

inline constexpr int kStateExgQuoteCapacity = 24;
inline constexpr int kStateMMQuoteCapacity = 512;

struct TarvikStateExgQuoteRecord {
    int32_t AskPrice;
    int32_t BidPrice;
    int32_t AskSize;
    int32_t BidSize;
    uint16_t ReportingExg;
    uint8_t QuoteCondition;
    uint8_t unused;
};
static_assert(sizeof(TarvikStateExgQuoteRecord) == 20);
static_assert(offsetof(TarvikStateExgQuoteRecord, ReportingExg) == 16);
static_assert(offsetof(TarvikStateExgQuoteRecord, QuoteCondition) == 18);

struct TarvikStateExgQuotesRecord {
    uint16_t StateQuoteCount;
    uint8_t PriceType;
    uint8_t NasdaqBidTick;
    uint16_t BestAskExg;
    uint16_t BestBidExg;
    TarvikStateExgQuoteRecord StateExgQuotes[kStateExgQuoteCapacity];
};
static_assert(offsetof(TarvikStateExgQuotesRecord, BestAskExg) == 4);
static_assert(offsetof(TarvikStateExgQuotesRecord, BestBidExg) == 6);
static_assert(offsetof(TarvikStateExgQuotesRecord, StateExgQuotes) == 8);
static_assert(sizeof(TarvikStateExgQuotesRecord) == 488);

struct TarvikStateMMQuoteRecord {
    int32_t AskPrice;
    int32_t BidPrice;
    int32_t AskSize;
    int32_t BidSize;
    TqStringRecord* ptqStringMarketMaker;
    uint8_t MarketMakerType;
    uint8_t QuoteType;
    uint8_t unused[6];
};
static_assert(offsetof(TarvikStateMMQuoteRecord, ptqStringMarketMaker) == 16);
static_assert(offsetof(TarvikStateMMQuoteRecord, MarketMakerType) == 24);
static_assert(offsetof(TarvikStateMMQuoteRecord, QuoteType) == 25);
static_assert(sizeof(TarvikStateMMQuoteRecord) == 32);

struct TarvikStateMMQuotesRecord {
    uint16_t StateQuoteCount;
    uint8_t PriceType;
    uint8_t NasdaqBidTick;
    uint32_t unused;
    TarvikStateMMQuoteRecord StateMMQuotes[kStateMMQuoteCapacity];
};
static_assert(offsetof(TarvikStateMMQuotesRecord, StateMMQuotes) == 8);
static_assert(sizeof(TarvikStateMMQuotesRecord) == 16392);

struct TarvikStateTradeRecord {
    uint64_t TotalVolume;
    uint32_t TickVolume;
    uint8_t PriceType;
    uint8_t PriceFlags;
    uint8_t ConditionFlags;
    uint8_t VolumeType;
    int32_t Open;
    int32_t High;
    int32_t Low;
    int32_t Last;
    int32_t NetChange;
    int32_t Price;
    int32_t Threshold;
    int32_t Tick;
};
static_assert(offsetof(TarvikStateTradeRecord, TickVolume) == 8);
static_assert(offsetof(TarvikStateTradeRecord, PriceType) == 12);
static_assert(offsetof(TarvikStateTradeRecord, VolumeType) == 15);
static_assert(offsetof(TarvikStateTradeRecord, Open) == 16);
static_assert(offsetof(TarvikStateTradeRecord, NetChange) == 32);
static_assert(offsetof(TarvikStateTradeRecord, Tick) == 44);
static_assert(sizeof(TarvikStateTradeRecord) == 48);

// ---------------------------------------------------------------------------
// Listing records
// ---------------------------------------------------------------------------

inline constexpr std::size_t kListingPathSize = 268;
inline constexpr std::size_t kTapePermSetSize = 16;

struct TarvikTapeFileRecord {
    char PathnameStrZ[kListingPathSize];
    uint32_t FileAttributes;
    uint32_t FileSizeHigh;  // high half of the size; clients read only FileSize
    uint32_t FileSize;
    TqDateRecord TapeDate;
    uint32_t reserved292;
    char PermSet[kTapePermSetSize];
};
static_assert(offsetof(TarvikTapeFileRecord, FileAttributes) == 268);
static_assert(offsetof(TarvikTapeFileRecord, FileSizeHigh) == 272);
static_assert(offsetof(TarvikTapeFileRecord, FileSize) == 276);
static_assert(offsetof(TarvikTapeFileRecord, TapeDate) == 280);
static_assert(offsetof(TarvikTapeFileRecord, PermSet) == 296);

struct TarvikAPIDLLFileRecord {
    char PathnameStrZ[kListingPathSize];
    uint32_t FileAttributes;
    uint32_t FileSizeHigh;
    uint32_t FileSize;
    TqDateRecord BuildDate;
    uint32_t reserved292;
    TqTimeRecord BuildTime;
    uint32_t reserved308;
    uint8_t verMajor;
    uint8_t verMinor;
    uint16_t verBuild;
};
static_assert(offsetof(TarvikAPIDLLFileRecord, FileAttributes) == 268);
static_assert(offsetof(TarvikAPIDLLFileRecord, FileSize) == 276);
static_assert(offsetof(TarvikAPIDLLFileRecord, BuildDate) == 280);
static_assert(offsetof(TarvikAPIDLLFileRecord, BuildTime) == 296);
static_assert(offsetof(TarvikAPIDLLFileRecord, verMajor) == 312);
static_assert(offsetof(TarvikAPIDLLFileRecord, verMinor) == 313);
static_assert(offsetof(TarvikAPIDLLFileRecord, verBuild) == 314);
static_assert(sizeof(TarvikAPIDLLFileRecord) == 316);

// ---------------------------------------------------------------------------
// Callbacks and exports
// ---------------------------------------------------------------------------

extern "C" {

// Called once per message; answers 0 continue, 1 stop, 2 restart.
typedef int32_t (*TarvikMessageCallback)(TarvikSystemRecord* system, TarvikMessageRecord* message);
// Called once per listed file; the first argument is always null, the
// second is a TarvikTapeFileRecord or a TarvikAPIDLLFileRecord. Answers 0.
typedef int32_t (*TarvikItemCallback)(void* reserved, const void* record);

typedef int32_t (*sTarvikAPIVersion_t)(void);
typedef int32_t (*sTarvikProcessTape_t)(const char* path, void* baseMemory, int32_t controlFlags,
                                        int32_t userData, TarvikMessageCallback callback);
typedef int32_t (*sTarvikListTapes_t)(int32_t controlFlags, TarvikItemCallback callback, void* reserved);
typedef int32_t (*sTarvikListAPIDLLs_t)(int32_t controlFlags, TarvikItemCallback callback, void* reserved);
typedef int32_t (*sTarvikSpinSymbols_t)(uint16_t listedExg, int32_t controlFlags, int32_t spinId,
                                        TarvikMessageCallback callback, int32_t userData);
typedef int32_t (*sTarvikSaveState_t)(const char* path, int32_t controlFlags);
typedef int32_t (*sTarvikGetStateData_t)(int32_t stateType, void* record, const TqStringRecord* symbol);
typedef int32_t (*sTarvikStateGetExgQuotes_t)(TarvikStateExgQuotesRecord* out, const TqStringRecord* symbol);
typedef int32_t (*sTarvikStateGetMMQuotes_t)(uint16_t reportingExg, TarvikStateMMQuotesRecord* out,
                                             const TqStringRecord* symbol);
typedef int32_t (*sTarvikStateGetLastTrade_t)(TarvikStateTradeRecord* out, const TqStringRecord* symbol);
typedef int32_t (*sTarvikPriceConvert_t)(int32_t price, uint8_t priceType, uint8_t newPriceType);
// Writes at most kPriceFormatBufferSize bytes, NUL included.
typedef int32_t (*sTarvikPriceFormat_t)(char* buffer, int32_t price, uint8_t priceType, int32_t minWidth,
                                        uint8_t commas);
typedef double (*sTarvikPriceToDouble_t)(int32_t price, uint8_t priceType);
typedef int32_t (*sTarvikDateFromNDays_t)(TqDateRecord* date);
typedef int32_t (*sTarvikDateFromYMD_t)(TqDateRecord* date);
typedef const char* (*sTarvikGetDefinedString_t)(int32_t table, int32_t index);
typedef int32_t (*sTarvikGetTapeName_t)(char* buffer, int32_t size);
typedef int32_t (*sTarvikSignalWaitEvent_t)(void);
typedef int32_t (*sTarvikSetCallback_t)(TarvikMessageCallback callback);
typedef int32_t (*sTarvikGetSymbolAtom32_t)(void);
typedef int32_t (*sTarvikExcludeOpraExch_t)(int32_t removeKey);

}  // extern "C"

inline constexpr std::size_t kPriceFormatBufferSize = 257;
inline constexpr std::size_t kTapeNameBufferSize = 260;

}  // namespace tarvik
