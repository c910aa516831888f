// The replay's delivery: the events of a block, each message's records
// filled from its event and the market state it changes, then the client
// called. One deliver_* per message kind; the records are the run's own
// and keep what the previous message left in fields a kind does not set.
#include <cstring>

#include "engine/dates.h"
#include "engine/engine_constants.h"
#include "engine/prices.h"
#include "engine/run.h"

namespace tarvik::engine {
namespace {

constexpr const char* kStatusDisplay[kStatusCount] = {
    "Running",     "Initializing",  "Complete",    "Synchronizing", "Error",    "Waiting for core access",
    "Restarting tape", "Loaded state", "Saving state", "Symbol spin",  "Tape open",
};

const char* status_display(int32_t status) {
    return status >= 0 && status < kStatusCount ? kStatusDisplay[status] : "Unknown status";
}

constexpr uint64_t kMillionths = 1'000'000;

}  // namespace

// A block's events, from the first not yet delivered (a resumed day starts
// inside its first block). Here with the delivery, so that the compiler
// sees the whole of a message's path.
int32_t Run::replay_block(const EventBlock& block, std::size_t block_start) {
    const uint32_t first = resume_index_;
    resume_index_ = 0;
    uint32_t next_ext = 0;
    for (uint32_t i = 0; i < first; ++i) next_ext += block.events[i].flags & kEventHasExt;
    const uint32_t count = block.count;
    for (uint32_t i = first; i < count; ++i) {
        if (i + kFarDistance < count) [[likely]] {
            prefetch_far(block.events[i + kFarDistance]);
            prefetch_near(block.events[i + kNearDistance]);
        } else if (i + kNearDistance < count) {
            prefetch_near(block.events[i + kNearDistance]);
        }
        if (!saves_.idle()) {
            if (int32_t r = saves_.service(*this, block_start, i)) return r;
        }
        const TapeEvent& e = block.events[i];
        const TapeExt* ext = (e.flags & kEventHasExt) ? &block.ext[next_ext++] : nullptr;
        if (exclusions_.filtering() && exclusions_.skipped(e, directory_)) continue;
        const int32_t answer = deliver(e, ext);
        if (answer == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
        if (answer == TqCALLBACKRETURN_RESTART) return kRestartRequested;
    }
    return 0;
}

// Sets the extension (or none) and calls the client.
int32_t Run::finish_message(const TapeEvent& e, const TapeExt* ext, uint64_t fractional_total) {
    if (ext != nullptr) {
        ext_.MicrosOfDaySRC = ext->micros_src;
        ext_.MicrosOfDayPTP1 = ext->micros_ptp1;
        ext_.MicrosOfDayPTP2 = ext->micros_ptp2;
        ext_.FractionalSize = e.kind == TqMSG_TRADE ? ext->fractional_size : 0;
        ext_.FractionalTotalVolume = fractional_total;
        message_.ptarvik3Ext = &ext_;
    } else {
        message_.ptarvik3Ext = nullptr;
    }
    return call();
}

QuoteInput Run::quote_input(const TapeEvent& e, const SymbolState& st, TarvikQuoteRecord& core) {
    const QuoteEventBody& q = e.quote;
    QuoteInput in{q.bid, q.ask, q.bid_size, q.ask_size, e.reporting_exg, q.quote_condition, q.nasdaq_bid_tick, e.micros};
    if (e.price_type != st.price_type) {
        in.bid = price_convert(q.bid, e.price_type, st.price_type);
        in.ask = price_convert(q.ask, e.price_type, st.price_type);
    }
    core.AskSize = in.ask_size;
    core.BidSize = in.bid_size;
    core.AskPrice = in.ask;
    core.BidPrice = in.bid;
    core.PriceType = st.price_type;
    core.Refresh = q.refresh;
    core.QuoteCondition = q.quote_condition;
    core.NasdaqBidTick = q.nasdaq_bid_tick;
    return in;
}

int32_t Run::deliver_quote(const TapeEvent& e, const TapeExt* ext) {
    SymbolState& st = state_for(e);
    TarvikExgQuoteBody& body = message_.coreData.ExgQuote;
    const QuoteInput in = quote_input(e, st, body.coreQuote);
    body.reserved = 0;
    apply_exg_quote(st.quotes, in, body);
    body.ClosingQuoteFlag = e.quote.closing_quote;
    return finish_message(e, ext, 0);
}

int32_t Run::deliver_mm_quote(const TapeEvent& e, const TapeExt* ext) {
    SymbolState& st = state_for(e);
    TarvikMMQuoteBody& body = message_.coreData.MMQuote;
    const QuoteInput in = quote_input(e, st, body.coreQuote);
    const QuoteEventBody& q = e.quote;
    body.reserved = 0;
    apply_mm_quote(book_.mm_book_of(st), in, e.market_maker, q.market_maker_type, q.quote_type, body.coreQuote);
    body.ptqStringMarketMaker = e.market_maker != kNone ? directory_.text_record(e.market_maker) : nullptr;
    body.MarketMakerType = q.market_maker_type;
    body.QuoteType = q.quote_type;
    return finish_message(e, ext, 0);
}

int32_t Run::deliver_trade(const TapeEvent& e, const TapeExt* ext) {
    SymbolState& st = state_for(e);
    const TradeEventBody& t = e.trade;
    TarvikTradeBody& out = message_.coreData.Trade;
    const int32_t price = e.price_type != st.price_type ? price_convert(t.price, e.price_type, st.price_type)
                                                          : t.price;
    out.Price = price;
    out.PriceType = st.price_type;
    out.TradeCondition = t.trade_condition;
    out.ConditionFlags = t.condition_flags;
    out.VolumeType = t.volume_type;
    out.BATECode = t.bate_code;
    out.reserved66 = 0;
    out.Size = t.size;
    out.ExgSequence = t.exg_sequence;
    out.RecordsBack = t.records_back;
    out.reserved78 = 0;
    std::memcpy(out.ExtTradeConditions, t.ext_conditions, 4);
    const TradeInput in{price,
                        t.size,
                        ext != nullptr ? ext->fractional_size : uint64_t{t.size} * kMillionths,
                        e.micros,
                        e.reporting_exg,
                        t.condition_flags,
                        t.volume_type,
                        t.price_flags};
    apply_trade(st, in, out);
    return finish_message(e, ext, st.trade.fractional_total_volume);
}

int32_t Run::deliver(const TapeEvent& e, const TapeExt* ext) {
    set_clock(e.micros);
    set_header(e.symbol, e.reporting_exg, e.session, e.permission_id);
    message_.MessageType = e.kind;
    switch (e.kind) {
    case TqMSG_EXGQUOTE: return deliver_quote(e, ext);
    case TqMSG_MMQUOTE: return deliver_mm_quote(e, ext);
    case TqMSG_TRADE: return deliver_trade(e, ext);
    case TqMSG_CATEGORY: return deliver_category(e, ext);
    case TqMSG_SYMBOLCHANGE: return deliver_symbol_change(e, ext);
    case TqMSG_STATUS: return deliver_tape_status(e);
    default: return deliver_bodiless(e, ext);  // symbol spins and kinds this engine does not know
    }
}

int32_t Run::deliver_category(const TapeEvent& e, const TapeExt* ext) {
    const TapeTables& tables = source_.tables();
    const CategoryDef& def = tables.categories[e.category.category];
    const CategoryValue* values = tables.category_values.data() + e.category.first_value;
    for (std::size_t f = 0; f < def.fields.size(); ++f) {
        const CategoryFieldDef& fd = def.fields[f];
        TqCategoryFieldRecord& r = category_fields_[f];
        r = TqCategoryFieldRecord{};
        r.FieldName = tables.texts[fd.name].c_str();
        r.FieldInfo = fd.info != kNone ? tables.texts[fd.info].c_str() : nullptr;
        r.Set = values[f].set;
        r.FieldType = fd.type;
        if (!r.Set) continue;
        uint32_t text;
        std::memcpy(&text, values[f].value, sizeof text);
        if (fd.type == TqCFT_STRINGZ) {
            r.value.StringZ = tables.texts[text].c_str();
        } else if (fd.type == TqCFT_TqSTRING) {
            r.value.ptqString = directory_.text_record(text);
        } else {
            std::memcpy(&r.value, values[f].value, sizeof values[f].value);
        }
    }
    TarvikCategoryBody& body = message_.coreData.Category;
    body.ptqStringCategory = directory_.category_record(e.category.category);
    body.ptqFields = category_fields_.data();
    body.NFields = static_cast<uint16_t>(def.fields.size());
    return finish_message(e, ext, 0);
}

int32_t Run::deliver_symbol_change(const TapeEvent& e, const TapeExt* ext) {
    const SymbolChangeEventBody& c = e.symbol_change;
    std::memset(&message_.coreData, 0, sizeof message_.coreData);
    TarvikSymbolChangeBody& out = message_.coreData.SymbolChange;
    out.Status = c.status;
    out.StatusChar = c.status <= TqSS_MOD ? "ADM"[c.status] : '?';
    if (c.old_symbol != kNone) {
        out.ptqsSymbolOld = directory_[c.old_symbol].record;
        out.ptqOptionHdrOld = directory_[c.old_symbol].option;
    }
    out.ListedExgOld = c.old_listed_exg;
    return finish_message(e, ext, 0);
}

// A status the tape itself carries: no extension, and the system record
// back to running once the client has seen it.
int32_t Run::deliver_tape_status(const TapeEvent& e) {
    std::memset(&message_.coreData, 0, sizeof message_.coreData);
    message_.ptarvik3Ext = nullptr;
    return call_with_status(e.status.status, e.status.status_data);
}

int32_t Run::deliver_bodiless(const TapeEvent& e, const TapeExt* ext) {
    std::memset(&message_.coreData, 0, sizeof message_.coreData);
    return finish_message(e, ext, 0);
}

int32_t Run::call() { return callback_(&system_, &message_); }

int32_t Run::deliver_status(int32_t status, int32_t status_data) {
    if (!clock_set_) set_clock(0);
    else system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    set_header(kNone, 0, 0, 0);
    message_.MessageType = TqMSG_STATUS;
    message_.ptarvik3Ext = nullptr;
    std::memset(&message_.coreData, 0, sizeof message_.coreData);
    return call_with_status(status, status_data);
}

// The system record shows the status for this one call, then running again.
int32_t Run::call_with_status(int32_t status, int32_t status_data) {
    system_.Status = status;
    system_.StatusData = status_data;
    system_.StatusDisplay = status_display(status);
    const int32_t answer = call();
    system_.Status = TARVIKSTATUS_RUNNING;
    system_.StatusData = 0;
    system_.StatusDisplay = status_display(TARVIKSTATUS_RUNNING);
    return answer;
}

void Run::set_clock(uint64_t micros) {
    const uint32_t ms = static_cast<uint32_t>(micros / 1000);
    if (clock_set_ && ms == last_time_.MsOfDay) {
        system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
        return;
    }
    // Most messages move the clock within the second: only the milliseconds
    // change, and the full conversion is not needed.
    const uint32_t second_start = last_time_.MsOfDay - last_time_.Millisecond;
    // The two records hold last_time_ already, so only those two fields are
    // written (copying the record out of last_time_ right after changing
    // them in place would also wait on those narrow stores).
    if (clock_set_ && ms >= second_start && ms - second_start < 1000) {
        const auto millisecond = static_cast<uint16_t>(ms - second_start);
        last_time_.MsOfDay = ms;
        last_time_.Millisecond = millisecond;
        system_.ClockUpdateInterval = TqCLOCK_CLOCK;
        system_.tqTime.MsOfDay = ms;
        system_.tqTime.Millisecond = millisecond;
        message_.coreHeader.tqExgTimestamp.MsOfDay = ms;
        message_.coreHeader.tqExgTimestamp.Millisecond = millisecond;
        return;
    }
    const TqTimeRecord now = time_from_micros(micros, source_.tables().header.time_zone);
    int32_t interval = TqCLOCK_CLOCK;
    if (!clock_set_ || now.Hour != last_time_.Hour) {
        interval = TqCLOCK_HOUR;
    } else if (now.Minute != last_time_.Minute) {
        interval = TqCLOCK_MINUTE;
    } else if (now.Second != last_time_.Second) {
        interval = TqCLOCK_SECOND;
    }
    clock_set_ = true;
    system_.ClockUpdateInterval = interval;
    system_.tqTime = now;
    last_time_ = now;
    message_.coreHeader.tqExgTimestamp = now;
}

void Run::set_header(uint32_t symbol, uint16_t reporting_exg, uint8_t session, uint16_t permission_id) {
    TarvikHeaderRecord& h = message_.coreHeader;
    if (symbol == kNone) {
        h.ptqStringSymbol = nullptr;
        h.ptqOptionHdr = nullptr;
        h.ListedExg = 0;
        current_atom_ = 0;
    } else {
        const SymbolSlot& slot = directory_[symbol];
        h.ptqStringSymbol = slot.record;
        h.ptqOptionHdr = slot.option;
        h.ListedExg = slot.listed_exg;
        current_atom_ = slot.record_atom;
    }
    h.ReportingExg = reporting_exg;
    h.SessionID = session;
    h.alignment = 0;
    h.PermissionID = permission_id;
}

}  // namespace tarvik::engine
