#include "synth.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/engine_constants.h"
#include "engine/dates.h"

namespace tarvik::tool {
namespace {

using engine::kNone;

constexpr uint16_t kOptionListedExg = 10;
constexpr uint16_t kMMExchange = 3;
constexpr uint16_t kEquityPermission = 1;
constexpr uint16_t kOptionPermission = 2;
constexpr int kExchangesPerSymbol = 8;
constexpr uint32_t kImbalanceVariants = 64;
constexpr uint64_t kOpen = 9ull * 3600 * 1'000'000 + 30ull * 60 * 1'000'000;
constexpr uint64_t kClose = 16ull * 3600 * 1'000'000;

constexpr const char* kExchangeNames[] = {"",       "NYSE", "AMEX",  "NASDAQ", "BSE",  "NSX",  "CHX",
                                          "PHLX",   "ISE",  "ARCA",  "OPRA",   "CBOE", "BATS", "EDGX",
                                          "EDGA",   "IEX",  "MEMX"};
constexpr const char* kMarketMakers[] = {"GSCO", "MSCO", "UBSS", "CITI", "JPMS", "NITE", "VIRT", "CDRG",
                                         "D0",   "D1",   "D2",   "D3",   "D4"};

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }

private:
    uint64_t state_;
};

std::string ticker(uint32_t i) {
    std::string s;
    uint32_t n = i + 26 * 26;  // at least three letters
    while (n > 0) {
        s.insert(s.begin(), static_cast<char>('A' + n % 26));
        n /= 26;
    }
    return s;
}

// What the generator keeps per symbol and contract to shape its prices.
struct Book {
    int32_t mid;
    int32_t bid[kExchangesPerSymbol];
    int32_t ask[kExchangesPerSymbol];
    uint16_t exchanges[kExchangesPerSymbol];
    uint8_t exchange_count;
    uint32_t sequence;
};

// The imbalance category and a pool of values that its events take turns
// at; `text` adds a text to the tables.
template <typename Text>
void add_imbalance_category(const SynthOptions& o, engine::TapeTables& t, Text text) {
    engine::CategoryDef imbalance;
    imbalance.id = 1;
    imbalance.name = text("Imbalance");
    imbalance.fields = {{text("ImbalanceSize"), text("shares"), TqCFT_32BIT},
                        {text("Side"), kNone, TqCFT_STRINGZ},
                        {text("RefPrice"), kNone, TqCFT_PRICE},
                        {text("Time"), kNone, TqCFT_TIME}};
    const uint32_t sides[2] = {text("B"), text("S")};
    t.categories.push_back(imbalance);
    Random values_rng(o.seed * 31 + 7);
    for (uint32_t v = 0; v < kImbalanceVariants; ++v) {
        engine::CategoryValue size{}, side{}, price{}, time{};
        size.set = side.set = price.set = time.set = 1;
        const uint32_t shares = (1 + values_rng.below(500)) * 100;
        std::memcpy(size.value, &shares, 4);
        std::memcpy(side.value, &sides[v % 2], 4);
        const int32_t ref = static_cast<int32_t>(500 + values_rng.below(49'500));
        std::memcpy(price.value, &ref, 4);
        price.value[4] = 2;
        const TqTimeRecord at = engine::time_from_micros(kOpen - 300'000'000 + v * 1'000'000ull, -5);
        std::memcpy(time.value, &at, sizeof at);
        t.category_values.insert(t.category_values.end(), {size, side, price, time});
    }
}

// The third Friday of a month: the first Friday from the 15th.
uint32_t third_friday(int year, int month) {
    // Past the calendar's last month (a day in December 9999), its own.
    if (year > 9999) year = 9999, month = 12;
    TqDateRecord d{};
    for (int day = 15; day <= 21; ++day) {  // seven days: one is a Friday
        d = TqDateRecord{};
        d.Year = static_cast<uint16_t>(year);
        d.Month = static_cast<uint8_t>(month);
        d.Day = static_cast<uint8_t>(day);
        engine::date_from_ymd(d);
        if (d.DayOfWeek == 5) break;
    }
    return d.NDays;
}

// Contract k of the chain of symbol i: expirations the third Friday of the
// next months, strikes around the previous close.
engine::SymbolEntry option_contract(const engine::SymbolEntry& s, uint32_t i, uint32_t k, const TqDateRecord& today,
                                    Random& rng, uint32_t atom) {
    const uint32_t pair = k / 2;
    const uint32_t expiration = pair % 2;
    const int32_t strike_step = std::max(100, s.prev_close / 20) / 100 * 100;
    const int32_t strike = std::max(100, s.prev_close / 100 * 100 + (static_cast<int32_t>(pair / 2) - 2) * strike_step);
    engine::SymbolEntry c;
    c.text = s.text;
    c.listed_exg = kOptionListedExg;
    c.price_type = 2;
    c.atom = atom;
    c.prev_close = std::max(5, s.prev_close / 20 + static_cast<int32_t>(rng.below(200)));
    c.is_option = true;
    engine::OptionContract& oc = c.option;
    oc.underlying = s.text;
    oc.series_chain = s.text;
    const int month = (today.Month + static_cast<int>(expiration)) % 12 + 1;
    const int year = today.Year + (today.Month + static_cast<int>(expiration) >= 12 ? 1 : 0);
    oc.expiration_ndays = third_friday(year, month);
    oc.put_call = static_cast<uint8_t>(k % 2);
    oc.date_and_strike[0] = static_cast<char>((oc.put_call ? 'M' : 'A') + month - 1);
    oc.date_and_strike[1] = static_cast<char>('A' + pair / 2 % 26);
    oc.exg_underlying = s.listed_exg;
    oc.strike = strike * 10;  // three implied decimals
    oc.expiration_cycle = static_cast<uint8_t>(1 + i % 3);
    oc.strike_match = 15;
    return c;
}

// Each symbol's book: the exchanges that quote it and its price.
std::vector<Book> make_books(const engine::TapeTables& t, Random& rng, std::vector<uint32_t>& plain,
                             std::vector<uint32_t>& options) {
    std::vector<Book> books(t.symbols.size());
    for (uint32_t i = 0; i < t.symbols.size(); ++i) {
        Book& b = books[i];
        std::memset(&b, 0, sizeof b);
        b.mid = t.symbols[i].prev_close;
        if (t.symbols[i].is_option) {
            options.push_back(i);
            b.exchange_count = 4;
            for (int k = 0; k < 4; ++k) b.exchanges[k] = static_cast<uint16_t>(7 + k);
        } else {
            plain.push_back(i);
            b.exchange_count = static_cast<uint8_t>(4 + rng.below(5));
            uint16_t exg = static_cast<uint16_t>(1 + rng.below(16));
            for (int k = 0; k < b.exchange_count; ++k) {
                b.exchanges[k] = exg;
                exg = static_cast<uint16_t>(exg % 16 + 1);
            }
        }
    }
    return books;
}

uint8_t pick_kind(const SynthOptions& o, uint32_t mix_total, bool option, Random& rng) {
    uint32_t pick = mix_total > 0 ? rng.below(mix_total) : 0;
    uint8_t kind = TqMSG_EXGQUOTE;
    if (pick >= o.mix[0]) {
        pick -= o.mix[0];
        kind = pick < o.mix[1] ? TqMSG_MMQUOTE : pick < o.mix[1] + o.mix[2] ? TqMSG_TRADE : TqMSG_CATEGORY;
    }
    if ((kind == TqMSG_MMQUOTE || kind == TqMSG_CATEGORY) && option) kind = TqMSG_EXGQUOTE;
    return kind;
}

void exchange_quote(Book& b, bool option, int32_t half_spread, Random& rng, engine::TapeEvent& e) {
    const uint32_t slot = rng.below(b.exchange_count);
    e.reporting_exg = b.exchanges[slot];
    e.quote.bid = std::max(1, b.mid - half_spread - static_cast<int32_t>(rng.below(3)));
    e.quote.ask = b.mid + half_spread + static_cast<int32_t>(rng.below(3));
    e.quote.bid_size = static_cast<int32_t>(1 + rng.below(50)) * (option ? 1 : 100);
    e.quote.ask_size = static_cast<int32_t>(1 + rng.below(50)) * (option ? 1 : 100);
    b.bid[slot] = e.quote.bid;
    b.ask[slot] = e.quote.ask;
}

void market_maker_quote(const Book& b, int32_t half_spread, Random& rng, engine::TapeEvent& e) {
    e.reporting_exg = kMMExchange;
    e.market_maker = rng.below(sizeof kMarketMakers / sizeof kMarketMakers[0]);
    e.quote.bid = std::max(1, b.mid - half_spread - static_cast<int32_t>(rng.below(5)));
    e.quote.ask = b.mid + half_spread + static_cast<int32_t>(rng.below(5));
    e.quote.bid_size = static_cast<int32_t>(1 + rng.below(20)) * 100;
    e.quote.ask_size = static_cast<int32_t>(1 + rng.below(20)) * 100;
    e.quote.market_maker_type = 1;
    e.quote.quote_type = 1;
}

// A trade at or inside the NBBO the generator has quoted so far, with its
// extension record.
engine::TapeExt trade(Book& b, bool option, Random& rng, engine::TapeEvent& e) {
    int32_t best_bid = 0;
    int32_t best_ask = 0;
    for (int k = 0; k < b.exchange_count; ++k) {
        if (b.bid[k] > best_bid) best_bid = b.bid[k];
        if (b.ask[k] > 0 && (best_ask == 0 || b.ask[k] < best_ask)) best_ask = b.ask[k];
    }
    int32_t price = b.mid;
    if (best_bid > 0 && best_ask >= best_bid)
        price = best_bid + static_cast<int32_t>(rng.below(static_cast<uint32_t>(best_ask - best_bid + 1)));
    e.reporting_exg = b.exchanges[rng.below(b.exchange_count)];
    e.trade.price = price;
    e.trade.size = (1 + rng.below(10)) * (option ? 1 : 100);
    e.trade.exg_sequence = ++b.sequence;
    e.trade.volume_type = TqTVT_INCRVOL;
    std::memset(e.trade.ext_conditions, kNoTradeCondition, 4);
    e.flags = engine::kEventHasExt;
    return engine::TapeExt{e.micros, e.micros - rng.below(500), e.micros + rng.below(500),
                           uint64_t{e.trade.size} * 1'000'000};
}

}  // namespace

engine::TapeTables synth_tables(const SynthOptions& o) {
    engine::TapeTables t;
    t.header.date_ndays = o.date_ndays;
    std::memcpy(t.header.permission_set, "AA", 2);
    t.header.time_zone = -5;
    t.header.display = "Synthetic day, seed " + std::to_string(o.seed);
    for (const char* name : kExchangeNames) t.defined[3].push_back(name);
    t.defined[2] = {"", "CTA", "OPRA"};
    t.defined[6] = {"", "Imbalance"};

    Random rng(o.seed);
    const auto text = [&t](const std::string& s) {
        t.texts.push_back(s);
        return static_cast<uint32_t>(t.texts.size() - 1);
    };
    for (const char* mm : kMarketMakers) text(mm);
    add_imbalance_category(o, t, text);

    TqDateRecord today{};
    today.NDays = o.date_ndays;
    engine::date_from_ndays(today);
    uint32_t atom = 1;
    for (uint32_t i = 0; i < o.symbols; ++i) {
        engine::SymbolEntry s;
        s.text = text(ticker(i));
        s.listed_exg = static_cast<uint16_t>(1 + i % 3);
        s.price_type = 2;
        s.atom = atom++;
        s.prev_close = static_cast<int32_t>(500 + rng.below(49'500));
        t.symbols.push_back(s);
        for (uint32_t k = 0; k < o.options_per_symbol; ++k) t.symbols.push_back(option_contract(s, i, k, today, rng, atom++));
    }
    return t;
}

void synth_events(const SynthOptions& o, const engine::TapeTables& t, engine::TapeWriter& writer,
                  const std::function<void(uint64_t written)>& progress) {
    Random rng(o.seed ^ 0x5EED5EEDull);
    std::vector<uint32_t> plain;
    std::vector<uint32_t> options;
    std::vector<Book> books = make_books(t, rng, plain, options);
    if (plain.empty()) return;
    const uint32_t mix_total = o.mix[0] + o.mix[1] + o.mix[2] + o.mix[3];

    // A live tape keeps to its rate: after each batch, the block ends and
    // the writer waits for the batch's time.
    const auto start = std::chrono::steady_clock::now();
    const uint64_t batch = o.rate > 0 ? std::max<uint64_t>(1, o.rate / 20) : 0;
    const auto pace = [&](uint64_t written) {
        if (progress && written % 65536 == 0) progress(written);
        if (batch == 0 || written % batch != 0) return;
        writer.end_block();
        std::this_thread::sleep_until(start + std::chrono::microseconds(written * 1'000'000 / o.rate));
    };
    // Each event a little after its place in the day, never past the next
    // one's (on days of hundreds of millions the places are closer than
    // 100 microseconds).
    const uint32_t jitter = static_cast<uint32_t>(std::min<uint64_t>(100, (kClose - kOpen) / std::max<uint64_t>(o.messages, 1)));
    for (uint64_t n = 0; n < o.messages; pace(++n)) {
        engine::TapeEvent e;
        std::memset(&e, 0, sizeof e);
        // 128 bits: the product passes 64 for days of billions of messages.
        e.micros = kOpen + static_cast<uint64_t>(static_cast<unsigned __int128>(kClose - kOpen) * n /
                                                 std::max<uint64_t>(o.messages, 1)) +
                   rng.below(jitter);
        const bool option = !options.empty() && rng.below(10) < 3;
        const uint32_t symbol = option ? options[rng.below(static_cast<uint32_t>(options.size()))]
                                       : plain[rng.below(static_cast<uint32_t>(plain.size()))];
        Book& b = books[symbol];
        e.symbol = symbol;
        e.session = 0;
        e.price_type = 2;
        e.permission_id = option ? kOptionPermission : kEquityPermission;
        e.market_maker = kNone;
        e.kind = pick_kind(o, mix_total, option, rng);

        // The price wanders a cent or two now and then.
        const uint32_t step = rng.below(8);
        if (step == 0 && b.mid > 2) b.mid -= 1;
        if (step == 1) b.mid += 1;
        const int32_t half_spread = 1 + static_cast<int32_t>(rng.below(3));

        if (e.kind == TqMSG_EXGQUOTE) {
            exchange_quote(b, option, half_spread, rng, e);
        } else if (e.kind == TqMSG_MMQUOTE) {
            market_maker_quote(b, half_spread, rng, e);
        } else if (e.kind == TqMSG_TRADE) {
            const engine::TapeExt ext = trade(b, option, rng, e);
            writer.add(e, &ext);
            continue;
        } else {  // an imbalance category
            e.reporting_exg = t.symbols[symbol].listed_exg;
            e.category.category = 0;
            e.category.first_value = 4 * rng.below(kImbalanceVariants);
        }
        writer.add(e);
    }
}

}  // namespace tarvik::tool
