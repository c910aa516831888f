// The tape file format: the fixed on-disk records and the tables a tape
// carries before its events. docs/tape-format.md describes the format; the
// tape reader and the tape writer are its only users.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine_constants.h"

namespace tarvik::engine {

static_assert(std::endian::native == std::endian::little, "tapes are read in place: little-endian only");

inline constexpr char kTapeMagic[8] = {'T', 'A', 'R', 'V', 'I', 'K', 'T', 'P'};
// Version 1 holds its events as they are read; version 2 may also hold
// them compressed (PackedEvents sections). The reader takes both.
inline constexpr uint32_t kPlainTapeFormatVersion = 1;
inline constexpr uint32_t kPackedTapeFormatVersion = 2;
inline constexpr uint32_t kTapeFormatVersion = kPackedTapeFormatVersion;  // the newest this build reads
inline constexpr uint32_t kEventsPerBlock = 4096;
inline constexpr uint32_t kNone = 0xFFFFFFFFu;  // no symbol / no text

// The first 16 bytes of every tape.
struct TapePreamble {
    char magic[8];
    uint32_t format_version;  // 1 or 2
    uint32_t flags;           // 0
};
static_assert(sizeof(TapePreamble) == 16);

// Every section: this head, `length` payload bytes, then zero padding up to
// a multiple of 8. `crc` is the CRC-32 of the payload.
enum class SectionKind : uint32_t {
    Header = 1,
    DefinedStrings = 2,
    Texts = 3,
    Symbols = 4,
    Categories = 5,
    CategoryValues = 6,
    Events = 7,
    End = 8,
    PackedEvents = 9,  // version 2: the payload of an Events section, its events and extensions zstd-compressed
};
struct SectionHead {
    uint32_t kind;
    uint32_t crc;
    uint64_t length;
};
static_assert(sizeof(SectionHead) == 16);

// A head of zeros: where a writer that extends the file before it fills it
// has not written the section yet.
inline bool unwritten(const SectionHead& head) { return head.kind == 0 && head.length == 0 && head.crc == 0; }

// The first 16 bytes of an Events or PackedEvents payload. In a packed
// section the zstd frame of the events and extensions follows, and it
// must inflate to exactly count * 48 + ext_count * 32 bytes.
struct EventsHead {
    uint32_t count;      // 1 to kEventsPerBlock
    uint32_t ext_count;  // at most count
    uint32_t reserved[2];
};
static_assert(sizeof(EventsHead) == 16);

// Kind-specific part of an event, 24 bytes.
struct QuoteEventBody {
    int32_t bid;
    int32_t ask;
    int32_t bid_size;
    int32_t ask_size;
    uint8_t quote_condition;
    uint8_t refresh;
    uint8_t nasdaq_bid_tick;
    uint8_t closing_quote;
    uint8_t market_maker_type;  // market-maker quotes
    uint8_t quote_type;         // market-maker quotes
    uint8_t reserved[2];
};
static_assert(sizeof(QuoteEventBody) == 24);

struct TradeEventBody {
    int32_t price;
    uint32_t size;
    uint32_t exg_sequence;
    uint8_t trade_condition;
    uint8_t condition_flags;  // TqTCF_*
    uint8_t volume_type;      // TqTVT_*
    uint8_t bate_code;
    uint8_t ext_conditions[4];
    uint8_t price_flags;  // only TqTPF_EXGINSERT, TqTPF_EXGCANCEL, TqTPF_SETTLEMENT
    uint8_t reserved;
    uint16_t records_back;
};
static_assert(sizeof(TradeEventBody) == 24);

struct CategoryEventBody {
    uint32_t category;      // index into the category definitions
    uint32_t first_value;   // index into the category values; one per field
    uint8_t reserved[16];
};
static_assert(sizeof(CategoryEventBody) == 24);

struct SymbolChangeEventBody {
    uint8_t status;  // TqSS_*
    uint8_t reserved;
    uint16_t old_listed_exg;
    uint32_t old_symbol;  // symbol directory index or kNone
    uint8_t reserved2[16];
};
static_assert(sizeof(SymbolChangeEventBody) == 24);

struct StatusEventBody {
    int32_t status;
    int32_t status_data;
    uint8_t reserved[16];
};
static_assert(sizeof(StatusEventBody) == 24);

inline constexpr uint8_t kEventHasExt = 0x01;

// One event of the day, 48 bytes, read in place from the tape.
struct TapeEvent {
    uint64_t micros;         // microseconds since midnight
    uint32_t symbol;         // symbol directory index or kNone
    uint16_t reporting_exg;
    uint16_t permission_id;
    uint8_t kind;            // TqMSG_*; any other value is passed on as is
    uint8_t session;
    uint8_t flags;           // kEventHasExt
    uint8_t price_type;
    uint32_t market_maker;   // text index or kNone (market-maker quotes)
    union {
        QuoteEventBody quote;
        TradeEventBody trade;
        CategoryEventBody category;
        SymbolChangeEventBody symbol_change;
        StatusEventBody status;
        uint8_t bytes[24];
    };
};
static_assert(sizeof(TapeEvent) == 48);
static_assert(offsetof(TapeEvent, quote) == 24);

// Microsecond data of an event flagged kEventHasExt; the extension entries
// of a block follow its events, one per flagged event, in event order.
struct TapeExt {
    uint64_t micros_src;
    uint64_t micros_ptp1;
    uint64_t micros_ptp2;
    uint64_t fractional_size;  // six implied decimals
};
static_assert(sizeof(TapeExt) == 32);

// The value of one category field of one category event.
struct CategoryValue {
    uint8_t set;
    uint8_t reserved[3];
    uint8_t value[12];  // by field type; texts are text indexes (uint32)
};
static_assert(sizeof(CategoryValue) == 16);

// ---------------------------------------------------------------------------
// The tables before the events, as the reader gives them and the writer
// takes them.
// ---------------------------------------------------------------------------

struct TapeHeader {
    uint32_t date_ndays = 0;  // days since 1883-01-01
    char permission_set[4] = {};
    int8_t time_zone = 0;  // hours to GMT
    std::string display;
};

struct OptionContract {
    uint32_t underlying = kNone;  // text indexes or kNone
    uint32_t series_chain = kNone;
    uint32_t special_settle = kNone;
    char date_and_strike[2] = {'A', 'A'};  // expiration code, strike code
    uint16_t exg_underlying = 0;
    uint16_t contract_unit = 100;
    int32_t strike = 0;  // three implied decimals
    int32_t strike_est = 0;
    uint8_t put_call = 0;  // 1 put, 0 call
    uint8_t expiration_cycle = 0;
    uint8_t strike_age = 0;
    uint8_t strike_match = 0;
    uint32_t expiration_ndays = 0;
};

struct SymbolEntry {
    uint32_t text = kNone;  // text index: the symbol, or an option's root
    uint16_t listed_exg = 0;
    uint8_t session = 0;
    uint8_t price_type = 0;
    uint32_t atom = 0;  // full 32-bit atom
    int32_t prev_close = 0;
    bool is_option = false;
    OptionContract option;
};

struct CategoryFieldDef {
    uint32_t name = kNone;  // text index
    uint32_t info = kNone;  // text index or kNone
    uint8_t type = TqCFT_UNKNOWN;
};

struct CategoryDef {
    uint16_t id = 0;  // category id, the atom of its name string
    uint32_t name = kNone;
    std::vector<CategoryFieldDef> fields;
};

inline constexpr int kStringTableCount = kLastStringTable + 1;

struct TapeTables {
    TapeHeader header;
    std::array<std::vector<std::string>, kStringTableCount> defined;  // 2..32 used
    std::vector<std::string> texts;
    std::vector<SymbolEntry> symbols;
    std::vector<CategoryDef> categories;
    std::vector<CategoryValue> category_values;
};

}  // namespace tarvik::engine
