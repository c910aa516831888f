#include "records/message_records.h"

#include "core/doc_links.h"
#include "records/record_type.h"

namespace tarvik {

// ---------------------------------------------------------------------------
// TarvikSystem
// ---------------------------------------------------------------------------

constexpr std::size_t kHead = offsetof(TarvikSystemObject, head);
constexpr std::size_t kStatus = offsetof(TarvikSystemObject, status);

constexpr PyMemberDef kSystemMembers[] = {
    {"UserData", Py_T_INT, at(kHead, offsetof(SystemHead, UserData)), 0, "UserData value passed to TarvikProcessTape"},
    {"DLLVersion", Py_T_INT, at(kHead, offsetof(SystemHead, DLLVersion)), Py_READONLY,
     "Version of TarvikAPI as a 4-byte value. When Tarvik API is started from a state file this value will be the "
     "version of Tarvik API that created the state file"},
    {"tqDate", Py_T_OBJECT_EX, offsetof(TarvikSystemObject, tqDate), Py_READONLY, "Date of tape."},
    {"tqTime", Py_T_OBJECT_EX, offsetof(TarvikSystemObject, tqTime), Py_READONLY, "Time of tape."},
    {"ClockUpdateInterval", Py_T_INT, at(kStatus, offsetof(SystemStatus, ClockUpdateInterval)), Py_READONLY,
     "Indicates most significant member of tqTime that changed since the last timestamp. Values are: "
     "TqCLOCK_NOCHANGE(0), TqCLOCK_CLOCK(1), TqCLOCK_SECOND(2), TqCLOCK_MINUTE(3), or TqCLOCK_HOUR(4)"},
    {"Status", Py_T_INT, at(kStatus, offsetof(SystemStatus, Status)), Py_READONLY,
     "processing status. For values see: " TARVIK_DOC_STATUS_VALUES},
    {"StatusData", Py_T_INT, at(kStatus, offsetof(SystemStatus, StatusData)), Py_READONLY,
     "Additional information depending on Status. For values see: " TARVIK_DOC_STATUS_VALUES},
    {"StatusDisplay", Py_T_STRING, at(kStatus, offsetof(SystemStatus, StatusDisplay)), Py_READONLY,
     "String combining Status and StatusData"},
    {"TapeDisplay", Py_T_STRING, at(kStatus, offsetof(SystemStatus, TapeDisplay)), Py_READONLY,
     "String from the header of the tape"},
    {"Module", Py_T_PYSSIZET, at(kStatus, offsetof(SystemStatus, Module)), Py_READONLY,
     "Module of the dll for the calling process"},
    {"ThreadInstance", Py_T_PYSSIZET, at(kStatus, offsetof(SystemStatus, ThreadInstance)), Py_READONLY,
     "Thread instance identifier"},
    {"PermissionSet", Py_T_STRING_INPLACE, at(kStatus, offsetof(SystemStatus, PermissionSet)), Py_READONLY,
     "PermissionSet String \"AA\", etc."},
    {nullptr},
};

constexpr MadeMember kSystemMade[] = {
    child(offsetof(TarvikSystemObject, tqDate), TqDateType),
    child(offsetof(TarvikSystemObject, tqTime), TqTimeType),
};

constexpr RecordDescriptor kSystemDescriptor = {"Tarvik.TarvikSystem", "TarvikSystem Object",
                                                sizeof(TarvikSystemObject), kSystemMembers, kSystemMade};

PyTypeObject TarvikSystemType = record_type<kSystemDescriptor>();

// ---------------------------------------------------------------------------
// TarvikData
// ---------------------------------------------------------------------------

constexpr PyMemberDef kDataMembers[] = {
    {"ExgQuote", Py_T_OBJECT_EX, offsetof(TarvikDataObject, ExgQuote), Py_READONLY, "Exchange Quote"},
    {"MMQuote", Py_T_OBJECT_EX, offsetof(TarvikDataObject, MMQuote), Py_READONLY, "Market Maker Quote"},
    {"Trade", Py_T_OBJECT_EX, offsetof(TarvikDataObject, Trade), Py_READONLY, "Trade"},
    {"Category", _Py_T_OBJECT, offsetof(TarvikDataObject, Category), Py_READONLY, "Category"},
    {"SymbolChange", _Py_T_OBJECT, offsetof(TarvikDataObject, SymbolChange), Py_READONLY, "Symbol Change"},
    {"SymbolSpin", _Py_T_OBJECT, offsetof(TarvikDataObject, SymbolSpin), Py_READONLY, "Symbol Spin"},
    {nullptr},
};

constexpr MadeMember kDataMade[] = {
    child(offsetof(TarvikDataObject, ExgQuote), TarvikExgQuoteType),
    child(offsetof(TarvikDataObject, MMQuote), TarvikMMQuoteType),
    child(offsetof(TarvikDataObject, Trade), TarvikTradeType),
    child(offsetof(TarvikDataObject, SymbolChange), TarvikSymbolChangeType),
    child(offsetof(TarvikDataObject, SymbolSpin), TarvikSymbolSpinType),
    child(offsetof(TarvikDataObject, Category), TarvikCategoryType),
};

constexpr RecordDescriptor kDataDescriptor = {"Tarvik.TarvikData", "TarvikData Object", sizeof(TarvikDataObject),
                                              kDataMembers, kDataMade};

PyTypeObject TarvikDataType = record_type<kDataDescriptor>();

// ---------------------------------------------------------------------------
// TarvikHeader
// ---------------------------------------------------------------------------

constexpr std::size_t kHeader = offsetof(TarvikHeaderObject, numbers);

constexpr PyMemberDef kHeaderMembers[] = {
    {"ptqStringSymbol", _Py_T_OBJECT, offsetof(TarvikHeaderObject, ptqStringSymbol), 0,
     "TqString containing symbol in Tarvik symbology. see: " TARVIK_DOC_SYMBOLOGY " " TARVIK_DOC_OPTION_SYMBOLOGY},
    {"ptqOptionHdr", _Py_T_OBJECT, offsetof(TarvikHeaderObject, ptqOptionHdr), 0,
     "The option contract information. None if non-option."},
    {"tqSessionDate", Py_T_OBJECT_EX, offsetof(TarvikHeaderObject, tqSessionDate), Py_READONLY,
     "Date of the Session that the message applies to."},
    {"tqExgTimestamp", Py_T_OBJECT_EX, offsetof(TarvikHeaderObject, tqExgTimestamp), Py_READONLY,
     "Timestamp sent by the exchange."},
    {"ListedExg", Py_T_USHORT, at(kHeader, offsetof(HeaderNumbers, ListedExg)), Py_READONLY,
     "Listed or Primary Exchange. Use GetDefinedString(TqST_EXCHANGE,ListedExg) for text name"},
    {"ReportingExg", Py_T_USHORT, at(kHeader, offsetof(HeaderNumbers, ReportingExg)), Py_READONLY,
     "Exchange sending quote/trade. Use TarvikGetDefinedString(TqST_EXCHANGE,ReportingExg) for text name"},
    {"SessionID", Py_T_UBYTE, at(kHeader, offsetof(HeaderNumbers, SessionID)), Py_READONLY,
     "SessionID is used to identify the trading session the message applies to. Most symbols only have one trading "
     "session, so the SessionID will remain constant (0)"},
    {"alignment", Py_T_UBYTE, at(kHeader, offsetof(HeaderNumbers, alignment)), Py_READONLY, "unused"},
    {"PermissionID", Py_T_USHORT, at(kHeader, offsetof(HeaderNumbers, PermissionID)), Py_READONLY,
     "PermissionID is a number assigned by " TARVIK_LIBRARY_MAKER
     " and pertains to the authorization group that the message belongs to. PermissionIDs are usually a subset of an "
     "Exchange. Use TarvikGetDefinedString(TqST_PERMID,PermissionID) for text name"},
    {nullptr},
};

constexpr MadeMember kHeaderMade[] = {
    child(offsetof(TarvikHeaderObject, tqSessionDate), TqDateType),
    child(offsetof(TarvikHeaderObject, tqExgTimestamp), TqTimeType),
};

constexpr RecordDescriptor kHeaderDescriptor = {"Tarvik.TarvikHeader", "TarvikHeader Object",
                                                sizeof(TarvikHeaderObject), kHeaderMembers, kHeaderMade};

PyTypeObject TarvikHeaderType = record_type<kHeaderDescriptor>();

// ---------------------------------------------------------------------------
// Tarvik3Ext
// ---------------------------------------------------------------------------

constexpr std::size_t kExt = offsetof(Tarvik3ExtObject, record);

constexpr PyMemberDef kExtMembers[] = {
    {"MicrosOfDaySRC", Py_T_ULONGLONG, at(kExt, offsetof(Tarvik3ExtRecord, MicrosOfDaySRC)), Py_READONLY,
     "Microsecond timestamp from data source, such as CME or SIP. "},
    {"MicrosOfDayPTP1", Py_T_ULONGLONG, at(kExt, offsetof(Tarvik3ExtRecord, MicrosOfDayPTP1)), Py_READONLY,
     "Microsecond timestamp from the participant (exchange). "},
    {"MicrosOfDayPTP2", Py_T_ULONGLONG, at(kExt, offsetof(Tarvik3ExtRecord, MicrosOfDayPTP2)), Py_READONLY,
     "Microsecond timestamp taken from reports. "},
    {"FractionalSize", Py_T_ULONGLONG, at(kExt, offsetof(Tarvik3ExtRecord, FractionalSize)), Py_READONLY,
     "Fractional Size with 6 implied decimal places"},
    {"FractionalTotalVolume", Py_T_ULONGLONG, at(kExt, offsetof(Tarvik3ExtRecord, FractionalTotalVolume)),
     Py_READONLY, "Fractional Volume with 6 implied decimal places"},
    {nullptr},
};

constexpr RecordDescriptor kExtDescriptor = {"Tarvik.Tarvik3Ext", "Tarvik3Ext Object", sizeof(Tarvik3ExtObject),
                                             kExtMembers};

PyTypeObject Tarvik3ExtType = record_type<kExtDescriptor>();

// ---------------------------------------------------------------------------
// TarvikMessage
// ---------------------------------------------------------------------------

constexpr PyMemberDef kMessageMembers[] = {
    {"coreHeader", _Py_T_OBJECT, offsetof(TarvikMessageObject, coreHeader), Py_READONLY, "coreHeader"},
    {"coreData", _Py_T_OBJECT, offsetof(TarvikMessageObject, coreData), Py_READONLY, "Content of message"},
    {"MessageType", Py_T_UINT, offsetof(TarvikMessageObject, MessageType), Py_READONLY,
     "Type of message. For values see: " TARVIK_DOC_MESSAGE_TYPES},
    {"ptarvik3Ext", _Py_T_OBJECT, offsetof(TarvikMessageObject, ptarvik3Ext), Py_READONLY, "Microsecond timestamps"},
    {nullptr},
};

constexpr MadeMember kMessageMade[] = {
    child(offsetof(TarvikMessageObject, coreHeader), TarvikHeaderType),
    child(offsetof(TarvikMessageObject, coreData), TarvikDataType),
};

constexpr RecordDescriptor kMessageDescriptor = {"Tarvik.TarvikMessage", "TarvikMessage Object",
                                                 sizeof(TarvikMessageObject), kMessageMembers, kMessageMade};

PyTypeObject TarvikMessageType = record_type<kMessageDescriptor>();

// ---------------------------------------------------------------------------
// TarvikQuote
// ---------------------------------------------------------------------------

constexpr std::size_t kQuote = offsetof(TarvikQuoteObject, record);

constexpr PyMemberDef kQuoteMembers[] = {
    {"AskSize", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, AskSize)), Py_READONLY, "Ask Size"},
    {"BidSize", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, BidSize)), Py_READONLY, "Bid Size"},
    {"AskSizeChange", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, AskSizeChange)), Py_READONLY,
     "Ask Size Change"},
    {"BidSizeChange", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, BidSizeChange)), Py_READONLY,
     "Bid Size Change"},
    {"AskPrice", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, AskPrice)), Py_READONLY, "Ask Price"},
    {"BidPrice", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, BidPrice)), Py_READONLY, "Bid Price"},
    {"AskPriceChange", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, AskPriceChange)), Py_READONLY,
     "Ask Price Change"},
    {"BidPriceChange", Py_T_INT, at(kQuote, offsetof(TarvikQuoteRecord, BidPriceChange)), Py_READONLY,
     "Bid Price Change"},
    {"PriceType", Py_T_UBYTE, at(kQuote, offsetof(TarvikQuoteRecord, PriceType)), Py_READONLY,
     "Price Type. Applies to all prices in the quote. See: " TARVIK_DOC_PRICE_TYPES},
    {"Refresh", Py_T_UBYTE, at(kQuote, offsetof(TarvikQuoteRecord, Refresh)), Py_READONLY,
     "Refresh. Set to non-zero if this message is a refresh as opposed to real-time."},
    {"QuoteCondition", Py_T_UBYTE, at(kQuote, offsetof(TarvikQuoteRecord, QuoteCondition)), Py_READONLY,
     "Quote condition assigned by exchange. Use TarvikGetDefinedString(TqST_QUOTECONDITION,QuoteCondition) for text "
     "name. For values see: " TARVIK_DOC_QUOTE_CONDITIONS},
    {"NasdaqBidTick", Py_T_UBYTE, at(kQuote, offsetof(TarvikQuoteRecord, NasdaqBidTick)), Py_READONLY,
     "Nasdaq Bid Tick"},
    {nullptr},
};

constexpr RecordDescriptor kQuoteDescriptor = {"Tarvik.TarvikQuote", "TarvikQuote Object", sizeof(TarvikQuoteObject),
                                               kQuoteMembers};

PyTypeObject TarvikQuoteType = record_type<kQuoteDescriptor>();

// ---------------------------------------------------------------------------
// TarvikExgQuote
// ---------------------------------------------------------------------------

constexpr std::size_t kBest = offsetof(TarvikExgQuoteObject, best);

constexpr PyMemberDef kExgQuoteMembers[] = {
    {"coreQuote", Py_T_OBJECT_EX, offsetof(TarvikExgQuoteObject, coreQuote), Py_READONLY, "coreQuote"},
    {"BestAskPrice", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestAskPrice)), Py_READONLY, "Best Ask Price"},
    {"BestBidPrice", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestBidPrice)), Py_READONLY, "Best Bid Price"},
    {"BestAskPriceChange", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestAskPriceChange)), Py_READONLY,
     "Best Ask Price Change"},
    {"BestBidPriceChange", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestBidPriceChange)), Py_READONLY,
     "Best Bid Price Change"},
    {"BestAskSize", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestAskSize)), Py_READONLY, "Best Ask Size"},
    {"BestBidSize", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestBidSize)), Py_READONLY, "Best Bid Size"},
    {"BestAskSizeChange", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestAskSizeChange)), Py_READONLY,
     "Best Ask Size Change"},
    {"BestBidSizeChange", Py_T_INT, at(kBest, offsetof(ExgQuoteBest, BestBidSizeChange)), Py_READONLY,
     "Best Bid Size Change"},
    {"BestAskExg", Py_T_USHORT, at(kBest, offsetof(ExgQuoteBest, BestAskExg)), Py_READONLY, "Best Ask Exg"},
    {"BestBidExg", Py_T_USHORT, at(kBest, offsetof(ExgQuoteBest, BestBidExg)), Py_READONLY, "Best Bid Exg"},
    {"PrevBestAskExg", Py_T_USHORT, at(kBest, offsetof(ExgQuoteBest, PrevBestAskExg)), Py_READONLY,
     "Prev Best Ask Exg"},
    {"PrevBestBidExg", Py_T_USHORT, at(kBest, offsetof(ExgQuoteBest, PrevBestBidExg)), Py_READONLY,
     "Prev Best Bid Exg"},
    {"BestAskCondition", Py_T_UBYTE, at(kBest, offsetof(ExgQuoteBest, BestAskCondition)), Py_READONLY,
     "Best Ask Condition"},
    {"BestBidCondition", Py_T_UBYTE, at(kBest, offsetof(ExgQuoteBest, BestBidCondition)), Py_READONLY,
     "Best Bid Condition"},
    {"BBOChangeFlags", Py_T_UBYTE, at(kBest, offsetof(ExgQuoteBest, BBOChangeFlags)), Py_READONLY,
     "bit flags of BBO values changed by current regional quote. For values see: " TARVIK_DOC_QUOTE_CONDITIONS},
    {"ClosingQuoteFlag", Py_T_UBYTE, at(kBest, offsetof(ExgQuoteBest, ClosingQuoteFlag)), Py_READONLY,
     "Will be set to 1 if quote represents an official Closing Quote, 0 otherwise"},
    {nullptr},
};

constexpr MadeMember kExgQuoteMade[] = {
    child(offsetof(TarvikExgQuoteObject, coreQuote), TarvikQuoteType),
};

constexpr RecordDescriptor kExgQuoteDescriptor = {"Tarvik.TarvikExgQuote", "TarvikExgQuote Object",
                                                  sizeof(TarvikExgQuoteObject), kExgQuoteMembers, kExgQuoteMade};

PyTypeObject TarvikExgQuoteType = record_type<kExgQuoteDescriptor>();

// ---------------------------------------------------------------------------
// TarvikMMQuote
// ---------------------------------------------------------------------------

constexpr PyMemberDef kMMQuoteMembers[] = {
    {"coreQuote", Py_T_OBJECT_EX, offsetof(TarvikMMQuoteObject, coreQuote), Py_READONLY, "coreQuote"},
    {"ptqStringMarketMaker", _Py_T_OBJECT, offsetof(TarvikMMQuoteObject, ptqStringMarketMaker), Py_READONLY,
     "TqString containing either the Market Marker or D0,D1,D2... for level of depth"},
    {"MarketMakerType", Py_T_UBYTE, offsetof(TarvikMMQuoteObject, MarketMakerType), Py_READONLY,
     "Identify the type of Market Maker"},
    {"QuoteType", Py_T_UBYTE, offsetof(TarvikMMQuoteObject, QuoteType), Py_READONLY,
     "Identify a special type of quote"},
    {nullptr},
};

constexpr MadeMember kMMQuoteMade[] = {
    child(offsetof(TarvikMMQuoteObject, coreQuote), TarvikQuoteType),
};

constexpr RecordDescriptor kMMQuoteDescriptor = {"Tarvik.TarvikMMQuote", "TarvikMMQuote Object",
                                                 sizeof(TarvikMMQuoteObject), kMMQuoteMembers, kMMQuoteMade};

PyTypeObject TarvikMMQuoteType = record_type<kMMQuoteDescriptor>();

// ---------------------------------------------------------------------------
// TqCTAnalysis
// ---------------------------------------------------------------------------

constexpr std::size_t kAnalysis = offsetof(TqCTAnalysisObject, record);

constexpr PyMemberDef kAnalysisMembers[] = {
    {"FilterThreshold", Py_T_INT, at(kAnalysis, offsetof(TqCTAnalysisRecord, FilterThreshold)), Py_READONLY,
     "Filter Threshold"},
    {"Filtered", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, Filtered)), Py_READONLY, "Filtered"},
    {"FilterLevel", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, FilterLevel)), Py_READONLY,
     "Filter Level"},
    {"SigHiLoType", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, SigHiLoType)), Py_READONLY,
     "Whether this trade price is a significant high or low"},
    {"alignment", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, alignment)), Py_READONLY, "unused"},
    {"SigHiLoSeconds", Py_T_UINT, at(kAnalysis, offsetof(TqCTAnalysisRecord, SigHiLoSeconds)), Py_READONLY,
     "How much time has elapsed since the price previously traded at the level of SigHiLoType"},
    {"QteMatchDistanceRGN", Py_T_INT, at(kAnalysis, offsetof(TqCTAnalysisRecord, QteMatchDistanceRGN)), Py_READONLY,
     "Price Difference from QteMatchTypeRGN"},
    {"QteMatchDistanceBBO", Py_T_INT, at(kAnalysis, offsetof(TqCTAnalysisRecord, QteMatchDistanceBBO)), Py_READONLY,
     "Price Difference from QteMatchTypeBBO"},
    {"QteMatchTypeRGN", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, QteMatchTypeRGN)), Py_READONLY,
     "Where the trade occured in relation to latest regional quote. For  values see: " TARVIK_DOC_QUOTE_CONDITIONS},
    {"QteMatchTypeBBO", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, QteMatchTypeBBO)), Py_READONLY,
     "Where the trade occured in relation to latest NBBO quote. For  values see: " TARVIK_DOC_QUOTE_CONDITIONS},
    {"QteMatchFlagsRGN", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, QteMatchFlagsRGN)), Py_READONLY,
     "QteMatchFlagsRGN"},
    {"QteMatchFlagsBBO", Py_T_UBYTE, at(kAnalysis, offsetof(TqCTAnalysisRecord, QteMatchFlagsBBO)), Py_READONLY,
     "QteMatchFlagsBBO"},
    {nullptr},
};

constexpr RecordDescriptor kAnalysisDescriptor = {"Tarvik.TqCTAnalysis", "TqCTAnalysis Object",
                                                  sizeof(TqCTAnalysisObject), kAnalysisMembers};

PyTypeObject TqCTAnalysisType = record_type<kAnalysisDescriptor>();

// ---------------------------------------------------------------------------
// TarvikTrade
// ---------------------------------------------------------------------------

constexpr std::size_t kTradeHead = offsetof(TarvikTradeObject, head);
constexpr std::size_t kTotals = offsetof(TarvikTradeObject, totals);

constexpr PyMemberDef kTradeMembers[] = {
    {"Price", Py_T_INT, at(kTradeHead, offsetof(TradeHead, Price)), Py_READONLY,
     "Price value of this trade record update and is used together with PriceType"},
    {"PriceType", Py_T_UBYTE, at(kTradeHead, offsetof(TradeHead, PriceType)), Py_READONLY,
     "Determines how to interpret the integer price as a floating point number. See: " TARVIK_DOC_PRICE_TYPES},
    {"PriceFlags", Py_T_UBYTE, at(kTradeHead, offsetof(TradeHead, PriceFlags)), Py_READONLY,
     "PriceFlags is a bit mapped entity that indicates the type of trade represented in the update message.For "
     "values see : " TARVIK_DOC_TRADE_CONDITIONS},
    {"TradeCondition", Py_T_UBYTE, at(kTradeHead, offsetof(TradeHead, TradeCondition)), Py_READONLY,
     "Trade condition assigned by exchange. For values see: " TARVIK_DOC_TRADE_CONDITIONS},
    {"ConditionFlags", Py_T_UBYTE, at(kTradeHead, offsetof(TradeHead, ConditionFlags)), Py_READONLY,
     "Determines which values the trade is eligible to set. For values see: " TARVIK_DOC_TRADE_CONDITIONS},
    {"VolumeType", Py_T_UBYTE, at(kTradeHead, offsetof(TradeHead, VolumeType)), Py_READONLY,
     "Indicates how to interpret Size field. For values see: " TARVIK_DOC_TRADE_CONDITIONS},
    {"BATECode", Py_T_UBYTE, at(kTradeHead, offsetof(TradeHead, BATECode)), Py_READONLY, "BATECode"},
    {"Size", Py_T_UINT, at(kTradeHead, offsetof(TradeHead, Size)), Py_READONLY, "Size"},
    {"ExgSequence", Py_T_UINT, offsetof(TarvikTradeObject, ExgSequence), Py_READONLY,
     "Contains the value of the Exchange assigned Sequence number. Exchange Sequence numbers increase in value, "
     "though not necessarily in increments of one."},
    {"RecordsBack", Py_T_UINT, offsetof(TarvikTradeObject, RecordsBack), Py_READONLY, "RecordsBack"},
    {"tqAnalysis", Py_T_OBJECT_EX, offsetof(TarvikTradeObject, tqAnalysis), Py_READONLY, "tqAnalysis"},
    {"TotalVolume", Py_T_ULONGLONG, at(kTotals, offsetof(TradeTotals, TotalVolume)), Py_READONLY,
     "Cumulative sum of the Size member of all trade updates with the VolumeType TqTVT_INCRVOL(0)"},
    {"TickVolume", Py_T_UINT, at(kTotals, offsetof(TradeTotals, TickVolume)), Py_READONLY,
     "Cumulative count of each trade update with the VolumeType TqTVT_INCRVOL(0)"},
    {"Open", Py_T_INT, at(kTotals, offsetof(TradeTotals, Open)), Py_READONLY, "Open"},
    {"High", Py_T_INT, at(kTotals, offsetof(TradeTotals, High)), Py_READONLY, "High"},
    {"Low", Py_T_INT, at(kTotals, offsetof(TradeTotals, Low)), Py_READONLY, "Low"},
    {"Last", Py_T_INT, at(kTotals, offsetof(TradeTotals, Last)), Py_READONLY, "Last"},
    {"Tick", Py_T_INT, at(kTotals, offsetof(TradeTotals, Tick)), Py_READONLY,
     "Price change from the previous trade update that qualified to set the Last"},
    {"NetChange", Py_T_INT, at(kTotals, offsetof(TradeTotals, NetChange)), Py_READONLY,
     "Change in value from the Last member and the previous session's close"},
    {"ExtTradeConditions", Py_T_OBJECT_EX, offsetof(TarvikTradeObject, ExtTradeConditions), Py_READONLY,
     "List of 4 trade conditions. 255 indicates no trade condition for \"slot\""},
    {nullptr},
};

constexpr MadeMember kTradeMade[] = {
    int_list(offsetof(TarvikTradeObject, ExtTradeConditions), kTradeConditionSlots, kNoTradeCondition),
    child(offsetof(TarvikTradeObject, tqAnalysis), TqCTAnalysisType),
};

constexpr RecordDescriptor kTradeDescriptor = {"Tarvik.TarvikTrade", "TarvikTrade Object", sizeof(TarvikTradeObject),
                                               kTradeMembers, kTradeMade};

PyTypeObject TarvikTradeType = record_type<kTradeDescriptor>();

// ---------------------------------------------------------------------------
// TarvikSymbolChange
// ---------------------------------------------------------------------------

constexpr PyMemberDef kSymbolChangeMembers[] = {
    {"Status", Py_T_UBYTE, offsetof(TarvikSymbolChangeObject, Status), Py_READONLY,
     "Indicates whether the symbol change is an TqSS_ADD(0), TqSS_DEL(1), or TqSS_MOD(2)"},
    {"StatusChar", Py_T_CHAR, offsetof(TarvikSymbolChangeObject, StatusChar), Py_READONLY,
     "Indicates whether the symbol change is an 'A'DD, 'D'ELETE, or 'M'ODIFY"},
    {"ptqsSymbolOld", Py_T_OBJECT_EX, offsetof(TarvikSymbolChangeObject, ptqsSymbolOld), Py_READONLY,
     "Only used for MODIFY messages. Contains the original symbol. Otherwise None"},
    {"ptqOptionHdrOld", Py_T_OBJECT_EX, offsetof(TarvikSymbolChangeObject, ptqOptionHdrOld), Py_READONLY,
     "Only used for MODIFY messages for option contracts. It contains the original OptionHeader. Otherwise None"},
    {"ListedExgOld", Py_T_USHORT, offsetof(TarvikSymbolChangeObject, ListedExgOld), Py_READONLY,
     "Only used for MODIFY messages. Contains the original Listed Exchange."},
    {nullptr},
};

constexpr RecordDescriptor kSymbolChangeDescriptor = {"Tarvik.TarvikSymbolChange", "TarvikSymbolChange Object",
                                                      sizeof(TarvikSymbolChangeObject), kSymbolChangeMembers};

PyTypeObject TarvikSymbolChangeType = record_type<kSymbolChangeDescriptor>();

// ---------------------------------------------------------------------------
// TarvikSymbolSpin
// ---------------------------------------------------------------------------

constexpr std::size_t kSpin = offsetof(TarvikSymbolSpinObject, record);

constexpr PyMemberDef kSymbolSpinMembers[] = {
    {"SpinID", Py_T_UINT, at(kSpin, offsetof(TarvikSymbolSpinBody, SpinID)), Py_READONLY,
     "User assignable data member that you can use to pass additional information during the spin, or to identify "
     "different spins. The automatic Symbol Spin that occurs near the start of each Tarvik Tape set the SpinID value "
     "to 0."},
    {"IterLimit", Py_T_UINT, at(kSpin, offsetof(TarvikSymbolSpinBody, IterLimit)), Py_READONLY,
     "The upper limit value that IterCount will increment to"},
    {"SubIterLimit", Py_T_UINT, at(kSpin, offsetof(TarvikSymbolSpinBody, SubIterLimit)), Py_READONLY,
     "Total number of Options Contracts for Option Series being Iterated"},
    {"IterCount", Py_T_UINT, at(kSpin, offsetof(TarvikSymbolSpinBody, IterCount)), Py_READONLY,
     "A zero-based counter that increments every symbol"},
    {"SubIterCount", Py_T_UINT, at(kSpin, offsetof(TarvikSymbolSpinBody, SubIterCount)), Py_READONLY,
     "A zero-based counter that increments every contract in an Option Series."},
    {nullptr},
};

constexpr RecordDescriptor kSymbolSpinDescriptor = {"Tarvik.TarvikSymbolSpin", "TarvikSymbolSpin Object",
                                                    sizeof(TarvikSymbolSpinObject), kSymbolSpinMembers};

PyTypeObject TarvikSymbolSpinType = record_type<kSymbolSpinDescriptor>();

// ---------------------------------------------------------------------------
// TarvikCategory
// ---------------------------------------------------------------------------

constexpr PyMemberDef kCategoryMembers[] = {
    {"ptqStringCategory", Py_T_OBJECT_EX, offsetof(TarvikCategoryObject, ptqStringCategory), Py_READONLY,
     "TqString of category name. Atom is the category ID"},
    {"ptqFields", Py_T_OBJECT_EX, offsetof(TarvikCategoryObject, ptqFields), Py_READONLY, "List of category fields"},
    {"NFields", Py_T_USHORT, offsetof(TarvikCategoryObject, NFields), Py_READONLY, "Number of Fields"},
    {nullptr},
};

constexpr MadeMember kCategoryMade[] = {
    child_list(offsetof(TarvikCategoryObject, ptqFields), TqCategoryFieldType, offsetof(TarvikCategoryObject, fields),
               kCategoryFieldCapacity),
};

constexpr RecordDescriptor kCategoryDescriptor = {"Tarvik.TarvikCategory", "TarvikCategory Object",
                                                  sizeof(TarvikCategoryObject), kCategoryMembers, kCategoryMade};

PyTypeObject TarvikCategoryType = record_type<kCategoryDescriptor>();

// ---------------------------------------------------------------------------
// TarvikCategoryData
// ---------------------------------------------------------------------------

constexpr PyMemberDef kCategoryDataMembers[] = {
    {"i64Bit", Py_T_ULONGLONG, offsetof(TarvikCategoryDataObject, i64Bit), Py_READONLY, "i64Bit"},
    {"i32Bit", Py_T_UINT, offsetof(TarvikCategoryDataObject, i32Bit), Py_READONLY, "i32Bit"},
    {"StringZ", Py_T_STRING, offsetof(TarvikCategoryDataObject, StringZ), Py_READONLY, "StringZ"},
    {"Double", Py_T_DOUBLE, offsetof(TarvikCategoryDataObject, Double), Py_READONLY, "Double"},
    {"tqPrice", Py_T_OBJECT_EX, offsetof(TarvikCategoryDataObject, tqPrice), Py_READONLY, "tqPrice"},
    {"tqDate", Py_T_OBJECT_EX, offsetof(TarvikCategoryDataObject, tqDate), Py_READONLY, "tqDate"},
    {"tqTime", Py_T_OBJECT_EX, offsetof(TarvikCategoryDataObject, tqTime), Py_READONLY, "tqTime"},
    {"ptqString", Py_T_OBJECT_EX, offsetof(TarvikCategoryDataObject, ptqString), Py_READONLY, "TqString"},
    {"stringTableItem", Py_T_OBJECT_EX, offsetof(TarvikCategoryDataObject, stringTableItem), Py_READONLY,
     "stringTableItem"},
    {nullptr},
};

constexpr MadeMember kCategoryDataMade[] = {
    child(offsetof(TarvikCategoryDataObject, tqPrice), TqPriceType),
    child(offsetof(TarvikCategoryDataObject, tqDate), TqDateType),
    child(offsetof(TarvikCategoryDataObject, tqTime), TqTimeType),
    child(offsetof(TarvikCategoryDataObject, ptqString), TqStringType),
    child(offsetof(TarvikCategoryDataObject, stringTableItem), StringTableItemType),
};

constexpr RecordDescriptor kCategoryDataDescriptor = {"Tarvik.TarvikCategoryData", "TarvikCategoryData Object",
                                                      sizeof(TarvikCategoryDataObject), kCategoryDataMembers,
                                                      kCategoryDataMade};

PyTypeObject TarvikCategoryDataType = record_type<kCategoryDataDescriptor>();

// ---------------------------------------------------------------------------
// TqCategoryField
// ---------------------------------------------------------------------------

constexpr PyMemberDef kCategoryFieldMembers[] = {
    {"FieldName", Py_T_STRING, offsetof(TqCategoryFieldObject, FieldName), Py_READONLY, "Name of Field"},
    {"FieldInfo", Py_T_STRING, offsetof(TqCategoryFieldObject, FieldInfo), Py_READONLY,
     "Comments about Field. May be None"},
    {"Set", Py_T_UBYTE, offsetof(TqCategoryFieldObject, Set), Py_READONLY, "1 if field is populated. 0 if not set"},
    {"FieldType", Py_T_UBYTE, offsetof(TqCategoryFieldObject, FieldType), Py_READONLY,
     "Type of data. For values see: " TARVIK_DOC_MESSAGE_TYPES},
    {"data", Py_T_OBJECT_EX, offsetof(TqCategoryFieldObject, data), Py_READONLY,
     "Value of category field. Only one will be populated, corresponding to FieldType."},
    {nullptr},
};

constexpr MadeMember kCategoryFieldMade[] = {
    child(offsetof(TqCategoryFieldObject, data), TarvikCategoryDataType),
};

constexpr RecordDescriptor kCategoryFieldDescriptor = {"Tarvik.TqCategoryField", "TqCategoryField Object",
                                                       sizeof(TqCategoryFieldObject), kCategoryFieldMembers,
                                                       kCategoryFieldMade};

PyTypeObject TqCategoryFieldType = record_type<kCategoryFieldDescriptor>();

}  // namespace tarvik
