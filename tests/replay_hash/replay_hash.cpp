// replay_hash: one hash of everything a client sees in a replay, to prove
// that a change to the engine keeps its behaviour message for message.
//
//     replay_hash ENGINE TAPE [--flags N] [--exclude KEY]... [--every N]
//                 [--save-at N --save-to SNAPSHOT] [--first TAPE] [--trace]
//
// --first replays another tape before, in the same process, and leaves it
// out of the hash: the run hashed then starts in what the first one left
// behind (its state tables, kept for the next run), and must not differ.
//
// ENGINE is loaded with dlopen and driven only through its C exports, as a
// client drives it. TAPE may be a tape or a state snapshot (a resumed run).
// Each callback's records are hashed field by field: the system record, the
// message header and the body of its kind, the strings through their
// records' text, option headers, category fields and the microsecond
// extension. Pointers enter the hash only as the order in which each string
// record or option header was first seen, so a record that should keep one
// address for the run is checked to keep it. Not hashed, since they differ
// from run to run: pointer values, Module, ThreadInstance, and the tape's
// path. Reserved and padding bytes are not part of any field.
//
// After every Nth message (--every, default 61), and after every quote or
// trade of the first few symbols that are quoted or traded, the state
// queries for the message's symbol are hashed too: the exchange quotes, the
// market-maker quotes of all exchanges and of the reporting exchange, and
// the last trade. At the end of the day (and when a snapshot is loaded)
// every symbol is spun, and each spin message and the state of its symbol
// go into the hash as well.
//
// --exclude passes a key to sTarvikExcludeOpraExch before the run;
// --save-at asks for a one-pass state snapshot at the Nth message.
// --trace prints the running hash after every callback, so that two traces
// show the first message where runs part.
//
// Prints one line: "HASH CALLBACKS RESULT", the hash in hex, the number of
// callbacks (spins included) and the result of sTarvikProcessTape.
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "tarvik/constants.h"
#include "tarvik/library.h"

namespace {

using namespace tarvik;

constexpr std::size_t kWatchedSymbols = 3;

// FNV-1a over the bytes of each value, little-endian as the machine is.
class Hash {
public:
    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) value_ = (value_ ^ p[i]) * 0x100000001B3ull;
    }
    template <typename T>
    void add(T v) {
        static_assert(std::is_arithmetic_v<T>);
        bytes(&v, sizeof v);
    }
    // A C string, or a marker for null that no text can give.
    void text(const char* s) {
        if (s == nullptr) {
            add<uint8_t>(0xFF);
            return;
        }
        bytes(s, std::strlen(s) + 1);
    }
    uint64_t value() const { return value_; }

private:
    uint64_t value_ = 0xCBF29CE484222325ull;
};

struct Exports {
    sTarvikProcessTape_t process_tape;
    sTarvikStateGetExgQuotes_t exg_quotes;
    sTarvikStateGetMMQuotes_t mm_quotes;
    sTarvikStateGetLastTrade_t last_trade;
    sTarvikSpinSymbols_t spin_symbols;
    sTarvikSaveState_t save_state;
    sTarvikExcludeOpraExch_t exclude;
};

struct Options {
    std::string engine, tape, save_to, first;
    int32_t flags = 0;
    std::vector<int32_t> exclusions;
    uint64_t every = 61;
    uint64_t save_at = 0;
    bool trace = false;
};

// What one run has seen; the callbacks reach it through g_replay.
struct Replay {
    Exports api;
    Options options;
    Hash hash;
    uint64_t callbacks = 0;
    uint64_t messages = 0;  // callbacks of the run itself, spins not counted
    std::unordered_map<const void*, uint64_t> first_seen;
    std::vector<const TqStringRecord*> watched;
};
Replay* g_replay = nullptr;

void pointer(Hash& h, const void* p) {
    if (p == nullptr) {
        h.add<uint64_t>(0);
        return;
    }
    auto [it, added] = g_replay->first_seen.emplace(p, g_replay->first_seen.size() + 1);
    (void)added;
    h.add<uint64_t>(it->second);
}

void string_record(Hash& h, const TqStringRecord* s) {
    pointer(h, s);
    if (s == nullptr) return;
    h.add(s->UserData1);
    h.add(s->UserData2);
    h.add(s->Atom);
    h.text(string_text(s));
}

void date(Hash& h, const TqDateRecord& d) {
    h.add(d.NDays);
    h.add(d.Year);
    h.add(d.Month);
    h.add(d.Day);
    h.add(d.DSTIndicator);
    h.add(d.DayOfWeek);
    h.add(d.DayOfYear);
    h.add(d.reserved);  // the day of year's high byte
}

void clock_time(Hash& h, const TqTimeRecord& t) {
    h.add(t.MsOfDay);
    h.add(t.Millisecond);
    h.add(t.Second);
    h.add(t.Minute);
    h.add(t.Hour);
    h.add(t.TimeZone);
    h.add(t.MsResolution);
}

void option_header(Hash& h, const TqOptionHdrRecord* o) {
    pointer(h, o);
    if (o == nullptr) return;
    string_record(h, o->ptqsDateAndStrike);
    string_record(h, o->ptqsUnderlying);
    string_record(h, o->ptqsSeriesChain);
    string_record(h, o->ptqsSpecialSettle);
    h.add(o->exgUnderlying);
    h.add(o->contractUnit);
    h.add(o->strikePrice);
    h.add(o->strikePriceEst);
    h.add(o->PutCall);
    h.add(o->expirationCycle);
    h.add(o->oicStrikeAge);
    h.add(o->tqStrikeMatch);
    date(h, o->tqExpirationDate);
}

void system_record(Hash& h, const TarvikSystemRecord& s) {
    h.add(s.UserData);
    h.add(s.DLLVersion);
    date(h, s.tqDate);
    clock_time(h, s.tqTime);
    h.add(s.ClockUpdateInterval);
    h.add(s.Status);
    h.add(s.StatusData);
    h.text(s.StatusDisplay);
    h.text(s.TapeDisplay);
    h.bytes(s.PermissionSet, sizeof s.PermissionSet);
}

void header(Hash& h, const TarvikHeaderRecord& r) {
    string_record(h, r.ptqStringSymbol);
    option_header(h, r.ptqOptionHdr);
    date(h, r.tqSessionDate);
    clock_time(h, r.tqExgTimestamp);
    h.add(r.ListedExg);
    h.add(r.ReportingExg);
    h.add(r.SessionID);
    h.add(r.PermissionID);
}

void quote(Hash& h, const TarvikQuoteRecord& q) {
    h.add(q.AskSize);
    h.add(q.BidSize);
    h.add(q.AskSizeChange);
    h.add(q.BidSizeChange);
    h.add(q.AskPrice);
    h.add(q.BidPrice);
    h.add(q.AskPriceChange);
    h.add(q.BidPriceChange);
    h.add(q.PriceType);
    h.add(q.Refresh);
    h.add(q.QuoteCondition);
    h.add(q.NasdaqBidTick);
}

void exg_quote(Hash& h, const TarvikExgQuoteBody& q) {
    quote(h, q.coreQuote);
    for (int32_t v : {q.BestAskPrice, q.BestBidPrice, q.BestAskPriceChange, q.BestBidPriceChange, q.BestAskSize,
                      q.BestBidSize, q.BestAskSizeChange, q.BestBidSizeChange})
        h.add(v);
    for (uint16_t v : {q.BestAskExg, q.BestBidExg, q.PrevBestAskExg, q.PrevBestBidExg}) h.add(v);
    for (uint8_t v : {q.BestAskCondition, q.BestBidCondition, q.BBOChangeFlags, q.ClosingQuoteFlag}) h.add(v);
}

void mm_quote(Hash& h, const TarvikMMQuoteBody& q) {
    quote(h, q.coreQuote);
    string_record(h, q.ptqStringMarketMaker);
    h.add(q.MarketMakerType);
    h.add(q.QuoteType);
}

void trade(Hash& h, const TarvikTradeBody& t) {
    h.add(t.Price);
    for (uint8_t v : {t.PriceType, t.PriceFlags, t.TradeCondition, t.ConditionFlags, t.VolumeType, t.BATECode})
        h.add(v);
    h.add(t.Size);
    h.add(t.ExgSequence);
    h.add(t.RecordsBack);
    const TqCTAnalysisRecord& a = t.tqAnalysis;
    h.add(a.FilterThreshold);
    for (uint8_t v : {a.Filtered, a.FilterLevel, a.SigHiLoType}) h.add(v);
    h.add(a.SigHiLoSeconds);
    h.add(a.QteMatchDistanceRGN);
    h.add(a.QteMatchDistanceBBO);
    for (uint8_t v : {a.QteMatchTypeRGN, a.QteMatchTypeBBO, a.QteMatchFlagsRGN, a.QteMatchFlagsBBO}) h.add(v);
    h.add(t.TotalVolume);
    h.add(t.TickVolume);
    for (int32_t v : {t.Open, t.High, t.Low, t.Last, t.Tick, t.NetChange}) h.add(v);
    h.bytes(t.ExtTradeConditions, sizeof t.ExtTradeConditions);
}

void category_field(Hash& h, const TqCategoryFieldRecord& f) {
    h.text(f.FieldName);
    h.text(f.FieldInfo);
    h.add(f.Set);
    h.add(f.FieldType);
    if (!f.Set) return;  // the value of a field that is not set means nothing
    const TqCategoryFieldRecord::Value& v = f.value;
    switch (f.FieldType) {
    case TqCFT_32BIT: h.add(v.i32Bit); break;
    case TqCFT_STRINGZ: h.text(v.StringZ); break;
    case TqCFT_DOUBLE: h.add(v.i64Bit); break;  // the bits, so that NaNs compare too
    case TqCFT_PRICE:
        h.add(v.tqPrice.Price);
        h.add(v.tqPrice.PriceType);
        break;
    case TqCFT_DATE: date(h, v.tqDate); break;
    case TqCFT_TIME: clock_time(h, v.tqTime); break;
    case TqCFT_TqSTRING: string_record(h, v.ptqString); break;
    case TqCFT_STRING_IDX:
    case TqCFT_STRING_MAP:
        h.add(v.stringTableItem.ixTable);
        h.add(v.stringTableItem.idString);
        break;
    default: h.add(v.i64Bit); break;  // 64-bit and types the library does not name
    }
}

void category(Hash& h, const TarvikCategoryBody& c) {
    string_record(h, c.ptqStringCategory);
    h.add(c.NFields);
    if (c.ptqFields == nullptr) {
        h.add<uint8_t>(0xFF);
        return;
    }
    for (uint16_t i = 0; i < c.NFields; ++i) category_field(h, c.ptqFields[i]);
}

void symbol_change(Hash& h, const TarvikSymbolChangeBody& c) {
    h.add(c.Status);
    h.add(c.StatusChar);
    string_record(h, c.ptqsSymbolOld);
    option_header(h, c.ptqOptionHdrOld);
    h.add(c.ListedExgOld);
}

void spin(Hash& h, const TarvikSymbolSpinBody& s) {
    for (uint32_t v : {s.SpinID, s.IterLimit, s.SubIterLimit, s.IterCount, s.SubIterCount}) h.add(v);
}

void extension(Hash& h, const Tarvik3ExtRecord* x) {
    h.add<uint8_t>(x != nullptr);
    if (x == nullptr) return;
    for (uint64_t v : {x->MicrosOfDaySRC, x->MicrosOfDayPTP1, x->MicrosOfDayPTP2, x->FractionalSize,
                       x->FractionalTotalVolume})
        h.add(v);
}

void message(Hash& h, const TarvikMessageRecord& m) {
    h.add(m.MessageType);
    header(h, m.coreHeader);
    switch (m.MessageType) {
    case TqMSG_EXGQUOTE: exg_quote(h, m.coreData.ExgQuote); break;
    case TqMSG_MMQUOTE: mm_quote(h, m.coreData.MMQuote); break;
    case TqMSG_TRADE: trade(h, m.coreData.Trade); break;
    case TqMSG_CATEGORY: category(h, m.coreData.Category); break;
    case TqMSG_SYMBOLCHANGE: symbol_change(h, m.coreData.SymbolChange); break;
    case TqMSG_SYMBOLSPIN: spin(h, m.coreData.SymbolSpin); break;
    default: break;  // a status: the system record says it all
    }
    extension(h, m.ptarvik3Ext);
}

// The state queries' answers for one symbol: result codes, and the records
// when there is an answer.
void state_of(Hash& h, const TqStringRecord* symbol, uint16_t reporting_exg) {
    const Exports& api = g_replay->api;
    static TarvikStateExgQuotesRecord exg;
    const int32_t exg_result = api.exg_quotes(&exg, symbol);
    h.add(exg_result);
    if (exg_result == 0) {
        h.add(exg.StateQuoteCount);
        h.add(exg.PriceType);
        h.add(exg.NasdaqBidTick);
        h.add(exg.BestAskExg);
        h.add(exg.BestBidExg);
        for (int i = 0; i < exg.StateQuoteCount && i < kStateExgQuoteCapacity; ++i) {
            const TarvikStateExgQuoteRecord& q = exg.StateExgQuotes[i];
            for (int32_t v : {q.AskPrice, q.BidPrice, q.AskSize, q.BidSize}) h.add(v);
            h.add(q.ReportingExg);
            h.add(q.QuoteCondition);
        }
    }
    static TarvikStateMMQuotesRecord mm;
    for (uint16_t exchange : {static_cast<uint16_t>(TqSPIN_ALL_EXGS), reporting_exg}) {
        const int32_t mm_result = api.mm_quotes(exchange, &mm, symbol);
        h.add(mm_result);
        if (mm_result != 0) continue;
        h.add(mm.StateQuoteCount);
        h.add(mm.PriceType);
        h.add(mm.NasdaqBidTick);
        for (int i = 0; i < mm.StateQuoteCount && i < kStateMMQuoteCapacity; ++i) {
            const TarvikStateMMQuoteRecord& q = mm.StateMMQuotes[i];
            for (int32_t v : {q.AskPrice, q.BidPrice, q.AskSize, q.BidSize}) h.add(v);
            string_record(h, q.ptqStringMarketMaker);
            h.add(q.MarketMakerType);
            h.add(q.QuoteType);
        }
    }
    TarvikStateTradeRecord t{};
    const int32_t trade_result = api.last_trade(&t, symbol);
    h.add(trade_result);
    if (trade_result == 0) {
        h.add(t.TotalVolume);
        h.add(t.TickVolume);
        for (uint8_t v : {t.PriceType, t.PriceFlags, t.ConditionFlags, t.VolumeType}) h.add(v);
        for (int32_t v : {t.Open, t.High, t.Low, t.Last, t.NetChange, t.Price, t.Threshold, t.Tick}) h.add(v);
    }
}

bool watched(const TarvikMessageRecord& m) {
    const uint32_t kind = m.MessageType;
    const TqStringRecord* symbol = m.coreHeader.ptqStringSymbol;
    if (symbol == nullptr || (kind != TqMSG_EXGQUOTE && kind != TqMSG_MMQUOTE && kind != TqMSG_TRADE)) return false;
    std::vector<const TqStringRecord*>& w = g_replay->watched;
    for (const TqStringRecord* s : w)
        if (s == symbol) return true;
    if (w.size() >= kWatchedSymbols) return false;
    w.push_back(symbol);
    return true;
}

void record(TarvikSystemRecord* system, TarvikMessageRecord* m) {
    Hash& h = g_replay->hash;
    ++g_replay->callbacks;
    system_record(h, *system);
    message(h, *m);
}

void trace() {
    if (g_replay->options.trace)
        std::printf("%" PRIu64 " %016" PRIx64 "\n", g_replay->callbacks, g_replay->hash.value());
}

int32_t on_spin(TarvikSystemRecord* system, TarvikMessageRecord* m) {
    record(system, m);
    if (m->coreHeader.ptqStringSymbol != nullptr) state_of(g_replay->hash, m->coreHeader.ptqStringSymbol, 0);
    trace();
    return TqCALLBACKRETURN_CONTINUE;
}

// Every symbol of the day, plain ones and option contracts, each with its
// state.
void spin_all() {
    for (int32_t kind : {TqSPIN_NON_OPTIONS, TqSPIN_OPTIONS})
        g_replay->hash.add(g_replay->api.spin_symbols(TqSPIN_ALL_EXGS, kind, 100 + kind, on_spin, 7));
}

int32_t on_message(TarvikSystemRecord* system, TarvikMessageRecord* m) {
    Replay& r = *g_replay;
    record(system, m);
    ++r.messages;
    const TqStringRecord* symbol = m->coreHeader.ptqStringSymbol;
    if (symbol != nullptr && (r.messages % r.options.every == 0 || watched(*m)))
        state_of(r.hash, symbol, m->coreHeader.ReportingExg);
    if (r.options.save_at != 0 && r.messages == r.options.save_at)
        r.hash.add(r.api.save_state(r.options.save_to.c_str(), TqSAVESTATE_ONEPASS));
    trace();
    if (m->MessageType == TqMSG_STATUS &&
        (system->Status == TARVIKSTATUS_COMPLETE || system->Status == TARVIKSTATUS_LOADED_STATE))
        spin_all();
    return TqCALLBACKRETURN_CONTINUE;
}

template <typename F>
bool find(void* library, const char* name, F& out) {
    out = reinterpret_cast<F>(::dlsym(library, name));
    if (out == nullptr) std::fprintf(stderr, "replay_hash: the engine has no %s\n", name);
    return out != nullptr;
}

bool number(const char* text, long long& out) {
    char* end = nullptr;
    out = std::strtoll(text, &end, 0);
    return *text != '\0' && *end == '\0';
}

bool parse(int argc, char** argv, Options& o) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        long long v = 0;
        if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--save-to" && has_value) {
            o.save_to = argv[++i];
        } else if (arg == "--first" && has_value) {
            o.first = argv[++i];
        } else if ((arg == "--flags" || arg == "--exclude" || arg == "--every" || arg == "--save-at") && has_value) {
            if (!number(argv[++i], v)) {
                std::fprintf(stderr, "replay_hash: %s: not a number: %s\n", arg.c_str(), argv[i]);
                return false;
            }
            if (arg == "--flags") o.flags = static_cast<int32_t>(v);
            if (arg == "--exclude") o.exclusions.push_back(static_cast<int32_t>(v));
            if (arg == "--every") o.every = v > 0 ? static_cast<uint64_t>(v) : 1;
            if (arg == "--save-at") o.save_at = static_cast<uint64_t>(v);
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "replay_hash: unknown option or missing value: %s\n", arg.c_str());
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2 || (o.save_at != 0) != !o.save_to.empty() || (!o.first.empty() && o.save_at != 0)) {
        std::fprintf(stderr,
                     "usage: replay_hash ENGINE TAPE [--flags N] [--exclude KEY]... [--every N] "
                     "[--save-at N --save-to SNAPSHOT | --first TAPE] [--trace]\n");
        return false;
    }
    o.engine = positional[0];
    o.tape = positional[1];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    static Replay replay;
    if (!parse(argc, argv, replay.options)) return 2;
    void* library = ::dlopen(replay.options.engine.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "replay_hash: %s\n", ::dlerror());
        return 2;
    }
    Exports& api = replay.api;
    if (!find(library, "sTarvikProcessTape", api.process_tape) ||
        !find(library, "sTarvikStateGetExgQuotes", api.exg_quotes) ||
        !find(library, "sTarvikStateGetMMQuotes", api.mm_quotes) ||
        !find(library, "sTarvikStateGetLastTrade", api.last_trade) ||
        !find(library, "sTarvikSpinSymbols", api.spin_symbols) || !find(library, "sTarvikSaveState", api.save_state) ||
        !find(library, "sTarvikExcludeOpraExch", api.exclude))
        return 2;
    g_replay = &replay;
    if (!replay.options.first.empty()) {
        // Before the exclusions: they are for the next run the thread starts.
        const bool trace = replay.options.trace;
        replay.options.trace = false;
        if (const int32_t r = api.process_tape(replay.options.first.c_str(), nullptr, 0, 42, on_message); r < 0) {
            std::fprintf(stderr, "replay_hash: the first tape answered %d\n", r);
            return 2;
        }
        replay.options.trace = trace;
        replay.hash = Hash{};
        replay.callbacks = replay.messages = 0;
        replay.first_seen.clear();
        replay.watched.clear();
    }
    for (int32_t key : replay.options.exclusions) {
        if (const int32_t r = api.exclude(key); r != 0) {
            std::fprintf(stderr, "replay_hash: sTarvikExcludeOpraExch(%d) answered %d\n", key, r);
            return 2;
        }
    }
    const int32_t result = api.process_tape(replay.options.tape.c_str(), nullptr, replay.options.flags, 42, on_message);
    replay.hash.add(result);
    std::printf("%016" PRIx64 " %" PRIu64 " %d\n", replay.hash.value(), replay.callbacks, result);
    return 0;
}
