// The library's named values as C++ constants, shared by the module and the
// engine: message kinds, statuses, flags, string tables, result codes. The
// module also offers each of them to Python by name (constants/constants.cpp).
#pragma once

#include <cstdint>

namespace tarvik {

// TqDATE_DST_*: date daylight-saving indicator (TqDate.DSTIndicator)
inline constexpr int32_t TqDATE_DST_UNKNOWN = 0;
inline constexpr int32_t TqDATE_DST_ON = 1;
inline constexpr int32_t TqDATE_DST_OFF = 2;
inline constexpr int32_t TqDATE_DST_ONTODAY = 3;
inline constexpr int32_t TqDATE_DST_OFFTODAY = 4;

// TqDOW_*: day of week (TqDate.DayOfWeek)
inline constexpr int32_t TqDOW_SUNDAY = 0;
inline constexpr int32_t TqDOW_MONDAY = 1;
inline constexpr int32_t TqDOW_TUESDAY = 2;
inline constexpr int32_t TqDOW_WEDNESDAY = 3;
inline constexpr int32_t TqDOW_THURSDAY = 4;
inline constexpr int32_t TqDOW_FRIDAY = 5;
inline constexpr int32_t TqDOW_SATURDAY = 6;

// TqCLOCK_*: clock update interval (TarvikSystem.ClockUpdateInterval)
inline constexpr int32_t TqCLOCK_NOCHANGE = 0;
inline constexpr int32_t TqCLOCK_CLOCK = 1;
inline constexpr int32_t TqCLOCK_SECOND = 2;
inline constexpr int32_t TqCLOCK_MINUTE = 3;
inline constexpr int32_t TqCLOCK_HOUR = 4;

// TARVIKSTATUS_*: processing status
inline constexpr int32_t TARVIKSTATUS_RUNNING = 0;
inline constexpr int32_t TARVIKSTATUS_INITIALIZING = 1;
inline constexpr int32_t TARVIKSTATUS_COMPLETE = 2;
inline constexpr int32_t TARVIKSTATUS_SYNCHRONIZING = 3;
inline constexpr int32_t TARVIKSTATUS_ERROR = 4;
inline constexpr int32_t TARVIKSTATUS_WAITFORCOREACCESS = 5;
inline constexpr int32_t TARVIKSTATUS_RESTARTING_TAPE = 6;
inline constexpr int32_t TARVIKSTATUS_LOADED_STATE = 7;
inline constexpr int32_t TARVIKSTATUS_SAVING_STATE = 8;
inline constexpr int32_t TARVIKSTATUS_SYMBOLSPIN = 9;
inline constexpr int32_t TARVIKSTATUS_TAPEOPEN = 10;

// TqCSRUNMODE_*: run-mode data sources
inline constexpr int32_t TqCSRUNMODE_SRC_DISK_FILE = 0;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_FILE = 1;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_MEMORY = 2;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_MB_OLDEST = 2;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_MB_LOWER = 3;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_MB_UPPER = 4;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_MB_SECOND = 5;
inline constexpr int32_t TqCSRUNMODE_SRC_ACCESS_MB_CURRENT = 6;

// TqCSSAVESTATE_*: state-save phases and errors
inline constexpr int32_t TqCSSAVESTATE_CAPTURE = 0;
inline constexpr int32_t TqCSSAVESTATE_COMPLETE = 1;
inline constexpr int32_t TqCSSAVESTATE_ERR_CREATEFILE = -1;
inline constexpr int32_t TqCSSAVESTATE_ERR_DISKSPACE = -2;
inline constexpr int32_t TqCSSAVESTATE_ERR_MEMORY = -3;

// TqCSSYMBOLSPIN_*: symbol spin phases
inline constexpr int32_t TqCSSYMBOLSPIN_STARTING = 0;
inline constexpr int32_t TqCSSYMBOLSPIN_COMPLETE = 1;

// TqPERMID_*: permission removal flag (ExcludeOpraExch)
inline constexpr int32_t TqPERMID_REMOVE = 0x100000;

// TqQTE_NASDBIDTICK_*: Nasdaq bid tick (NasdaqBidTick)
inline constexpr int32_t TqQTE_NASDBIDTICK_NA = 0;
inline constexpr int32_t TqQTE_NASDBIDTICK_UP = 1;
inline constexpr int32_t TqQTE_NASDBIDTICK_DN = 2;
inline constexpr int32_t TqQTE_NASDBIDTICK_NO = 3;

// TqQTE_REFRESH_*: quote refresh (TarvikQuote.Refresh)
inline constexpr int32_t TqQTE_REFRESH_REALTIME = 0;
inline constexpr int32_t TqQTE_REFRESH_SOURCE = 1;
inline constexpr int32_t TqQTE_REFRESH_MISMATCH = 2;
inline constexpr int32_t TqQTE_REFRESH_SYNCHRONIZE = 3;

// TqBBOCHANGE_*: bit flags (TarvikExgQuote.BBOChangeFlags)
inline constexpr int32_t TqBBOCHANGE_BIDEXG = 1;
inline constexpr int32_t TqBBOCHANGE_BIDPRICE = 2;
inline constexpr int32_t TqBBOCHANGE_BIDSIZE = 4;
inline constexpr int32_t TqBBOCHANGE_ASKEXG = 0x10;
inline constexpr int32_t TqBBOCHANGE_ASKPRICE = 0x20;
inline constexpr int32_t TqBBOCHANGE_ASKSIZE = 0x40;

// TqMMT_*: market maker type (MarketMakerType)
inline constexpr int32_t TqMMT_UNKNOWN = 0;
inline constexpr int32_t TqMMT_REGULAR = 1;
inline constexpr int32_t TqMMT_PRIMARY = 2;
inline constexpr int32_t TqMMT_PASSIVE = 3;

// TqMMQT_*: market maker quote type (QuoteType)
inline constexpr int32_t TqMMQT_UNKNOWN = 0;
inline constexpr int32_t TqMMQT_REGULAR = 1;
inline constexpr int32_t TqMMQT_PASSIVE = 2;
inline constexpr int32_t TqMMQT_SYNDICATE = 3;
inline constexpr int32_t TqMMQT_PRESYNDICATE = 4;
inline constexpr int32_t TqMMQT_PENALTY = 5;

// TqTPF_*: trade price flags, bits (TarvikTrade.PriceFlags)
inline constexpr int32_t TqTPF_SETLAST = 1;
inline constexpr int32_t TqTPF_SETHIGH = 2;
inline constexpr int32_t TqTPF_SETLOW = 4;
inline constexpr int32_t TqTPF_SETOPEN = 8;
inline constexpr int32_t TqTPF_EXGINSERT = 0x10;
inline constexpr int32_t TqTPF_EXGCANCEL = 0x20;
inline constexpr int32_t TqTPF_SETTLEMENT = 0x40;

// TqTCF_*: trade condition flags, bits (TarvikTrade.ConditionFlags)
inline constexpr int32_t TqTCF_NOLAST = 1;
inline constexpr int32_t TqTCF_NOHIGH = 2;
inline constexpr int32_t TqTCF_NOLOW = 4;

// TqTVT_*: trade volume type (TarvikTrade.VolumeType)
inline constexpr int32_t TqTVT_INCRVOL = 0;
inline constexpr int32_t TqTVT_NONINCRVOL = 1;
inline constexpr int32_t TqTVT_TOTALVOL = 2;
inline constexpr int32_t TqTVT_TOTALVOLx100 = 3;

// TqRTA_SIGHL_*: significant high/low (TqCTAnalysis.SigHiLoType)
inline constexpr int32_t TqRTA_SIGHL_EQ = 0;
inline constexpr int32_t TqRTA_SIGHL_LOWEST = 1;
inline constexpr int32_t TqRTA_SIGHL_LOW = 2;
inline constexpr int32_t TqRTA_SIGHL_HIGH = 3;
inline constexpr int32_t TqRTA_SIGHL_HIGHEST = 4;

// TqRTA_QMTYPE_*: quote match type (QteMatchTypeRGN, QteMatchTypeBBO)
inline constexpr int32_t TqRTA_QMTYPE_NONE = 0;
inline constexpr int32_t TqRTA_QMTYPE_BID = 1;
inline constexpr int32_t TqRTA_QMTYPE_ASK = 2;
inline constexpr int32_t TqRTA_QMTYPE_INSIDE = 3;
inline constexpr int32_t TqRTA_QMTYPE_BELOWBID = 4;
inline constexpr int32_t TqRTA_QMTYPE_ABOVEASK = 5;

// TqRTA_QTEMATCHFLAG_*: quote match flags, bits (QteMatchFlagsRGN, QteMatchFlagsBBO)
inline constexpr int32_t TqRTA_QTEMATCHFLAG_OLDER = 1;
inline constexpr int32_t TqRTA_QTEMATCHFLAG_CROSSED = 2;

// TqCFT_*: category field type (TqCategoryField.FieldType)
inline constexpr int32_t TqCFT_UNKNOWN = 0;
inline constexpr int32_t TqCFT_64BIT = 1;
inline constexpr int32_t TqCFT_32BIT = 2;
inline constexpr int32_t TqCFT_STRINGZ = 3;
inline constexpr int32_t TqCFT_DOUBLE = 4;
inline constexpr int32_t TqCFT_PRICE = 5;
inline constexpr int32_t TqCFT_DATE = 6;
inline constexpr int32_t TqCFT_TIME = 7;
inline constexpr int32_t TqCFT_TqSTRING = 8;
inline constexpr int32_t TqCFT_STRING_IDX = 9;
inline constexpr int32_t TqCFT_STRING_MAP = 10;

// TqSS_*: symbol change status (TarvikSymbolChange.Status)
inline constexpr int32_t TqSS_ADD = 0;
inline constexpr int32_t TqSS_DEL = 1;
inline constexpr int32_t TqSS_MOD = 2;

// TqSPIN_*: symbol spin arguments (SpinSymbols)
inline constexpr int32_t TqSPIN_ALL_EXGS = 0xFFFF;
inline constexpr int32_t TqSPIN_NON_OPTIONS = 0;
inline constexpr int32_t TqSPIN_OPTIONS = 1;

// TqMSG_*: message type (TarvikMessage.MessageType)
inline constexpr int32_t TqMSG_STATUS = 0;
inline constexpr int32_t TqMSG_EXGQUOTE = 1;
inline constexpr int32_t TqMSG_MMQUOTE = 2;
inline constexpr int32_t TqMSG_TRADE = 3;
inline constexpr int32_t TqMSG_CATEGORY = 4;
inline constexpr int32_t TqMSG_SYMBOLCHANGE = 5;
inline constexpr int32_t TqMSG_SYMBOLSPIN = 6;

// TqSTATETYPE_*: state record kinds
inline constexpr int32_t TqSTATETYPE_OHLCTRADE = 1;
inline constexpr int32_t TqSTATETYPE_EXGQUOTES = 2;
inline constexpr int32_t TqSTATETYPE_MMQUOTES = 3;

// TqLTF_*: tape listing search flags (ListTapes)
inline constexpr int32_t TqLTF_SEARCH_LOCAL = 0;
inline constexpr int32_t TqLTF_SEARCH_NETWORK = 1;
inline constexpr int32_t TqLTF_SEARCH_REMOVEABLE = 2;

// TqST_*: string table identifiers (GetDefinedString, StringTableItem.ixTable)
inline constexpr int32_t TqST_PERMID = 2;
inline constexpr int32_t TqST_EXCHANGE = 3;
inline constexpr int32_t TqST_TRADECONDITION = 4;
inline constexpr int32_t TqST_QUOTECONDITION = 5;
inline constexpr int32_t TqST_CATEGORY = 6;
inline constexpr int32_t TqST_HALTSTATUS = 7;
inline constexpr int32_t TqST_HALTREASONTYPE = 8;
inline constexpr int32_t TqST_OPENINDICATIONTYPE = 9;
inline constexpr int32_t TqST_ORDERIMBALANCETYPE = 10;
inline constexpr int32_t TqST_TRADEREPORTREASON = 11;
inline constexpr int32_t TqST_EXGCORRECTIONMAP = 12;
inline constexpr int32_t TqST_SYMBOLCHANGETYPE = 13;
inline constexpr int32_t TqST_OHLCFLAGS = 14;
inline constexpr int32_t TqST_EXDIVIDENDATTRIB = 15;
inline constexpr int32_t TqST_OPRAEXCHANGELIST = 16;
inline constexpr int32_t TqST_NASDBIDTICK = 17;
inline constexpr int32_t TqST_MARKETMAKERTYPE = 18;
inline constexpr int32_t TqST_MMQUOTETYPE = 19;
inline constexpr int32_t TqST_REFRESHTYPE = 20;
inline constexpr int32_t TqST_EXPIRATIONCYCLE = 21;
inline constexpr int32_t TqST_VOLUMETYPE = 22;
inline constexpr int32_t TqST_QTEMATCHTYPE = 23;
inline constexpr int32_t TqST_QTEMATCHFLAGS = 24;
inline constexpr int32_t TqST_SIGHIGHLOWTYPE = 25;
inline constexpr int32_t TqST_BBOCHANGEFLAGS = 26;
inline constexpr int32_t TqST_TRADECONDFLAGS = 27;
inline constexpr int32_t TqST_PRICEFLAGS = 28;
inline constexpr int32_t TqST_SETTLEFLAGMAP = 29;
inline constexpr int32_t TqST_SYMBOLFNCLSTATUSMAP = 30;
inline constexpr int32_t TqST_EQUITYCLASSIFICATIONS = 31;
inline constexpr int32_t TqST_SYMBOLTYPES = 32;

// TqCF_*: processing control flags, bits (ProcessTape)
inline constexpr int32_t TqCF_EXCLUDE_QUOTES = 1;
inline constexpr int32_t TqCF_EXCLUDE_QUOTES2 = 2;
inline constexpr int32_t TqCF_EXCLUDE_OPRA = 4;
inline constexpr int32_t TqCF_FAVOR_NBBO = 8;
inline constexpr int32_t TqCF_MEMORY_ADDRESS = 0x4000000;
inline constexpr int32_t TqCF_EXCLUDE_CRC_CHECK = 0x8000000;

// TqSAVESTATE_*: state-save modes (SaveState)
inline constexpr int32_t TqSAVESTATE_GRADUALLY = 0;
inline constexpr int32_t TqSAVESTATE_ONEPASS = 1;
inline constexpr int32_t TqSAVESTATE_CANCEL = 2;

// TqCALLBACKRETURN_*: callback return values (ProcessTape callback)
inline constexpr int32_t TqCALLBACKRETURN_CONTINUE = 0;
inline constexpr int32_t TqCALLBACKRETURN_STOP = 1;
inline constexpr int32_t TqCALLBACKRETURN_RESTART = 2;

// TqAPIERR_*: library result codes (ProcessReturnValue)
inline constexpr int32_t TqAPIERR_NO_ERROR = 0;
inline constexpr int32_t TqAPIERR_USER_STOPPED = 1;
inline constexpr int32_t TqAPIERR_NOT_CALLBACK_THREAD = -1;
inline constexpr int32_t TqAPIERR_BAD_PARAMETERS = -2;
inline constexpr int32_t TqAPIERR_EXCEPTION = -3;
inline constexpr int32_t TqAPIERR_OPEN_TAPE_FILE_FAILED = -4;
inline constexpr int32_t TqAPIERR_INITIALIZE_MEMORY_FAILED = -5;
inline constexpr int32_t TqAPIERR_NOLISTED_EXG = -6;
inline constexpr int32_t TqAPIERR_NOSYMBOLS_FOR_LSTEXG = -7;
inline constexpr int32_t TqAPIERR_NOSESSION_FOR_SYMBOL = -8;
inline constexpr int32_t TqAPIERR_NODATATYPE_FOR_SESSION = -9;
inline constexpr int32_t TqAPIERR_NODATA_FOR_REPEXG = -10;
inline constexpr int32_t TqAPIERR_ZEROED_DATA_FOR_SESSION = -11;
inline constexpr int32_t TqAPIERR_SAVE_STATE_IN_PROGRESS = -12;
inline constexpr int32_t TqAPIERR_NOT_SUPPORTED = -13;
inline constexpr int32_t TqAPIERR_INITALLOC_ERROR = -14;
inline constexpr int32_t TqAPIERR_NSODALLOC_ERROR = -15;

// LULD_BND_EVT_*: limit-up/limit-down band events
inline constexpr int32_t LULD_BND_EVT_NONE = 0;
inline constexpr int32_t LULD_BND_EVT_OPENING = 1;
inline constexpr int32_t LULD_BND_EVT_INTRADAY = 2;
inline constexpr int32_t LULD_BND_EVT_RESTATED = 3;
inline constexpr int32_t LULD_BND_EVT_SUSPENDED = 4;
inline constexpr int32_t LULD_BND_EVT_REOPENING = 5;
inline constexpr int32_t LULD_BND_EVT_OUTSIDE_HRS = 6;

// The one result code without a module attribute.
inline constexpr int32_t TqAPIERR_UNSUPPORTED_API = -16;

}  // namespace tarvik
