#include "constants/constants.h"

#include <iterator>

namespace tarvik {

namespace {

struct Constant {
    const char* name;
    long value;
};

// In the order they are added to the module.
constexpr Constant kConstants[] = {
    // TqDATE_DST_*: date daylight-saving indicator (TqDate.DSTIndicator)
    {"TqDATE_DST_UNKNOWN", 0},
    {"TqDATE_DST_ON", 1},
    {"TqDATE_DST_OFF", 2},
    {"TqDATE_DST_ONTODAY", 3},
    {"TqDATE_DST_OFFTODAY", 4},
    // TqDOW_*: day of week (TqDate.DayOfWeek)
    {"TqDOW_SUNDAY", 0},
    {"TqDOW_MONDAY", 1},
    {"TqDOW_TUESDAY", 2},
    {"TqDOW_WEDNESDAY", 3},
    {"TqDOW_THURSDAY", 4},
    {"TqDOW_FRIDAY", 5},
    {"TqDOW_SATURDAY", 6},
    // TqCLOCK_*: clock update interval (TarvikSystem.ClockUpdateInterval)
    {"TqCLOCK_NOCHANGE", 0},
    {"TqCLOCK_CLOCK", 1},
    {"TqCLOCK_SECOND", 2},
    {"TqCLOCK_MINUTE", 3},
    {"TqCLOCK_HOUR", 4},
    // TARVIKSTATUS_*: processing status
    {"TARVIKSTATUS_RUNNING", 0},
    {"TARVIKSTATUS_INITIALIZING", 1},
    {"TARVIKSTATUS_COMPLETE", 2},
    {"TARVIKSTATUS_SYNCHRONIZING", 3},
    {"TARVIKSTATUS_ERROR", 4},
    {"TARVIKSTATUS_WAITFORCOREACCESS", 5},
    {"TARVIKSTATUS_RESTARTING_TAPE", 6},
    {"TARVIKSTATUS_LOADED_STATE", 7},
    {"TARVIKSTATUS_SAVING_STATE", 8},
    {"TARVIKSTATUS_SYMBOLSPIN", 9},
    {"TARVIKSTATUS_TAPEOPEN", 10},
    // TqCSRUNMODE_*: run-mode data sources
    {"TqCSRUNMODE_SRC_DISK_FILE", 0},
    {"TqCSRUNMODE_SRC_ACCESS_FILE", 1},
    {"TqCSRUNMODE_SRC_ACCESS_MEMORY", 2},
    {"TqCSRUNMODE_SRC_ACCESS_MB_OLDEST", 2},
    {"TqCSRUNMODE_SRC_ACCESS_MB_LOWER", 3},
    {"TqCSRUNMODE_SRC_ACCESS_MB_UPPER", 4},
    {"TqCSRUNMODE_SRC_ACCESS_MB_SECOND", 5},
    {"TqCSRUNMODE_SRC_ACCESS_MB_CURRENT", 6},
    // TqCSSAVESTATE_*: state-save phases and errors
    {"TqCSSAVESTATE_CAPTURE", 0},
    {"TqCSSAVESTATE_COMPLETE", 1},
    {"TqCSSAVESTATE_ERR_CREATEFILE", -1},
    {"TqCSSAVESTATE_ERR_DISKSPACE", -2},
    {"TqCSSAVESTATE_ERR_MEMORY", -3},
    // TqCSSYMBOLSPIN_*: symbol spin phases
    {"TqCSSYMBOLSPIN_STARTING", 0},
    {"TqCSSYMBOLSPIN_COMPLETE", 1},
    // TqPERMID_*: permission removal flag (ExcludeOpraExch)
    {"TqPERMID_REMOVE", 0x100000},
    // TqQTE_NASDBIDTICK_*: Nasdaq bid tick (NasdaqBidTick)
    {"TqQTE_NASDBIDTICK_NA", 0},
    {"TqQTE_NASDBIDTICK_UP", 1},
    {"TqQTE_NASDBIDTICK_DN", 2},
    {"TqQTE_NASDBIDTICK_NO", 3},
    // TqQTE_REFRESH_*: quote refresh (TarvikQuote.Refresh)
    {"TqQTE_REFRESH_REALTIME", 0},
    {"TqQTE_REFRESH_SOURCE", 1},
    {"TqQTE_REFRESH_MISMATCH", 2},
    {"TqQTE_REFRESH_SYNCHRONIZE", 3},
    // TqBBOCHANGE_*: bit flags (TarvikExgQuote.BBOChangeFlags)
    {"TqBBOCHANGE_BIDEXG", 1},
    {"TqBBOCHANGE_BIDPRICE", 2},
    {"TqBBOCHANGE_BIDSIZE", 4},
    {"TqBBOCHANGE_ASKEXG", 0x10},
    {"TqBBOCHANGE_ASKPRICE", 0x20},
    {"TqBBOCHANGE_ASKSIZE", 0x40},
    // TqMMT_*: market maker type (MarketMakerType)
    {"TqMMT_UNKNOWN", 0},
    {"TqMMT_REGULAR", 1},
    {"TqMMT_PRIMARY", 2},
    {"TqMMT_PASSIVE", 3},
    // TqMMQT_*: market maker quote type (QuoteType)
    {"TqMMQT_UNKNOWN", 0},
    {"TqMMQT_REGULAR", 1},
    {"TqMMQT_PASSIVE", 2},
    {"TqMMQT_SYNDICATE", 3},
    {"TqMMQT_PRESYNDICATE", 4},
    {"TqMMQT_PENALTY", 5},
    // TqTPF_*: trade price flags, bits (TarvikTrade.PriceFlags)
    {"TqTPF_SETLAST", 1},
    {"TqTPF_SETHIGH", 2},
    {"TqTPF_SETLOW", 4},
    {"TqTPF_SETOPEN", 8},
    {"TqTPF_EXGINSERT", 0x10},
    {"TqTPF_EXGCANCEL", 0x20},
    {"TqTPF_SETTLEMENT", 0x40},
    // TqTCF_*: trade condition flags, bits (TarvikTrade.ConditionFlags)
    {"TqTCF_NOLAST", 1},
    {"TqTCF_NOHIGH", 2},
    {"TqTCF_NOLOW", 4},
    // TqTVT_*: trade volume type (TarvikTrade.VolumeType)
    {"TqTVT_INCRVOL", 0},
    {"TqTVT_NONINCRVOL", 1},
    {"TqTVT_TOTALVOL", 2},
    {"TqTVT_TOTALVOLx100", 3},
    // TqRTA_SIGHL_*: significant high/low (TqCTAnalysis.SigHiLoType)
    {"TqRTA_SIGHL_EQ", 0},
    {"TqRTA_SIGHL_LOWEST", 1},
    {"TqRTA_SIGHL_LOW", 2},
    {"TqRTA_SIGHL_HIGH", 3},
    {"TqRTA_SIGHL_HIGHEST", 4},
    // TqRTA_QMTYPE_*: quote match type (QteMatchTypeRGN, QteMatchTypeBBO)
    {"TqRTA_QMTYPE_NONE", 0},
    {"TqRTA_QMTYPE_BID", 1},
    {"TqRTA_QMTYPE_ASK", 2},
    {"TqRTA_QMTYPE_INSIDE", 3},
    {"TqRTA_QMTYPE_BELOWBID", 4},
    {"TqRTA_QMTYPE_ABOVEASK", 5},
    // TqRTA_QTEMATCHFLAG_*: quote match flags, bits (QteMatchFlagsRGN, QteMatchFlagsBBO)
    {"TqRTA_QTEMATCHFLAG_OLDER", 1},
    {"TqRTA_QTEMATCHFLAG_CROSSED", 2},
    // TqCFT_*: category field type (TqCategoryField.FieldType)
    {"TqCFT_UNKNOWN", 0},
    {"TqCFT_64BIT", 1},
    {"TqCFT_32BIT", 2},
    {"TqCFT_STRINGZ", 3},
    {"TqCFT_DOUBLE", 4},
    {"TqCFT_PRICE", 5},
    {"TqCFT_DATE", 6},
    {"TqCFT_TIME", 7},
    {"TqCFT_TqSTRING", 8},
    {"TqCFT_STRING_IDX", 9},
    {"TqCFT_STRING_MAP", 10},
    // TqSS_*: symbol change status (TarvikSymbolChange.Status)
    {"TqSS_ADD", 0},
    {"TqSS_DEL", 1},
    {"TqSS_MOD", 2},
    // TqSPIN_*: symbol spin arguments (SpinSymbols)
    {"TqSPIN_ALL_EXGS", 0xFFFF},
    {"TqSPIN_NON_OPTIONS", 0},
    {"TqSPIN_OPTIONS", 1},
    // TqMSG_*: message type (TarvikMessage.MessageType)
    {"TqMSG_STATUS", 0},
    {"TqMSG_EXGQUOTE", 1},
    {"TqMSG_MMQUOTE", 2},
    {"TqMSG_TRADE", 3},
    {"TqMSG_CATEGORY", 4},
    {"TqMSG_SYMBOLCHANGE", 5},
    {"TqMSG_SYMBOLSPIN", 6},
    // TqSTATETYPE_*: state record kinds
    {"TqSTATETYPE_OHLCTRADE", 1},
    {"TqSTATETYPE_EXGQUOTES", 2},
    {"TqSTATETYPE_MMQUOTES", 3},
    // TqLTF_*: tape listing search flags (ListTapes)
    {"TqLTF_SEARCH_LOCAL", 0},
    {"TqLTF_SEARCH_NETWORK", 1},
    {"TqLTF_SEARCH_REMOVEABLE", 2},
    // TqST_*: string table identifiers (GetDefinedString, StringTableItem.ixTable)
    {"TqST_PERMID", 2},
    {"TqST_EXCHANGE", 3},
    {"TqST_TRADECONDITION", 4},
    {"TqST_QUOTECONDITION", 5},
    {"TqST_CATEGORY", 6},
    {"TqST_HALTSTATUS", 7},
    {"TqST_HALTREASONTYPE", 8},
    {"TqST_OPENINDICATIONTYPE", 9},
    {"TqST_ORDERIMBALANCETYPE", 10},
    {"TqST_TRADEREPORTREASON", 11},
    {"TqST_EXGCORRECTIONMAP", 12},
    {"TqST_SYMBOLCHANGETYPE", 13},
    {"TqST_OHLCFLAGS", 14},
    {"TqST_EXDIVIDENDATTRIB", 15},
    {"TqST_OPRAEXCHANGELIST", 16},
    {"TqST_NASDBIDTICK", 17},
    {"TqST_MARKETMAKERTYPE", 18},
    {"TqST_MMQUOTETYPE", 19},
    {"TqST_REFRESHTYPE", 20},
    {"TqST_EXPIRATIONCYCLE", 21},
    {"TqST_VOLUMETYPE", 22},
    {"TqST_QTEMATCHTYPE", 23},
    {"TqST_QTEMATCHFLAGS", 24},
    {"TqST_SIGHIGHLOWTYPE", 25},
    {"TqST_BBOCHANGEFLAGS", 26},
    {"TqST_TRADECONDFLAGS", 27},
    {"TqST_PRICEFLAGS", 28},
    {"TqST_SETTLEFLAGMAP", 29},
    {"TqST_SYMBOLFNCLSTATUSMAP", 30},
    {"TqST_EQUITYCLASSIFICATIONS", 31},
    {"TqST_SYMBOLTYPES", 32},
    // TqCF_*: processing control flags, bits (ProcessTape)
    {"TqCF_EXCLUDE_QUOTES", 1},
    {"TqCF_EXCLUDE_QUOTES2", 2},
    {"TqCF_EXCLUDE_OPRA", 4},
    {"TqCF_FAVOR_NBBO", 8},
    {"TqCF_MEMORY_ADDRESS", 0x4000000},
    {"TqCF_EXCLUDE_CRC_CHECK", 0x8000000},
    // TqSAVESTATE_*: state-save modes (SaveState)
    {"TqSAVESTATE_GRADUALLY", 0},
    {"TqSAVESTATE_ONEPASS", 1},
    {"TqSAVESTATE_CANCEL", 2},
    // TqCALLBACKRETURN_*: callback return values (ProcessTape callback)
    {"TqCALLBACKRETURN_CONTINUE", 0},
    {"TqCALLBACKRETURN_STOP", 1},
    {"TqCALLBACKRETURN_RESTART", 2},
    // TqAPIERR_*: library result codes (ProcessReturnValue)
    {"TqAPIERR_NO_ERROR", 0},
    {"TqAPIERR_USER_STOPPED", 1},
    {"TqAPIERR_NOT_CALLBACK_THREAD", -1},
    {"TqAPIERR_BAD_PARAMETERS", -2},
    {"TqAPIERR_EXCEPTION", -3},
    {"TqAPIERR_OPEN_TAPE_FILE_FAILED", -4},
    {"TqAPIERR_INITIALIZE_MEMORY_FAILED", -5},
    {"TqAPIERR_NOLISTED_EXG", -6},
    {"TqAPIERR_NOSYMBOLS_FOR_LSTEXG", -7},
    {"TqAPIERR_NOSESSION_FOR_SYMBOL", -8},
    {"TqAPIERR_NODATATYPE_FOR_SESSION", -9},
    {"TqAPIERR_NODATA_FOR_REPEXG", -10},
    {"TqAPIERR_ZEROED_DATA_FOR_SESSION", -11},
    {"TqAPIERR_SAVE_STATE_IN_PROGRESS", -12},
    {"TqAPIERR_NOT_SUPPORTED", -13},
    {"TqAPIERR_INITALLOC_ERROR", -14},
    {"TqAPIERR_NSODALLOC_ERROR", -15},
    // LULD_BND_EVT_*: limit-up/limit-down band events
    {"LULD_BND_EVT_NONE", 0},
    {"LULD_BND_EVT_OPENING", 1},
    {"LULD_BND_EVT_INTRADAY", 2},
    {"LULD_BND_EVT_RESTATED", 3},
    {"LULD_BND_EVT_SUSPENDED", 4},
    {"LULD_BND_EVT_REOPENING", 5},
    {"LULD_BND_EVT_OUTSIDE_HRS", 6},
};

static_assert(std::size(kConstants) == 192);

}  // namespace

void add_constants(PyObject* module) {
    for (const Constant& constant : kConstants) {
        PyModule_AddIntConstant(module, constant.name, constant.value);
    }
}

}  // namespace tarvik
