// Symbol spins, state snapshots and the restart from them, listings,
// permission removal, the live tape and runs on several threads.
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "engine/engine_constants.h"
#include "engine_test_support.h"
#include "engine/listings.h"
#include "engine/state_snapshot.h"
#include "synth.h"
#include "engine/tape_writer.h"

namespace tarvik::engine {
namespace {

namespace fs = std::filesystem;

// A small synthetic day written to `path`: `symbols` symbols with chains
// of four option contracts.
void write_synth_day(const std::string& path, uint32_t symbols = 12, uint64_t messages = 6000, uint64_t seed = 1) {
    tool::SynthOptions o;
    o.symbols = symbols;
    o.options_per_symbol = 4;
    o.messages = messages;
    o.seed = seed;
    const TapeTables tables = tool::synth_tables(o);
    TapeWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open_file(path, tables, error)) << error;
    tool::synth_events(o, tables, writer);
    ASSERT_TRUE(writer.finish(error)) << error;
}

// A name for a symbol record that is the same in every run of a tape.
std::string symbol_key(const TarvikHeaderRecord& h) {
    if (h.ptqStringSymbol == nullptr) return "-";
    std::string key = string_text(h.ptqStringSymbol) + std::string("/") + std::to_string(h.ListedExg);
    if (const TqOptionHdrRecord* o = h.ptqOptionHdr)
        key += "/" + std::to_string(o->tqExpirationDate.NDays) + (o->PutCall ? "P" : "C") + std::to_string(o->strikePrice);
    return key;
}

// What a run shows: its market messages in order, and every symbol's
// state at the end of the day.
struct DayRecord {
    std::vector<std::string> messages;
    std::map<std::string, std::string> final_state;
    std::vector<int32_t> statuses;
};

std::string message_print(const TarvikMessageRecord& m) {
    std::string print = std::to_string(m.MessageType) + " " + symbol_key(m.coreHeader) + " " +
                        std::to_string(m.coreHeader.tqExgTimestamp.MsOfDay);
    const TarvikMessageBody& b = m.coreData;
    char text[160];
    if (m.MessageType == TqMSG_EXGQUOTE) {
        const TarvikExgQuoteBody& q = b.ExgQuote;
        std::snprintf(text, sizeof text, " %d %d %d %d %d %d %d", q.coreQuote.BidPrice, q.coreQuote.AskPrice,
                      q.BestBidPrice, q.BestAskPrice, q.BestBidSize, q.BestAskSize, q.BBOChangeFlags);
        print += text;
    } else if (m.MessageType == TqMSG_TRADE) {
        const TarvikTradeBody& t = b.Trade;
        std::snprintf(text, sizeof text, " %d %u %llu %d %d %d %d %d", t.Price, t.Size,
                      static_cast<unsigned long long>(t.TotalVolume), t.Open, t.High, t.Low, t.Last,
                      t.tqAnalysis.QteMatchTypeBBO);
        print += text;
    } else if (m.MessageType == TqMSG_MMQUOTE) {
        std::snprintf(text, sizeof text, " %d %d %d", b.MMQuote.coreQuote.BidPrice, b.MMQuote.coreQuote.AskPrice,
                      b.MMQuote.coreQuote.BidPriceChange);
        print += text;
    }
    return print;
}

// The end-of-day state of every symbol the run has seen.
void record_final_state(const std::map<std::string, TqStringRecord*>& records, DayRecord& day) {
    Run* run = Run::current();
    for (const auto& [key, record] : records) {
        TarvikStateExgQuotesRecord quotes{};
        TarvikStateTradeRecord trade{};
        TarvikStateMMQuotesRecord* mm = new TarvikStateMMQuotesRecord{};
        std::string state = std::to_string(run->get_exg_quotes(&quotes, record)) + "|" +
                            std::to_string(run->get_last_trade(&trade, record)) + "|" +
                            std::to_string(run->get_mm_quotes(0xFFFF, mm, record));
        state.append(reinterpret_cast<const char*>(&quotes), sizeof quotes);
        state.append(reinterpret_cast<const char*>(&trade), sizeof trade);
        state.append(reinterpret_cast<const char*>(&mm->StateQuoteCount), sizeof mm->StateQuoteCount);
        delete mm;
        day.final_state[key] = state;
    }
}

// The record the state queries take for a header: an option's
// date-and-strike record, else the symbol's.
TqStringRecord* query_record(const TarvikHeaderRecord& h) {
    return h.ptqOptionHdr != nullptr ? h.ptqOptionHdr->ptqsDateAndStrike : h.ptqStringSymbol;
}

// Replays `path`; the save is requested at market message `save_at`.
DayRecord record_day(const std::string& path, int64_t save_at = -1, const std::string& snapshot = "",
                     int32_t save_flags = TqSAVESTATE_ONEPASS) {
    DayRecord day;
    std::map<std::string, TqStringRecord*> records;
    int64_t seen = 0;
    thread_local std::map<std::string, TqStringRecord*>* t_records = nullptr;
    t_records = &records;
    test::replay(path, [&](TarvikSystemRecord& s, TarvikMessageRecord& m) {
        if (m.MessageType == TqMSG_STATUS) {
            day.statuses.push_back(s.Status);
            if (s.Status == TARVIKSTATUS_SAVING_STATE) day.statuses.push_back(s.StatusData);
            if (s.Status == TARVIKSTATUS_LOADED_STATE) {
                // As a client does: the spins file every symbol.
                const auto file = [](TarvikSystemRecord*, TarvikMessageRecord* spun) {
                    (*t_records)[symbol_key(spun->coreHeader)] = query_record(spun->coreHeader);
                    return 0;
                };
                EXPECT_EQ(Run::current()->spin_symbols(0xFFFF, TqSPIN_NON_OPTIONS, 0, file, 0), 0);
                EXPECT_EQ(Run::current()->spin_symbols(0xFFFF, TqSPIN_OPTIONS, 0, file, 0), 0);
            }
            if (s.Status == TARVIKSTATUS_COMPLETE) record_final_state(records, day);
            return 0;
        }
        if (m.MessageType == TqMSG_SYMBOLCHANGE) {
            records[symbol_key(m.coreHeader)] = query_record(m.coreHeader);
            return 0;
        }
        day.messages.push_back(message_print(m));
        if (seen++ == save_at) {
            EXPECT_EQ(Run::current()->request_save(snapshot.c_str(), save_flags), 0);
        }
        return 0;
    });
    return day;
}

// ---------------------------------------------------------------------------
// Spins
// ---------------------------------------------------------------------------

struct SpinRun {
    int32_t result = 0;
    std::vector<TarvikMessageRecord> messages;
    std::vector<int32_t> user_data;
    std::vector<std::string> symbols;  // the records themselves die with the run
};

thread_local SpinRun* t_spin = nullptr;
thread_local int32_t t_spin_stop_after = -1;

int32_t collect_spin(TarvikSystemRecord* s, TarvikMessageRecord* m) {
    t_spin->messages.push_back(*m);
    t_spin->user_data.push_back(s->UserData);
    const TqStringRecord* symbol = m->coreHeader.ptqStringSymbol;
    t_spin->symbols.push_back(symbol != nullptr ? string_text(symbol) : "");
    return static_cast<int32_t>(t_spin->messages.size()) == t_spin_stop_after ? TqCALLBACKRETURN_STOP : 0;
}

// Spins once, from the RUNNING status of a synthetic day.
SpinRun spin_in_run(const std::string& path, uint16_t exchange, int32_t flags, int32_t stop_after = -1) {
    SpinRun spin;
    t_spin = &spin;
    t_spin_stop_after = stop_after;
    bool done = false;
    test::replay(path, [&](TarvikSystemRecord& s, TarvikMessageRecord& m) {
        if (!done && m.MessageType == TqMSG_STATUS && s.Status == TARVIKSTATUS_RUNNING) {
            done = true;
            spin.result = Run::current()->spin_symbols(exchange, flags, 77, collect_spin, 4242);
            EXPECT_EQ(m.MessageType, TqMSG_STATUS) << "the message being delivered stays as it was";
        }
        return 0;
    });
    return spin;
}

class Services : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tape_ = new test::TempFile;
        write_synth_day(tape_->path());
    }
    static void TearDownTestSuite() { delete tape_; }
    static const std::string& tape() { return tape_->path(); }

private:
    static test::TempFile* tape_;
};
test::TempFile* Services::tape_ = nullptr;

TEST_F(Services, SpinOfPlainSymbolsCountsAndOrder) {
    // Synthetic symbols sit on listed exchanges 1 to 3, in turn.
    const SpinRun all = spin_in_run(tape(), TqSPIN_ALL_EXGS, TqSPIN_NON_OPTIONS);
    ASSERT_EQ(all.result, 0);
    ASSERT_EQ(all.messages.size(), 12u);
    for (uint32_t i = 0; i < all.messages.size(); ++i) {
        const TarvikMessageRecord& m = all.messages[i];
        EXPECT_EQ(m.MessageType, TqMSG_SYMBOLSPIN);
        EXPECT_EQ(m.coreData.SymbolSpin.SpinID, 77u);
        EXPECT_EQ(m.coreData.SymbolSpin.IterLimit, 12u);
        EXPECT_EQ(m.coreData.SymbolSpin.IterCount, i + 1);
        EXPECT_EQ(m.coreData.SymbolSpin.SubIterLimit, 0u);
        EXPECT_EQ(m.coreHeader.ptqOptionHdr, nullptr);
        EXPECT_EQ(m.coreHeader.ListedExg, 1 + i % 3);
        EXPECT_EQ(all.user_data[i], 4242);
    }
    const SpinRun one = spin_in_run(tape(), 2, TqSPIN_NON_OPTIONS);
    ASSERT_EQ(one.messages.size(), 4u);
    EXPECT_EQ(one.symbols[0], all.symbols[1]);
    EXPECT_EQ(one.messages[0].coreHeader.ListedExg, 2);
}

TEST_F(Services, SpinOfOptionsGoesSeriesBySeries) {
    const SpinRun spin = spin_in_run(tape(), TqSPIN_ALL_EXGS, TqSPIN_OPTIONS);
    ASSERT_EQ(spin.result, 0);
    ASSERT_EQ(spin.messages.size(), 12u * 4);
    for (uint32_t i = 0; i < spin.messages.size(); ++i) {
        const TarvikSymbolSpinBody& b = spin.messages[i].coreData.SymbolSpin;
        EXPECT_NE(spin.messages[i].coreHeader.ptqOptionHdr, nullptr);
        EXPECT_EQ(b.IterLimit, 12u);
        EXPECT_EQ(b.IterCount, i / 4 + 1);
        EXPECT_EQ(b.SubIterLimit, 4u);
        EXPECT_EQ(b.SubIterCount, i % 4 + 1);
        if (i % 4 != 0) {
            EXPECT_EQ(spin.messages[i].coreHeader.ptqStringSymbol, spin.messages[i - 1].coreHeader.ptqStringSymbol);
        }
    }
}

TEST_F(Services, SpinCodesAndStop) {
    EXPECT_EQ(spin_in_run(tape(), 99, TqSPIN_NON_OPTIONS).result, TqAPIERR_NOLISTED_EXG);
    EXPECT_EQ(spin_in_run(tape(), 1, TqSPIN_OPTIONS).result, TqAPIERR_NOSYMBOLS_FOR_LSTEXG);
    EXPECT_EQ(spin_in_run(tape(), 1, 5).result, TqAPIERR_BAD_PARAMETERS);
    const SpinRun stopped = spin_in_run(tape(), TqSPIN_ALL_EXGS, TqSPIN_NON_OPTIONS, 3);
    EXPECT_EQ(stopped.result, TqAPIERR_USER_STOPPED);
    EXPECT_EQ(stopped.messages.size(), 3u);
    EXPECT_EQ(Run::current(), nullptr);  // outside a run the export answers -1
}

// ---------------------------------------------------------------------------
// Snapshots
// ---------------------------------------------------------------------------

struct SnapshotPoint {
    int64_t message;
    int32_t flags;
};

class Snapshots : public Services, public ::testing::WithParamInterface<SnapshotPoint> {};

// The state at the end of the day and the messages after the saved point
// are those of the uninterrupted day, wherever the snapshot was taken.
TEST_P(Snapshots, RestoringGivesTheRestOfTheSameDay) {
    const SnapshotPoint point = GetParam();
    const DayRecord whole = record_day(tape());
    ASSERT_GT(whole.messages.size(), 5000u);
    test::TempFile snapshot(".state");
    const DayRecord saving = record_day(tape(), point.message, snapshot.path(), point.flags);
    EXPECT_EQ(saving.messages, whole.messages) << "saving changes nothing the client sees";
    EXPECT_EQ(saving.final_state, whole.final_state);
    ASSERT_TRUE(fs::exists(snapshot.path()));

    const DayRecord restored = record_day(snapshot.path());
    ASSERT_GE(restored.statuses.size(), 2u);
    EXPECT_EQ(restored.statuses[0], TARVIKSTATUS_INITIALIZING);
    EXPECT_EQ(restored.statuses[1], TARVIKSTATUS_LOADED_STATE);
    const std::vector<std::string> rest(whole.messages.begin() + point.message + 1, whole.messages.end());
    EXPECT_EQ(restored.messages, rest);
    EXPECT_EQ(restored.final_state, whole.final_state);
}

INSTANTIATE_TEST_SUITE_P(Points, Snapshots,
                         ::testing::Values(SnapshotPoint{0, TqSAVESTATE_ONEPASS}, SnapshotPoint{1234, TqSAVESTATE_ONEPASS},
                                           SnapshotPoint{4095, TqSAVESTATE_GRADUALLY},
                                           SnapshotPoint{5000, TqSAVESTATE_GRADUALLY}));

TEST_F(Services, SaveReportsItsPhasesAndRefusesASecondRequest) {
    test::TempFile snapshot(".state");
    std::vector<int32_t> phases;
    int32_t second = 0;
    int32_t message = 0;
    test::replay(tape(), [&](TarvikSystemRecord& s, TarvikMessageRecord& m) {
        if (m.MessageType == TqMSG_STATUS && s.Status == TARVIKSTATUS_SAVING_STATE) phases.push_back(s.StatusData);
        if (m.MessageType == TqMSG_EXGQUOTE && ++message == 10) {
            EXPECT_EQ(Run::current()->request_save(snapshot.path().c_str(), TqSAVESTATE_GRADUALLY), 0);
            second = Run::current()->request_save(snapshot.path().c_str(), TqSAVESTATE_ONEPASS);
        }
        return 0;
    });
    EXPECT_EQ(second, TqAPIERR_SAVE_STATE_IN_PROGRESS);
    EXPECT_EQ(phases, (std::vector<int32_t>{TqCSSAVESTATE_CAPTURE, TqCSSAVESTATE_COMPLETE}));
}

TEST_F(Services, CancelAtCaptureTimeWritesNothing) {
    test::TempFile snapshot(".state");
    std::vector<int32_t> phases;
    bool asked = false;
    test::replay(tape(), [&](TarvikSystemRecord& s, TarvikMessageRecord& m) {
        if (m.MessageType == TqMSG_STATUS && s.Status == TARVIKSTATUS_SAVING_STATE) {
            phases.push_back(s.StatusData);
            EXPECT_EQ(Run::current()->request_save(nullptr, TqSAVESTATE_CANCEL), 0);
        }
        if (!asked && m.MessageType == TqMSG_TRADE) {
            asked = true;
            Run::current()->request_save(snapshot.path().c_str(), TqSAVESTATE_ONEPASS);
        }
        return 0;
    });
    EXPECT_EQ(phases, std::vector<int32_t>{TqCSSAVESTATE_CAPTURE});
    EXPECT_FALSE(fs::exists(snapshot.path()));
}

// Runs the day asking for a save to `path` at the first trade; the phases
// reported.
std::vector<int32_t> save_phases(const std::string& tape, const std::string& path) {
    std::vector<int32_t> phases;
    bool asked = false;
    const int32_t result = test::replay(tape, [&](TarvikSystemRecord& s, TarvikMessageRecord& m) {
        if (m.MessageType == TqMSG_STATUS && s.Status == TARVIKSTATUS_SAVING_STATE) phases.push_back(s.StatusData);
        if (!asked && m.MessageType == TqMSG_TRADE) {
            asked = true;
            EXPECT_EQ(Run::current()->request_save(path.c_str(), TqSAVESTATE_ONEPASS), 0);
        }
        return 0;
    });
    EXPECT_EQ(result, 0);
    return phases;
}

TEST_F(Services, FailedSavesReportAnErrorAndLeaveNoFile) {
    const std::vector<int32_t> cannot_create{TqCSSAVESTATE_CAPTURE, TqCSSAVESTATE_ERR_CREATEFILE};
    EXPECT_EQ(save_phases(tape(), "/nonexistent-dir/x.state"), cannot_create);
    // A pipe or a directory under the name is never replaced.
    const fs::path dir = fs::temp_directory_path() / ("tarvik-save-" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub");
    const fs::path fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(save_phases(tape(), fifo.string()), cannot_create);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(save_phases(tape(), (dir / "sub").string()), cannot_create);
    fs::remove(fifo);
    fs::remove(dir / "sub");

    // A full disk, as a file size limit gives it: the write fails part way.
    const fs::path state = dir / "day.state";
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::vector<int32_t> phases = save_phases(tape(), state.string());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(phases, (std::vector<int32_t>{TqCSSAVESTATE_CAPTURE, TqCSSAVESTATE_ERR_DISKSPACE}));
    EXPECT_TRUE(fs::is_empty(dir)) << "no state file and no temporary file are left";
    fs::remove_all(dir);
}

TEST_F(Services, SnapshotOfAMissingOrChangedTapeIsRefused) {
    test::TempFile copy;
    fs::copy_file(tape(), copy.path());
    test::TempFile snapshot(".state");
    record_day(copy.path(), 100, snapshot.path());
    ASSERT_TRUE(fs::exists(snapshot.path()));

    write_synth_day(copy.path(), 12, 6000, 2);  // another day under the same name
    EXPECT_EQ(test::replay(snapshot.path(), [](auto&, auto&) { return 0; }), TqAPIERR_INITIALIZE_MEMORY_FAILED);
    fs::remove(copy.path());
    EXPECT_EQ(test::replay(snapshot.path(), [](auto&, auto&) { return 0; }), TqAPIERR_OPEN_TAPE_FILE_FAILED);

    std::fstream damaged(snapshot.path(), std::ios::in | std::ios::out | std::ios::binary);
    damaged.seekp(100);
    damaged.put('\x5a');
    damaged.close();
    EXPECT_EQ(test::replay(snapshot.path(), [](auto&, auto&) { return 0; }), TqAPIERR_NOT_SUPPORTED);
}

// A snapshot whose CRC holds can still have been made by hand: its states
// must point only at market-maker books and quote slots it carries.
TEST(SnapshotDecoding, StatesPointingPastTheirBooksAreRefused) {
    const auto decode = [](const StateSnapshot& snapshot) {
        const std::vector<unsigned char> image = encode_snapshot(snapshot);
        StateSnapshot decoded;
        return decode_snapshot(image.data(), image.size(), decoded);
    };
    StateSnapshot snapshot;
    snapshot.clock_set = true;  // as every run's snapshot has it
    snapshot.states.resize(2);
    snapshot.mm_books.resize(1);
    snapshot.states[1].mm_book = 0;
    snapshot.scratch.mm_book = 0;
    EXPECT_EQ(decode(snapshot), 0);

    StateSnapshot past_a_book = snapshot;
    past_a_book.states[1].mm_book = 1;
    StateSnapshot scratch_past_a_book = snapshot;
    scratch_past_a_book.scratch.mm_book = 1;
    StateSnapshot scratch_past_its_quotes = snapshot;
    scratch_past_its_quotes.scratch.quotes.count = kMaxExchangeQuotes + 1;
    for (const StateSnapshot* damaged : {&past_a_book, &scratch_past_a_book, &scratch_past_its_quotes})
        EXPECT_EQ(decode(*damaged), TqAPIERR_NOT_SUPPORTED);
}

// A state no run can have, in a snapshot whose CRC holds: refused before
// any callback. (A negative best offer made the NBBO update overflow.)
TEST_F(Services, SnapshotWithAStateNoRunCanHaveIsRefused) {
    test::TempFile saved(".state");
    record_day(tape(), 3000, saved.path());
    std::ifstream in(saved.path(), std::ios::binary);
    const std::vector<unsigned char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    StateSnapshot original;
    ASSERT_EQ(decode_snapshot(image.data(), image.size(), original), 0);
    ASSERT_FALSE(original.mm_books.empty() || original.mm_books[0].slots.empty());

    const std::vector<std::function<void(StateSnapshot&)>> changes = {
        [](StateSnapshot& s) { s.states[0].quotes.nbbo.ask = -1694498665; },
        [](StateSnapshot& s) { s.scratch.quotes.nbbo.bid = -1; },
        [](StateSnapshot& s) { std::memset(&s.states[1].trade.has_last, 2, 1); },
        [](StateSnapshot& s) { s.mm_books[0].slots[0].market_maker = 1'000'000; },
        [](StateSnapshot& s) { s.session_states.emplace_back(uint64_t{999'999} << 8 | 1, 0); },
        [](StateSnapshot& s) { s.section_ordinal += 1; },
        [](StateSnapshot& s) { s.position += 52; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        StateSnapshot changed = original;
        changes[i](changed);
        const std::vector<unsigned char> bytes = encode_snapshot(changed);
        test::TempFile crafted(".state");
        std::ofstream(crafted.path(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                              static_cast<std::streamsize>(bytes.size()));
        int calls = 0;
        EXPECT_EQ(test::replay(crafted.path(), [&](auto&, auto&) { return ++calls, 0; }), TqAPIERR_NOT_SUPPORTED)
            << "change " << i;
        EXPECT_EQ(calls, 0) << "change " << i;
    }
}

// ---------------------------------------------------------------------------
// Permissions
// ---------------------------------------------------------------------------

int64_t count_with(const std::string& path, const std::vector<int32_t>& keys, uint16_t permission,
                   int64_t* options = nullptr) {
    int64_t count = 0;
    test::MessageHandler handler = [&](TarvikSystemRecord&, TarvikMessageRecord& m) {
        if (m.MessageType != TqMSG_STATUS && m.MessageType != TqMSG_SYMBOLCHANGE) {
            count += m.coreHeader.PermissionID == permission;
            if (options != nullptr) *options += m.coreHeader.ptqOptionHdr != nullptr;
        }
        return 0;
    };
    test::t_handler = &handler;
    Run run(0, 0, test::trampoline);
    for (int32_t key : keys) EXPECT_EQ(run.exclude(key), 0);
    EXPECT_EQ(run.process_file(path.c_str()), 0);
    test::t_handler = nullptr;
    return count;
}

TEST_F(Services, RemovedPermissionsAreNotDelivered) {
    // Synthetic days give equities one permission id and options another.
    std::map<uint16_t, int64_t> by_permission;
    test::replay(tape(), [&](TarvikSystemRecord&, TarvikMessageRecord& m) {
        if (m.MessageType != TqMSG_STATUS && m.MessageType != TqMSG_SYMBOLCHANGE) ++by_permission[m.coreHeader.PermissionID];
        return 0;
    });
    ASSERT_EQ(by_permission.size(), 2u);
    const uint16_t first = by_permission.begin()->first;
    const uint16_t second = std::next(by_permission.begin())->first;
    EXPECT_EQ(count_with(tape(), {TqPERMID_REMOVE | first}, first), 0);
    EXPECT_EQ(count_with(tape(), {TqPERMID_REMOVE | first}, second), by_permission[second]);
    EXPECT_EQ(count_with(tape(), {}, first), by_permission[first]);
    EXPECT_EQ(Run::check_exclusion_key(TqPERMID_REMOVE | 0x10000), TqAPIERR_BAD_PARAMETERS);
    EXPECT_EQ(Run::check_exclusion_key(-5), TqAPIERR_BAD_PARAMETERS);
}

TEST_F(Services, AnExcludedOpraExchangeLosesItsOptionMessagesOnly) {
    const auto count = [this](const std::vector<int32_t>& keys, int64_t& options) {
        int64_t total = 0;
        for (uint16_t p = 0; p < 10; ++p) total += count_with(tape(), keys, p, p == 0 ? &options : nullptr);
        return total;
    };
    // Options are counted on the first pass only; synthetic days use
    // permission ids below 10.
    int64_t options_before = 0;
    int64_t options_after = 0;
    const int64_t total_before = count({}, options_before);
    std::vector<int32_t> all_exchanges;
    for (int32_t exg = 0; exg < 64; ++exg) all_exchanges.push_back(exg);
    const int64_t total_after = count(all_exchanges, options_after);
    EXPECT_GT(options_before, 0);
    EXPECT_EQ(options_after, 0);
    EXPECT_EQ(total_before - total_after, options_before);
}

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------

thread_local std::vector<TarvikTapeFileRecord>* t_tapes = nullptr;
thread_local std::vector<TarvikAPIDLLFileRecord>* t_libraries = nullptr;

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

TEST_F(Services, ListingsFindTapesAndEnginesAmongForeignFiles) {
    const fs::path root = fs::temp_directory_path() / ("tarvik-listing-" + std::to_string(::getpid()));
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    fs::create_directories(root / "locked");
    fs::copy_file(tape(), root / "a" / "day.bin");
    fs::copy_file(tape(), root / "b" / "other.tape");
    std::ofstream(root / "a" / "notes.tape") << "not a tape at all";
    std::ofstream(root / "b" / "short") << "TARVIK";
    fs::copy_file(tape(), root / "locked" / "hidden.tape");
    fs::permissions(root / "locked", fs::perms::none);
    fs::copy_file(TARVIK_TEST_ENGINE_PATH, root / "b" / "libtarvik-copy.so");

    std::vector<TarvikTapeFileRecord> tapes;
    t_tapes = &tapes;
    {
        ScopedEnv env("TARVIK_TAPE_PATH", (root / "a").string() + ":" + (root / "locked").string() + "::" +
                                              (root / "b").string() + ":" + (root / "missing").string());
        EXPECT_EQ(list_tapes(0, [](void*, const void* r) {
                      t_tapes->push_back(*static_cast<const TarvikTapeFileRecord*>(r));
                      return 0;
                  }),
                  0);
    }
    const bool root_user = ::geteuid() == 0;  // root reads the locked directory too
    ASSERT_EQ(tapes.size(), root_user ? 3u : 2u);
    EXPECT_EQ(fs::path(tapes[0].PathnameStrZ), fs::canonical(root / "a" / "day.bin"));
    EXPECT_EQ(tapes[0].FileSize, fs::file_size(tape()));
    EXPECT_EQ(tapes[0].TapeDate.NDays, 51'207u);
    EXPECT_EQ(tapes[0].TapeDate.Year, 2023);
    EXPECT_EQ(fs::path(tapes.back().PathnameStrZ).filename(), "other.tape");

    std::vector<TarvikAPIDLLFileRecord> libraries;
    t_libraries = &libraries;
    const auto collect = [](void*, const void* r) {
        t_libraries->push_back(*static_cast<const TarvikAPIDLLFileRecord*>(r));
        return 0;
    };
    {
        ScopedEnv env("TARVIK_LIBRARY_PATH", (root / "a").string() + ":" + (root / "b").string());
        EXPECT_EQ(list_engine_libraries(0, collect, "/nonexistent"), 0);
    }
    ASSERT_EQ(libraries.size(), 1u);
    EXPECT_EQ(fs::path(libraries[0].PathnameStrZ).filename(), "libtarvik-copy.so");
    EXPECT_EQ(libraries[0].verMajor, TARVIK_ENGINE_VERSION_MAJOR);
    EXPECT_EQ(libraries[0].verMinor, TARVIK_ENGINE_VERSION_MINOR);
    EXPECT_EQ(libraries[0].verBuild, TARVIK_ENGINE_VERSION_BUILD);
    EXPECT_GE(libraries[0].BuildDate.Year, 2024);
    EXPECT_NE(libraries[0].BuildDate.NDays, 0u);
    EXPECT_EQ(list_engine_libraries(0, nullptr, "."), TqAPIERR_BAD_PARAMETERS);

    fs::permissions(root / "locked", fs::perms::owner_all);
    fs::remove_all(root);
}

TEST(SearchPath, SplitsOnColonsAndFallsBack) {
    EXPECT_EQ(search_directories("a::b:", "."), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(search_directories(nullptr, "/x"), std::vector<std::string>{"/x"});
    EXPECT_EQ(search_directories("", "/x"), std::vector<std::string>{"/x"});
}

// ---------------------------------------------------------------------------
// The live tape and threads
// ---------------------------------------------------------------------------

class LiveTapeFollowed : public Services, public ::testing::WithParamInterface<TapeEncoding> {};

TEST_P(LiveTapeFollowed, WhileItIsWritten) {
    test::TempFile live;
    tool::SynthOptions o;
    o.symbols = 5;
    o.options_per_symbol = 0;
    o.messages = 3000;
    const TapeTables tables = tool::synth_tables(o);
    TapeWriter writer(GetParam());
    std::string error;
    ASSERT_TRUE(writer.open_live(live.path(), tables, error)) << error;

    // The same day written whole, for the expected messages.
    test::TempFile whole;
    {
        TapeWriter w;
        ASSERT_TRUE(w.open_file(whole.path(), tables, error));
        tool::synth_events(o, tables, w);
        ASSERT_TRUE(w.finish(error));
    }
    const DayRecord expected = record_day(whole.path());

    std::atomic<bool> reading{false};
    std::thread writer_thread([&] {
        while (!reading) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        o.rate = 100'000;  // 30 ms of day, in blocks of 5000 a second
        tool::synth_events(o, tables, writer);
        EXPECT_TRUE(writer.finish(error)) << error;
    });
    ScopedEnv env("TARVIK_REALTIME_TAPE", live.path());
    std::vector<std::string> messages;
    int32_t name_length = -1;
    const int32_t result = test::replay("", [&](TarvikSystemRecord& s, TarvikMessageRecord& m) {
        reading = true;
        if (m.MessageType == TqMSG_STATUS && s.Status == TARVIKSTATUS_RUNNING) {
            char name[260];
            name_length = Run::current()->tape_name(name, sizeof name);
        }
        if (m.MessageType != TqMSG_STATUS && m.MessageType != TqMSG_SYMBOLCHANGE) messages.push_back(message_print(m));
        return 0;
    });
    writer_thread.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(name_length, 0);
    EXPECT_EQ(messages, expected.messages);
}

INSTANTIATE_TEST_SUITE_P(Encodings, LiveTapeFollowed, ::testing::Values(TapeEncoding::Plain, TapeEncoding::Packed),
                         [](const auto& test_info) { return test_info.param == TapeEncoding::Plain ? "Plain" : "Packed"; });

TEST(LiveStream, IdleLimitIsParsedWithBounds) {
    using std::chrono::milliseconds;
    const milliseconds fallback{60'000};
    const struct {
        const char* text;
        bool valid;
        milliseconds limit;
    } cases[] = {
        {nullptr, true, fallback},          {"", true, fallback},
        {"0", true, fallback},              {"250", true, milliseconds{250}},
        {"9300000000000", true, kMaxLiveIdle}, {"184467440737095516170000", true, kMaxLiveIdle},
        {"-5", false, fallback},            {"1.5", false, fallback},
        {" 10", false, fallback},           {"0x10", false, fallback},
    };
    for (const auto& c : cases) {
        milliseconds limit{};
        EXPECT_EQ(parse_idle_limit(c.text, fallback, limit), c.valid) << (c.text ? c.text : "unset");
        if (c.valid) {
            EXPECT_EQ(limit, c.limit) << (c.text ? c.text : "unset");
        }
    }
}

TEST(LiveStream, WithoutTheVariableNothingIsDelivered) {
    ::unsetenv("TARVIK_REALTIME_TAPE");
    int calls = 0;
    EXPECT_EQ(test::replay("", [&](auto&, auto&) { return ++calls, 0; }), TqAPIERR_OPEN_TAPE_FILE_FAILED);
    EXPECT_EQ(calls, 0);
}

TEST_F(Services, FourThreadsEachReplayTheirOwnTape) {
    std::vector<std::unique_ptr<test::TempFile>> tapes;
    std::vector<DayRecord> alone;
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        tapes.push_back(std::make_unique<test::TempFile>());
        write_synth_day(tapes.back()->path(), 10 + static_cast<uint32_t>(seed), 20000, seed);
        alone.push_back(record_day(tapes.back()->path()));
    }
    std::vector<DayRecord> together(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] { together[i] = record_day(tapes[i]->path(), 7000, tapes[i]->path() + ".state"); });
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(together[i].messages, alone[i].messages) << "thread " << i;
        EXPECT_EQ(together[i].final_state, alone[i].final_state) << "thread " << i;
        std::remove((tapes[i]->path() + ".state").c_str());
    }
}

}  // namespace
}  // namespace tarvik::engine
