#include "records/state_records.h"

#include "core/doc_links.h"
#include "records/record_type.h"

namespace tarvik {

// ---------------------------------------------------------------------------
// TarvikStateExgQuote
// ---------------------------------------------------------------------------

constexpr std::size_t kExgEntry = offsetof(TarvikStateExgQuoteObject, record);

constexpr PyMemberDef kStateExgQuoteMembers[] = {
    {"AskPrice", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, AskPrice)), Py_READONLY,
     "Current ask price of ReportingExg"},
    {"BidPrice", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, BidPrice)), Py_READONLY,
     "Current bid price of ReportingExg"},
    {"AskSize", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, AskSize)), Py_READONLY,
     "Current ask size of ReportingExg"},
    {"BidSize", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, BidSize)), Py_READONLY,
     "Current bid size of ReportingExg"},
    {"ReportingExg", Py_T_USHORT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, ReportingExg)), Py_READONLY,
     "The reporting exchange for this quote. Can be compared against BestAskExg or BestBidExg to determine NBBO"},
    {"QuoteCondition", Py_T_UBYTE, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, QuoteCondition)), Py_READONLY,
     "Quote condition assigned by exchange. For values see: " TARVIK_DOC_QUOTE_CONDITIONS},
    {nullptr},
};

constexpr RecordDescriptor kStateExgQuoteDescriptor = {"Tarvik.TarvikStateExgQuote", "TarvikStateExgQuote Object",
                                                       sizeof(TarvikStateExgQuoteObject), kStateExgQuoteMembers};

PyTypeObject TarvikStateExgQuoteType = record_type<kStateExgQuoteDescriptor>();

// ---------------------------------------------------------------------------
// TarvikStateMMQuote
// ---------------------------------------------------------------------------

constexpr std::size_t kPrices = offsetof(TarvikStateMMQuoteObject, prices);

constexpr PyMemberDef kStateMMQuoteMembers[] = {
    {"AskPrice", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, AskPrice)), Py_READONLY,
     "Current ask price from the market maker identified as ptqStringMarketMaker"},
    {"BidPrice", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, BidPrice)), Py_READONLY,
     "Current bsk price from the market maker identified as ptqStringMarketMaker"},
    {"AskSize", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, AskSize)), Py_READONLY,
     "Current ask size from the market maker identified as ptqStringMarketMaker"},
    {"BidSize", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, BidSize)), Py_READONLY,
     "Current bid size from the market maker identified as ptqStringMarketMaker"},
    {"ptqStringMarketMaker", _Py_T_OBJECT, offsetof(TarvikStateMMQuoteObject, ptqStringMarketMaker), Py_READONLY,
     "TqString containing either the Market Marker or D0,D1,D2... for level of depth"},
    {"MarketMakerType", Py_T_UBYTE, offsetof(TarvikStateMMQuoteObject, MarketMakerType), Py_READONLY,
     "Identify the type of Market Maker"},
    {"QuoteType", Py_T_UBYTE, offsetof(TarvikStateMMQuoteObject, QuoteType), Py_READONLY,
     "Identify a special type of quote"},
    {nullptr},
};

constexpr RecordDescriptor kStateMMQuoteDescriptor = {"Tarvik.TarvikStateMMQuote", "TarvikStateMMQuote Object",
                                                      sizeof(TarvikStateMMQuoteObject), kStateMMQuoteMembers};

PyTypeObject TarvikStateMMQuoteType = record_type<kStateMMQuoteDescriptor>();

// ---------------------------------------------------------------------------
// TarvikStateExgQuotes
// ---------------------------------------------------------------------------

constexpr std::size_t kExgHead = offsetof(TarvikStateExgQuotesObject, head);

constexpr PyMemberDef kStateExgQuotesMembers[] = {
    {"StateQuoteCount", Py_T_USHORT, at(kExgHead, offsetof(StateExgQuotesHead, StateQuoteCount)), Py_READONLY,
     "Number of items in StateExgQuotes"},
    {"PriceType", Py_T_UBYTE, at(kExgHead, offsetof(StateExgQuotesHead, PriceType)), Py_READONLY,
     "Price type to use for all prices in StateExgQuotes"},
    {"NasdaqBidTick", Py_T_UBYTE, at(kExgHead, offsetof(StateExgQuotesHead, NasdaqBidTick)), Py_READONLY,
     "NasdaqBidTick"},
    {"BestAskExg", Py_T_USHORT, at(kExgHead, offsetof(StateExgQuotesHead, BestAskExg)), Py_READONLY,
     "The ReportingExg in one of the items in StateExgQuotes that has the best ask"},
    {"BestBidExg", Py_T_USHORT, at(kExgHead, offsetof(StateExgQuotesHead, BestBidExg)), Py_READONLY,
     "The ReportingExg in one of the items in StateExgQuotes that has the best bid"},
    {"StateExgQuotes", _Py_T_OBJECT, offsetof(TarvikStateExgQuotesObject, StateExgQuotes), Py_READONLY,
     "List of TarvikStateExgQuote"},
    {nullptr},
};

constexpr MadeMember kStateExgQuotesMade[] = {
    child_list(offsetof(TarvikStateExgQuotesObject, StateExgQuotes), TarvikStateExgQuoteType,
               offsetof(TarvikStateExgQuotesObject, items), kStateExgQuoteCapacity),
};

constexpr RecordDescriptor kStateExgQuotesDescriptor = {"Tarvik.TarvikStateExgQuotes", "TarvikStateExgQuotes Object",
                                                        sizeof(TarvikStateExgQuotesObject), kStateExgQuotesMembers,
                                                        kStateExgQuotesMade};

PyTypeObject TarvikStateExgQuotesType = record_type<kStateExgQuotesDescriptor>();

// ---------------------------------------------------------------------------
// TarvikStateMMQuotes
// ---------------------------------------------------------------------------

constexpr std::size_t kMMHead = offsetof(TarvikStateMMQuotesObject, head);

constexpr PyMemberDef kStateMMQuotesMembers[] = {
    {"StateQuoteCount", Py_T_USHORT, at(kMMHead, offsetof(StateMMQuotesHead, StateQuoteCount)), Py_READONLY,
     "Number of items in StateMMQuotes"},
    {"PriceType", Py_T_UBYTE, at(kMMHead, offsetof(StateMMQuotesHead, PriceType)), Py_READONLY,
     "Price type to use for all prices in StateMMQuotes"},
    {"NasdaqBidTick", Py_T_UBYTE, at(kMMHead, offsetof(StateMMQuotesHead, NasdaqBidTick)), Py_READONLY,
     "NasdaqBidTick"},
    {"StateMMQuotes", _Py_T_OBJECT, offsetof(TarvikStateMMQuotesObject, StateMMQuotes), Py_READONLY,
     "List of TarvikStateMMQuote"},
    {nullptr},
};

constexpr MadeMember kStateMMQuotesMade[] = {
    child_list(offsetof(TarvikStateMMQuotesObject, StateMMQuotes), TarvikStateMMQuoteType,
               offsetof(TarvikStateMMQuotesObject, items), kStateMMQuoteCapacity),
};

constexpr RecordDescriptor kStateMMQuotesDescriptor = {"Tarvik.TarvikStateMMQuotes", "TarvikStateMMQuotes Object",
                                                       sizeof(TarvikStateMMQuotesObject), kStateMMQuotesMembers,
                                                       kStateMMQuotesMade};

PyTypeObject TarvikStateMMQuotesType = record_type<kStateMMQuotesDescriptor>();

// ---------------------------------------------------------------------------
// TarvikStateTrade
// ---------------------------------------------------------------------------

constexpr std::size_t kTrade = offsetof(TarvikStateTradeObject, record);

constexpr PyMemberDef kStateTradeMembers[] = {
    {"TotalVolume", Py_T_ULONGLONG, at(kTrade, offsetof(TarvikStateTradeRecord, TotalVolume)), Py_READONLY,
     "Total Volume"},
    {"TickVolume", Py_T_UINT, at(kTrade, offsetof(TarvikStateTradeRecord, TickVolume)), Py_READONLY, "Tick Volume"},
    {"PriceType", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, PriceType)), Py_READONLY, "Price Type"},
    {"PriceFlags", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, PriceFlags)), Py_READONLY,
     "Price Flags"},
    {"ConditionFlags", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, ConditionFlags)), Py_READONLY,
     "Condition Flags"},
    {"VolumeType", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, VolumeType)), Py_READONLY,
     "Volume Type"},
    {"Open", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Open)), Py_READONLY, "Open"},
    {"High", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, High)), Py_READONLY, "High"},
    {"Low", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Low)), Py_READONLY, "Low"},
    {"Last", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Last)), Py_READONLY, "Last"},
    {"NetChange", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, NetChange)), Py_READONLY, "Net Change"},
    {"Price", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Price)), Py_READONLY, "Price"},
    {"Threshold", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Threshold)), Py_READONLY, "Threshold"},
    {"Tick", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Tick)), Py_READONLY, "Tick"},
    {nullptr},
};

constexpr RecordDescriptor kStateTradeDescriptor = {"Tarvik.TarvikStateTrade", "TarvikStateTrade Object",
                                                    sizeof(TarvikStateTradeObject), kStateTradeMembers};

PyTypeObject TarvikStateTradeType = record_type<kStateTradeDescriptor>();

// ---------------------------------------------------------------------------
// TarvikTapeFile
// ---------------------------------------------------------------------------

constexpr PyMemberDef kTapeFileMembers[] = {
    {"PathnameStrZ", _Py_T_OBJECT, offsetof(TarvikTapeFileObject, PathnameStrZ), Py_READONLY, "Full path to the tape"},
    {"FileAttributes", Py_T_UINT, offsetof(TarvikTapeFileObject, FileAttributes), Py_READONLY, "File attributes"},
    {"FileSize", Py_T_ULONGLONG, offsetof(TarvikTapeFileObject, FileSize), Py_READONLY,
     "Size of the tape file in bytes"},
    {"TapeDate", _Py_T_OBJECT, offsetof(TarvikTapeFileObject, TapeDate), Py_READONLY, "Date of the tape file"},
    {"PermSet", _Py_T_OBJECT, offsetof(TarvikTapeFileObject, PermSet), Py_READONLY, "Permission set of the tape file"},
    {nullptr},
};

constexpr MadeMember kTapeFileMade[] = {
    child(offsetof(TarvikTapeFileObject, TapeDate), TqDateType),
};

constexpr RecordDescriptor kTapeFileDescriptor = {"Tarvik.TarvikTapeFile", "TarvikTapeFile Object",
                                                  sizeof(TarvikTapeFileObject), kTapeFileMembers, kTapeFileMade};

PyTypeObject TarvikTapeFileType = record_type<kTapeFileDescriptor>();

// ---------------------------------------------------------------------------
// TarvikAPIDLLFile
// ---------------------------------------------------------------------------

constexpr std::size_t kVersion = offsetof(TarvikAPIDLLFileObject, version);

constexpr PyMemberDef kLibraryFileMembers[] = {
    {"PathnameStrZ", _Py_T_OBJECT, offsetof(TarvikAPIDLLFileObject, PathnameStrZ), Py_READONLY,
     "Full path to the DLL"},
    {"FileAttributes", Py_T_UINT, offsetof(TarvikAPIDLLFileObject, FileAttributes), Py_READONLY, "File attributes"},
    {"FileSize", Py_T_ULONGLONG, offsetof(TarvikAPIDLLFileObject, FileSize), Py_READONLY,
     "Size of the DLL file in bytes"},
    {"BuildDate", _Py_T_OBJECT, offsetof(TarvikAPIDLLFileObject, BuildDate), Py_READONLY, "Build date of the DLL"},
    {"BuildTime", _Py_T_OBJECT, offsetof(TarvikAPIDLLFileObject, BuildTime), Py_READONLY, "Build time of the DLL"},
    {"verMajor", Py_T_UBYTE, at(kVersion, offsetof(LibraryVersion, verMajor)), Py_READONLY,
     "Major version of the DLL"},
    {"verMinor", Py_T_UBYTE, at(kVersion, offsetof(LibraryVersion, verMinor)), Py_READONLY,
     "Minor version of the DLL"},
    {"verBuild", Py_T_USHORT, at(kVersion, offsetof(LibraryVersion, verBuild)), Py_READONLY,
     "Build version of the DLL"},
    {nullptr},
};

constexpr MadeMember kLibraryFileMade[] = {
    child(offsetof(TarvikAPIDLLFileObject, BuildDate), TqDateType),
    child(offsetof(TarvikAPIDLLFileObject, BuildTime), TqTimeType),
};

constexpr RecordDescriptor kLibraryFileDescriptor = {"Tarvik.TarvikAPIDLLFile", "TarvikAPIDLLFile Object",
                                                     sizeof(TarvikAPIDLLFileObject), kLibraryFileMembers,
                                                     kLibraryFileMade};

PyTypeObject TarvikAPIDLLFileType = record_type<kLibraryFileDescriptor>();

}  // namespace tarvik
