// The library's named values that the engine produces or accepts: message
// kinds, statuses, callback answers, control flags, result codes and the
// value codes of message fields.
#pragma once

#include <cstdint>

namespace tarvik::engine {

// Message kinds (TarvikMessageRecord::MessageType).
enum MessageKind : uint8_t {
    TqMSG_STATUS = 0,
    TqMSG_EXGQUOTE = 1,
    TqMSG_MMQUOTE = 2,
    TqMSG_TRADE = 3,
    TqMSG_CATEGORY = 4,
    TqMSG_SYMBOLCHANGE = 5,
    TqMSG_SYMBOLSPIN = 6,
};

// Processing statuses (TarvikSystemRecord::Status).
enum Status : int32_t {
    TARVIKSTATUS_RUNNING = 0,
    TARVIKSTATUS_INITIALIZING = 1,
    TARVIKSTATUS_COMPLETE = 2,
    TARVIKSTATUS_SYNCHRONIZING = 3,
    TARVIKSTATUS_ERROR = 4,
    TARVIKSTATUS_WAITFORCOREACCESS = 5,
    TARVIKSTATUS_RESTARTING_TAPE = 6,
    TARVIKSTATUS_LOADED_STATE = 7,
    TARVIKSTATUS_SAVING_STATE = 8,
    TARVIKSTATUS_SYMBOLSPIN = 9,
    TARVIKSTATUS_TAPEOPEN = 10,
};
inline constexpr int kStatusCount = 11;

// Answers of a message callback.
inline constexpr int32_t TqCALLBACKRETURN_CONTINUE = 0;
inline constexpr int32_t TqCALLBACKRETURN_STOP = 1;
inline constexpr int32_t TqCALLBACKRETURN_RESTART = 2;

// Control flags of sTarvikProcessTape.
inline constexpr int32_t TqCF_EXCLUDE_QUOTES = 0x1;
inline constexpr int32_t TqCF_EXCLUDE_QUOTES2 = 0x2;
inline constexpr int32_t TqCF_EXCLUDE_OPRA = 0x4;
inline constexpr int32_t TqCF_FAVOR_NBBO = 0x8;
inline constexpr int32_t TqCF_MEMORY_ADDRESS = 0x4000000;
inline constexpr int32_t TqCF_EXCLUDE_CRC_CHECK = 0x8000000;

// Result codes of the exports.
inline constexpr int32_t TqAPIERR_NO_ERROR = 0;
inline constexpr int32_t TqAPIERR_USER_STOPPED = 1;
inline constexpr int32_t TqAPIERR_NOT_CALLBACK_THREAD = -1;
inline constexpr int32_t TqAPIERR_BAD_PARAMETERS = -2;
inline constexpr int32_t TqAPIERR_EXCEPTION = -3;
inline constexpr int32_t TqAPIERR_OPEN_TAPE_FILE_FAILED = -4;
inline constexpr int32_t TqAPIERR_INITIALIZE_MEMORY_FAILED = -5;
inline constexpr int32_t TqAPIERR_NOLISTED_EXG = -6;
inline constexpr int32_t TqAPIERR_NOSYMBOLS_FOR_LSTEXG = -7;
inline constexpr int32_t TqAPIERR_NODATATYPE_FOR_SESSION = -9;
inline constexpr int32_t TqAPIERR_NODATA_FOR_REPEXG = -10;
inline constexpr int32_t TqAPIERR_SAVE_STATE_IN_PROGRESS = -12;
inline constexpr int32_t TqAPIERR_NOT_SUPPORTED = -13;
inline constexpr int32_t TqAPIERR_UNSUPPORTED_API = -16;

// Symbol spins.
inline constexpr uint16_t TqSPIN_ALL_EXGS = 0xFFFF;
inline constexpr int32_t TqSPIN_NON_OPTIONS = 0;
inline constexpr int32_t TqSPIN_OPTIONS = 1;

// State saves: modes of sTarvikSaveState, and the phases and errors that
// TARVIKSTATUS_SAVING_STATE messages carry in StatusData.
inline constexpr int32_t TqSAVESTATE_GRADUALLY = 0;
inline constexpr int32_t TqSAVESTATE_ONEPASS = 1;
inline constexpr int32_t TqSAVESTATE_CANCEL = 2;
inline constexpr int32_t TqCSSAVESTATE_CAPTURE = 0;
inline constexpr int32_t TqCSSAVESTATE_COMPLETE = 1;
inline constexpr int32_t TqCSSAVESTATE_ERR_CREATEFILE = -1;
inline constexpr int32_t TqCSSAVESTATE_ERR_DISKSPACE = -2;
inline constexpr int32_t TqCSSAVESTATE_ERR_MEMORY = -3;

// Removal keys of sTarvikExcludeOpraExch.
inline constexpr int32_t TqPERMID_REMOVE = 0x100000;

// Clock update intervals (TarvikSystemRecord::ClockUpdateInterval).
inline constexpr int32_t TqCLOCK_NOCHANGE = 0;
inline constexpr int32_t TqCLOCK_CLOCK = 1;
inline constexpr int32_t TqCLOCK_SECOND = 2;
inline constexpr int32_t TqCLOCK_MINUTE = 3;
inline constexpr int32_t TqCLOCK_HOUR = 4;

// Symbol change kinds.
inline constexpr uint8_t TqSS_ADD = 0;
inline constexpr uint8_t TqSS_DEL = 1;
inline constexpr uint8_t TqSS_MOD = 2;

// BBOChangeFlags bits.
inline constexpr uint8_t TqBBOCHANGE_BIDEXG = 0x01;
inline constexpr uint8_t TqBBOCHANGE_BIDPRICE = 0x02;
inline constexpr uint8_t TqBBOCHANGE_BIDSIZE = 0x04;
inline constexpr uint8_t TqBBOCHANGE_ASKEXG = 0x10;
inline constexpr uint8_t TqBBOCHANGE_ASKPRICE = 0x20;
inline constexpr uint8_t TqBBOCHANGE_ASKSIZE = 0x40;

// Trade price flags (set by the engine: the first four; given by the tape:
// the last three).
inline constexpr uint8_t TqTPF_SETLAST = 0x01;
inline constexpr uint8_t TqTPF_SETHIGH = 0x02;
inline constexpr uint8_t TqTPF_SETLOW = 0x04;
inline constexpr uint8_t TqTPF_SETOPEN = 0x08;
inline constexpr uint8_t TqTPF_EXGINSERT = 0x10;
inline constexpr uint8_t TqTPF_EXGCANCEL = 0x20;
inline constexpr uint8_t TqTPF_SETTLEMENT = 0x40;
inline constexpr uint8_t kTapePriceFlags = TqTPF_EXGINSERT | TqTPF_EXGCANCEL | TqTPF_SETTLEMENT;

// Trade condition flags.
inline constexpr uint8_t TqTCF_NOLAST = 0x1;
inline constexpr uint8_t TqTCF_NOHIGH = 0x2;
inline constexpr uint8_t TqTCF_NOLOW = 0x4;

// Volume types.
inline constexpr uint8_t TqTVT_INCRVOL = 0;
inline constexpr uint8_t TqTVT_NONINCRVOL = 1;
inline constexpr uint8_t TqTVT_TOTALVOL = 2;
inline constexpr uint8_t TqTVT_TOTALVOLx100 = 3;

// Trade analysis.
inline constexpr uint8_t TqRTA_SIGHL_EQ = 0;
inline constexpr uint8_t TqRTA_SIGHL_LOWEST = 1;
inline constexpr uint8_t TqRTA_SIGHL_HIGHEST = 4;
inline constexpr uint8_t TqRTA_QMTYPE_NONE = 0;
inline constexpr uint8_t TqRTA_QMTYPE_BID = 1;
inline constexpr uint8_t TqRTA_QMTYPE_ASK = 2;
inline constexpr uint8_t TqRTA_QMTYPE_INSIDE = 3;
inline constexpr uint8_t TqRTA_QMTYPE_BELOWBID = 4;
inline constexpr uint8_t TqRTA_QMTYPE_ABOVEASK = 5;
inline constexpr uint8_t TqRTA_QTEMATCHFLAG_OLDER = 0x1;
inline constexpr uint8_t TqRTA_QTEMATCHFLAG_CROSSED = 0x2;

// Category field types.
enum CategoryFieldType : uint8_t {
    TqCFT_UNKNOWN = 0,
    TqCFT_64BIT = 1,
    TqCFT_32BIT = 2,
    TqCFT_STRINGZ = 3,
    TqCFT_DOUBLE = 4,
    TqCFT_PRICE = 5,
    TqCFT_DATE = 6,
    TqCFT_TIME = 7,
    TqCFT_TqSTRING = 8,
    TqCFT_STRING_IDX = 9,
    TqCFT_STRING_MAP = 10,
};

// Daylight-saving indicators.
inline constexpr uint8_t TqDATE_DST_UNKNOWN = 0;
inline constexpr uint8_t TqDATE_DST_ON = 1;
inline constexpr uint8_t TqDATE_DST_OFF = 2;
inline constexpr uint8_t TqDATE_DST_ONTODAY = 3;
inline constexpr uint8_t TqDATE_DST_OFFTODAY = 4;

// Defined-string tables: TqST_PERMID (2) to TqST_SYMBOLTYPES (32).
inline constexpr int kFirstStringTable = 2;
inline constexpr int kLastStringTable = 32;

}  // namespace tarvik::engine
