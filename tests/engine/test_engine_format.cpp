// The tape format: round trips through the tool's script, and every kind of
// bad input giving its result code without a bad callback.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <tuple>

#include "engine/engine_constants.h"
#include "engine/crc32.h"
#include "engine_test_support.h"
#include "synth.h"
#include "engine/tape_reader.h"
#include "engine/tape_writer.h"

namespace tarvik::engine {
namespace {

const std::string kEvents = R"(
{"option": {"id": "IBMC", "root": "IBM", "listed_exg": 10, "price_type": 2, "atom": 70000, "underlying": "IBM", "series_chain": "IBM", "special_settle": {"hex": "ff00fe"}, "date_and_strike": "DA", "strike": 150000, "put_call": 0, "expiration": "2024-04-19", "expiration_cycle": 1, "strike_match": 15}}
{"category": {"id": 9, "name": "Dividend", "fields": [{"name": "Amount", "info": "per share", "type": "price"}, {"name": "Pay", "type": "date"}, {"name": "Note", "type": "stringz"}, {"name": "Code", "type": "tqstring"}, {"name": "Ref", "type": "string_idx"}, {"name": "At", "type": "time"}, {"name": "Big", "type": "64bit"}, {"name": "Ratio", "type": "double"}, {"name": "Odd", "type": 77}]}}
{"event": {"kind": "exgquote", "time": "09:30:00.000001", "symbol": "IBM", "reporting_exg": 1, "bid": 9990, "bid_size": 100, "ask": 10010, "ask_size": 200, "quote_condition": 3, "closing_quote": 1}}
{"event": {"kind": "mmquote", "time": "09:30:00.5", "symbol": "IBM", "reporting_exg": 3, "market_maker": null, "bid": 1, "ask": 2}}
{"event": {"kind": "trade", "time": "09:31:00", "symbol": "IBMC", "reporting_exg": 7, "price": 250, "size": 3, "ext_conditions": [1], "price_flags": 16, "ext": {"src": 1, "ptp1": 2, "ptp2": 3, "fractional_size": 4}}}
{"event": {"kind": "category", "time": "09:32:00", "symbol": "IBM", "category": 9, "values": [{"price": 55, "price_type": 2}, "2024-05-01", "text", "CODE", {"table": 3, "index": 1}, "09:00:00.123", 12345678901, 0.25, 5]}}
{"event": {"kind": "category", "time": "09:32:00", "symbol": "IBM", "category": 9, "values": [null, null, {"hex": "c328"}]}}
{"event": {"kind": "symbolchange", "time": "09:33:00", "symbol": "IBM", "status": "mod", "old_symbol": "IBMC", "old_listed_exg": 4}}
{"event": {"kind": 9, "time": "09:34:00", "symbol": null, "permission_id": 12}}
{"event": {"kind": "status", "time": "09:35:00", "symbol": null, "status": 3, "status_data": -7}}
)";

std::vector<unsigned char> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(TapeFormat, CompileDumpCompileGivesTheSameBytes) {
    test::TempFile first, second;
    const tool::TapeContents tape = test::compile(test::day(kEvents));
    test::write(tape, first.path());
    std::ostringstream script;
    tool::dump_script(tool::read_tape_contents(first.path()), script);
    test::write(test::compile(script.str()), second.path());
    EXPECT_EQ(read_file(first.path()), read_file(second.path()));
    EXPECT_NE(script.str().find(R"({"hex":"ff00fe"})"), std::string::npos);
}

TEST(TapeFormat, SynthesisedDayRoundTripsThroughTheReader) {
    tool::SynthOptions o;
    o.symbols = 5;
    o.messages = 20'000;
    const TapeTables tables = tool::synth_tables(o);
    TapeWriter writer;
    writer.open_memory(tables);
    tool::synth_events(o, tables, writer);
    std::string error;
    ASSERT_TRUE(writer.finish(error));
    std::vector<uint64_t> aligned((writer.memory().size() + 7) / 8);
    std::memcpy(aligned.data(), writer.memory().data(), writer.memory().size());
    TapeTables read;
    TapeReader reader;
    ASSERT_EQ(reader.open(reinterpret_cast<const unsigned char*>(aligned.data()), writer.memory().size(), true, read), 0);
    EXPECT_EQ(read.symbols.size(), tables.symbols.size());
    EXPECT_EQ(read.header.display, tables.header.display);
    uint64_t events = 0;
    EventBlock block;
    int32_t got;
    while ((got = reader.next_block(block)) == 1) events += block.count;
    EXPECT_EQ(got, 0);
    EXPECT_EQ(events, o.messages);
}

TEST(TapeFormat, HeaderAloneIsReadCheaply) {
    test::TempFile file;
    test::write(test::compile(test::day("")), file.path());
    TapeHeader header;
    ASSERT_EQ(read_tape_header(file.path().c_str(), header), 0);
    EXPECT_EQ(header.display, "Test day");
    EXPECT_STREQ(header.permission_set, "AA");
}

// A damaged copy of a good tape, and the result it must give.
struct BadTape {
    const char* name;
    void (*damage)(std::vector<unsigned char>&);
    int32_t result;
    int32_t result_without_crc;
};

std::size_t first_block(const std::vector<unsigned char>& bytes) {
    std::size_t pos = sizeof(TapePreamble);
    for (;;) {
        SectionHead head;
        std::memcpy(&head, bytes.data() + pos, sizeof head);
        if (head.kind == static_cast<uint32_t>(SectionKind::Events)) return pos;
        pos += sizeof head + (head.length + 7) / 8 * 8;
    }
}

const BadTape kBadTapes[] = {
    {"ForeignFile", [](std::vector<unsigned char>& b) { b[0] = 'X'; }, TqAPIERR_OPEN_TAPE_FILE_FAILED,
     TqAPIERR_OPEN_TAPE_FILE_FAILED},
    {"TooShort", [](std::vector<unsigned char>& b) { b.resize(10); }, TqAPIERR_OPEN_TAPE_FILE_FAILED,
     TqAPIERR_OPEN_TAPE_FILE_FAILED},
    {"NewerFormat", [](std::vector<unsigned char>& b) { b[8] = 9; }, TqAPIERR_UNSUPPORTED_API, TqAPIERR_UNSUPPORTED_API},
    {"HeaderCrc", [](std::vector<unsigned char>& b) { b[sizeof(TapePreamble) + sizeof(SectionHead)] ^= 1; },
     TqAPIERR_NOT_SUPPORTED, 0},
    {"HeaderCut", [](std::vector<unsigned char>& b) { b.resize(sizeof(TapePreamble) + 20); }, TqAPIERR_NOT_SUPPORTED,
     TqAPIERR_NOT_SUPPORTED},
    {"BlockCrc", [](std::vector<unsigned char>& b) { b[first_block(b) + sizeof(SectionHead) + 16 + 30] ^= 0x10; },
     TqAPIERR_EXCEPTION, 0},
    {"BlockCut", [](std::vector<unsigned char>& b) { b.resize(first_block(b) + 100); }, TqAPIERR_EXCEPTION,
     TqAPIERR_EXCEPTION},
    {"NoEnd", [](std::vector<unsigned char>& b) { b.resize(b.size() - sizeof(SectionHead)); }, TqAPIERR_EXCEPTION,
     TqAPIERR_EXCEPTION},
    {"BadSymbolIndex",
     [](std::vector<unsigned char>& b) {
         const std::size_t events = first_block(b) + sizeof(SectionHead) + 16;
         b[events + 8] = 0xEE;  // symbol index of the first event
         SectionHead head;
         std::memcpy(&head, b.data() + first_block(b), sizeof head);
         head.crc = crc32(b.data() + first_block(b) + sizeof head, head.length);
         std::memcpy(b.data() + first_block(b), &head, sizeof head);
     },
     TqAPIERR_EXCEPTION, TqAPIERR_EXCEPTION},
};

// A replay of a damaged tape: its result, the data messages it delivered
// before the damage, and the code its error status carried.
struct DamagedReplay {
    int32_t result;
    std::size_t data_messages = 0;
    int32_t error_status = 0;
};

DamagedReplay replay_damaged(const std::string& path, int32_t flags) {
    DamagedReplay r{};
    r.result = test::replay(
        path,
        [&r](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
            if (msg.MessageType != TqMSG_STATUS && msg.MessageType != TqMSG_SYMBOLCHANGE) ++r.data_messages;
            if (msg.MessageType == TqMSG_STATUS && sys.Status == TARVIKSTATUS_ERROR) r.error_status = sys.StatusData;
            return 0;
        },
        flags);
    return r;
}

class DamagedTape : public ::testing::TestWithParam<BadTape> {};

TEST_P(DamagedTape, GivesItsResultCodeAndNoDataFromTheBadBlock) {
    const BadTape& bad = GetParam();
    test::TempFile good, damaged;
    test::write(test::compile(test::day(kEvents)), good.path());
    std::vector<unsigned char> bytes = read_file(good.path());
    bad.damage(bytes);
    write_file(damaged.path(), bytes);
    struct stat before;
    ASSERT_EQ(::stat(damaged.path().c_str(), &before), 0);

    for (const bool check : {true, false}) {
        const DamagedReplay got = replay_damaged(damaged.path(), check ? 0 : TqCF_EXCLUDE_CRC_CHECK);
        const int32_t expected = check ? bad.result : bad.result_without_crc;
        EXPECT_EQ(got.result, expected) << bad.name << (check ? "" : " without CRC checks");
        if (expected == TqAPIERR_EXCEPTION && std::string(bad.name) != "NoEnd") {
            EXPECT_EQ(got.error_status, expected);
            EXPECT_EQ(got.data_messages, 0u);  // the only block is the damaged one
        }
    }
    EXPECT_EQ(read_file(damaged.path()), bytes);  // reading never writes
    struct stat after;
    ASSERT_EQ(::stat(damaged.path().c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedTape, ::testing::ValuesIn(kBadTapes),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(TapeFormat, MissingFileAndBadArguments) {
    EXPECT_EQ(test::replay("/nonexistent/tape", [](auto&, auto&) { return 0; }), TqAPIERR_OPEN_TAPE_FILE_FAILED);
    EXPECT_EQ(test::replay("/tmp", [](auto&, auto&) { return 0; }), TqAPIERR_OPEN_TAPE_FILE_FAILED);
    EXPECT_EQ(test::replay("", [](auto&, auto&) { return 0; }), TqAPIERR_OPEN_TAPE_FILE_FAILED);
    engine::Run run(0, 0, nullptr);
    EXPECT_EQ(run.process_file("/tmp/x"), TqAPIERR_BAD_PARAMETERS);
}

struct ScriptError {
    const char* script;
    const char* message;
};
class BadScript : public ::testing::TestWithParam<ScriptError> {};

TEST_P(BadScript, NamesTheLineAndTheField) {
    try {
        test::compile(test::day(GetParam().script));
        FAIL() << "compiled";
    } catch (const tool::InputError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadScript,
    ::testing::Values(
        ScriptError{R"({"event": {"kind": "trade", "time": "09:30:00", "symbol": "IBM", "price": "x"}})",
                    "test.jsonl:4: event: field 'price': expected an integer"},
        ScriptError{R"({"event": {"kind": "trade", "time": "09:30:00", "symbol": "NOPE", "price": 1}})",
                    "test.jsonl:4: event: field 'symbol'"},
        ScriptError{R"({"event": {"kind": "exgquote", "time": "25:00:00", "symbol": "IBM"}})", "field 'time'"},
        ScriptError{R"({"event": {"kind": "exgquote", "time": "09:30:00", "symbol": "IBM", "prise": 1}})",
                    "field 'prise': unknown field"},
        ScriptError{R"({"event": {"kind": "exgquote", "time": "09:30:00", "symbol": "IBM", "bid": 99999999999}})",
                    "field 'bid': out of range"},
        ScriptError{"{not json", "test.jsonl:4: not valid JSON"},
        ScriptError{R"({"symbol": {"text": "IBM"}})", "test.jsonl:4: symbol: field 'id': a symbol or option"}));

// ---------------------------------------------------------------------------
// Packed tapes: the same day as a plain tape, read ahead on a second thread.
// ---------------------------------------------------------------------------

// What a client sees of a message, pointers replaced by the texts they name.
std::string message_digest(const TarvikSystemRecord& sys, const TarvikMessageRecord& msg) {
    std::string d = std::to_string(msg.MessageType) + "@" + std::to_string(sys.tqTime.MsOfDay) + ":" +
                    std::to_string(sys.Status) + "/" + std::to_string(sys.StatusData) + ":";
    if (msg.coreHeader.ptqStringSymbol != nullptr) d += string_text(msg.coreHeader.ptqStringSymbol);
    d += "/" + std::to_string(msg.coreHeader.ListedExg) + "/" + std::to_string(msg.coreHeader.ReportingExg) + ":";
    if (msg.MessageType == TqMSG_EXGQUOTE || msg.MessageType == TqMSG_TRADE) {
        // Numbers only: the quote with its NBBO, the trade with its day.
        const auto* body = reinterpret_cast<const unsigned char*>(&msg.coreData);
        const std::size_t size =
            msg.MessageType == TqMSG_TRADE ? sizeof(TarvikTradeBody) : sizeof(TarvikExgQuoteBody);
        d += std::to_string(crc32(body, size));
    }
    if (msg.ptarvik3Ext != nullptr)
        d += ":" + std::to_string(msg.ptarvik3Ext->MicrosOfDaySRC) + "/" +
             std::to_string(msg.ptarvik3Ext->FractionalTotalVolume);
    return d;
}

// A synthetic day of several blocks, with options, market makers, trades
// with extensions and categories, written in `encoding`.
void write_synth_day(const std::string& path, TapeEncoding encoding, uint64_t messages = 20'000) {
    tool::SynthOptions o;
    o.symbols = 6;
    o.options_per_symbol = 4;
    o.messages = messages;
    const TapeTables tables = tool::synth_tables(o);
    TapeWriter writer(encoding);
    std::string error;
    ASSERT_TRUE(writer.open_file(path, tables, error)) << error;
    tool::synth_events(o, tables, writer);
    ASSERT_TRUE(writer.finish(error)) << error;
}

// Every message of a replay, and its result; the callback asks for a
// restart at message `restart_at` (once) when it is not 0.
std::vector<std::string> replay_digests(const std::string& path, int32_t& result, int restart_at = 0) {
    std::vector<std::string> seen;
    bool restarted = false;
    result = test::replay(path, [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
        seen.push_back(message_digest(sys, msg));
        if (!restarted && restart_at != 0 && static_cast<int>(seen.size()) == restart_at) {
            restarted = true;
            return TqCALLBACKRETURN_RESTART;
        }
        return TqCALLBACKRETURN_CONTINUE;
    });
    return seen;
}

class PackedTape : public ::testing::TestWithParam<int> {};

TEST_P(PackedTape, GivesTheMessagesAndStateOfThePlainTape) {
    test::TempFile plain, packed;
    write_synth_day(plain.path(), TapeEncoding::Plain);
    write_synth_day(packed.path(), TapeEncoding::Packed);
    EXPECT_LT(read_file(packed.path()).size() * 2, read_file(plain.path()).size());
    int32_t plain_result = -1, packed_result = -1;
    const std::vector<std::string> expected = replay_digests(plain.path(), plain_result, GetParam());
    const std::vector<std::string> got = replay_digests(packed.path(), packed_result, GetParam());
    EXPECT_EQ(plain_result, 0);
    EXPECT_EQ(packed_result, 0);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// Restarts at the start, inside the first block, and in a later one.
INSTANTIATE_TEST_SUITE_P(RestartAt, PackedTape, ::testing::Values(0, 3, 100, 9'000));

class ReadAhead : public ::testing::TestWithParam<TapeEncoding> {};

// A replay far quicker than the reading ahead (a run that leaves out every
// quote) reads blocks itself while it waits for its next: every block still
// comes once and in order, as from a replay that reads each block itself.
TEST_P(ReadAhead, AQuickReplayGetsEveryBlockOnceInOrder) {
    test::TempFile tape;
    write_synth_day(tape.path(), GetParam(), 40 * kEventsPerBlock);
    const auto kept = [&tape] {
        std::vector<std::string> seen;
        const int32_t result = test::replay(
            tape.path(),
            [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
                seen.push_back(message_digest(sys, msg));
                return 0;
            },
            TqCF_EXCLUDE_QUOTES | TqCF_EXCLUDE_QUOTES2);
        EXPECT_EQ(result, 0);
        return seen;
    };
    ::setenv("TARVIK_INFLATE_AHEAD", "0", 1);
    const std::vector<std::string> expected = kept();
    ::unsetenv("TARVIK_INFLATE_AHEAD");
    ASSERT_GT(expected.size(), 40 * kEventsPerBlock / 10);
    for (int run = 0; run < 3; ++run) EXPECT_TRUE(kept() == expected) << "run " << run;
}

INSTANTIATE_TEST_SUITE_P(Encodings, ReadAhead, ::testing::Values(TapeEncoding::Plain, TapeEncoding::Packed),
                         [](const auto& test_info) { return test_info.param == TapeEncoding::Plain ? "Plain" : "Packed"; });

class SnapshotOfTape : public ::testing::TestWithParam<TapeEncoding> {};

TEST_P(SnapshotOfTape, RestartsExactlyWhereItWasTaken) {
    test::TempFile tape, snapshot(".state");
    write_synth_day(tape.path(), GetParam());
    int32_t result = -1;
    const std::vector<std::string> whole = replay_digests(tape.path(), result);
    ASSERT_EQ(result, 0);

    // Saved in the middle of the third block: the messages from the next
    // one on are those of the whole day's replay.
    const std::size_t at = 2 * kEventsPerBlock + 1'000;
    std::size_t count = 0;
    result = test::replay(tape.path(), [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
        if (msg.MessageType == TqMSG_STATUS && sys.Status == TARVIKSTATUS_SAVING_STATE) return 0;
        if (++count == at) {
            EXPECT_EQ(Run::current()->request_save(snapshot.path().c_str(), TqSAVESTATE_ONEPASS), 0);
        }
        return 0;
    });
    ASSERT_EQ(result, 0);
    std::vector<std::string> resumed;
    bool loaded = false;
    result = test::replay(snapshot.path(), [&](TarvikSystemRecord& sys, TarvikMessageRecord& msg) {
        if (msg.MessageType == TqMSG_STATUS && sys.Status == TARVIKSTATUS_LOADED_STATE) loaded = true;
        else if (loaded) resumed.push_back(message_digest(sys, msg));
        return 0;
    });
    ASSERT_EQ(result, 0);
    ASSERT_EQ(resumed.size(), whole.size() - at);
    EXPECT_TRUE(std::equal(resumed.begin(), resumed.end(), whole.begin() + static_cast<std::ptrdiff_t>(at)));
}

INSTANTIATE_TEST_SUITE_P(Encodings, SnapshotOfTape, ::testing::Values(TapeEncoding::Plain, TapeEncoding::Packed),
                         [](const auto& test_info) { return test_info.param == TapeEncoding::Plain ? "Plain" : "Packed"; });

// Where the `which`-th section of a kind starts.
std::size_t section_of(const std::vector<unsigned char>& bytes, SectionKind kind, std::size_t which) {
    std::size_t pos = sizeof(TapePreamble);
    for (;;) {
        SectionHead head;
        std::memcpy(&head, bytes.data() + pos, sizeof head);
        if (head.kind == static_cast<uint32_t>(kind) && which-- == 0) return pos;
        pos += sizeof head + (head.length + 7) / 8 * 8;
    }
}

std::size_t packed_block(const std::vector<unsigned char>& bytes, std::size_t which = 0) {
    return section_of(bytes, SectionKind::PackedEvents, which);
}

SectionHead head_at(const std::vector<unsigned char>& b, std::size_t pos) {
    SectionHead head;
    std::memcpy(&head, b.data() + pos, sizeof head);
    return head;
}

// Gives the block at `pos` the CRC of its payload as it now is.
void fix_crc(std::vector<unsigned char>& b, std::size_t pos) {
    SectionHead head = head_at(b, pos);
    head.crc = crc32(b.data() + pos + sizeof head, head.length);
    std::memcpy(b.data() + pos, &head, sizeof head);
}

// A packed tape of several blocks damaged in its second block: the
// messages of the first block come, then the bad-block result.
struct BadPackedTape {
    const char* name;
    void (*damage)(std::vector<unsigned char>&);
    bool any_without_crc;  // a flipped byte may still inflate to good events
};

const BadPackedTape kBadPackedTapes[] = {
    {"FrameByteFlipped",
     [](std::vector<unsigned char>& b) {
         const std::size_t pos = packed_block(b, 1);
         b[pos + sizeof(SectionHead) + 16 + head_at(b, pos).length / 2] ^= 0x5A;
     },
     true},
    {"FrameCut", [](std::vector<unsigned char>& b) { b.resize(packed_block(b, 1) + sizeof(SectionHead) + 40); },
     false},
    {"FrameZeroed",
     [](std::vector<unsigned char>& b) {
         const std::size_t pos = packed_block(b, 1);
         std::memset(b.data() + pos + sizeof(SectionHead) + 16, 0, head_at(b, pos).length - 16);
         fix_crc(b, pos);
     },
     false},
    {"CountsBeyondTheFrame",
     [](std::vector<unsigned char>& b) {
         const std::size_t pos = packed_block(b, 1);
         EventsHead counts;
         std::memcpy(&counts, b.data() + pos + sizeof(SectionHead), sizeof counts);
         counts.count -= 1;  // one event fewer than the frame holds
         std::memcpy(b.data() + pos + sizeof(SectionHead), &counts, sizeof counts);
         fix_crc(b, pos);
     },
     false},
    {"FrameShortened",
     [](std::vector<unsigned char>& b) {
         const std::size_t pos = packed_block(b, 1);
         SectionHead head = head_at(b, pos);
         head.length -= 8;
         std::memcpy(b.data() + pos, &head, sizeof head);
         fix_crc(b, pos);
     },
     false},
    {"LongerThanItsEvents",
     [](std::vector<unsigned char>& b) {
         const std::size_t pos = packed_block(b, 1);
         SectionHead head = head_at(b, pos);
         head.length = 16 + kEventsPerBlock * (sizeof(TapeEvent) + sizeof(TapeExt)) + 8;
         std::memcpy(b.data() + pos, &head, sizeof head);
     },
     false},
    {"PackedInAVersionOneTape", [](std::vector<unsigned char>& b) { b[8] = 1; }, false},
};

class DamagedPackedTape : public ::testing::TestWithParam<BadPackedTape> {};

TEST_P(DamagedPackedTape, GivesTheBadBlockResultAfterTheGoodBlocks) {
    const BadPackedTape& bad = GetParam();
    test::TempFile good, damaged;
    write_synth_day(good.path(), TapeEncoding::Packed, 3 * kEventsPerBlock);
    std::vector<unsigned char> bytes = read_file(good.path());
    bad.damage(bytes);
    write_file(damaged.path(), bytes);
    for (const bool check : {true, false}) {
        const DamagedReplay got = replay_damaged(damaged.path(), check ? 0 : TqCF_EXCLUDE_CRC_CHECK);
        if (!check && bad.any_without_crc && got.result == 0) continue;
        EXPECT_EQ(got.result, TqAPIERR_EXCEPTION) << bad.name << (check ? "" : " without CRC checks");
        EXPECT_EQ(got.error_status, TqAPIERR_EXCEPTION) << bad.name;
        const bool first_block_good = std::string(bad.name) != "PackedInAVersionOneTape";
        EXPECT_EQ(got.data_messages, first_block_good ? kEventsPerBlock : 0) << bad.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedPackedTape, ::testing::ValuesIn(kBadPackedTapes),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

// A plain tape of several blocks damaged in its second block, read ahead
// on the run's second thread or on its own: the first block's messages
// come, then the bad-block result.
struct BadPlainTape {
    const char* name;
    void (*damage)(std::vector<unsigned char>&);
};

std::size_t second_event(const std::vector<unsigned char>& b) {
    return section_of(b, SectionKind::Events, 1) + sizeof(SectionHead) + sizeof(EventsHead);
}

const BadPlainTape kBadPlainTapes[] = {
    {"EventByteFlipped", [](std::vector<unsigned char>& b) { b[second_event(b) + 5 * sizeof(TapeEvent)] ^= 0x10; }},
    {"BlockCut", [](std::vector<unsigned char>& b) { b.resize(second_event(b) + 100); }},
    {"SymbolOutsideItsTable",
     [](std::vector<unsigned char>& b) {
         TapeEvent e;
         const std::size_t at = second_event(b) + 7 * sizeof(TapeEvent);
         std::memcpy(&e, b.data() + at, sizeof e);
         e.symbol = 1'000'000;
         std::memcpy(b.data() + at, &e, sizeof e);
         fix_crc(b, section_of(b, SectionKind::Events, 1));
     }},
};

class DamagedPlainTape : public ::testing::TestWithParam<std::tuple<BadPlainTape, bool>> {};

TEST_P(DamagedPlainTape, GivesTheBadBlockResultAfterTheGoodBlocks) {
    const auto& [bad, ahead] = GetParam();
    test::TempFile good, damaged;
    write_synth_day(good.path(), TapeEncoding::Plain, 3 * kEventsPerBlock);
    std::vector<unsigned char> bytes = read_file(good.path());
    bad.damage(bytes);
    write_file(damaged.path(), bytes);
    if (!ahead) ::setenv("TARVIK_INFLATE_AHEAD", "0", 1);
    const DamagedReplay got = replay_damaged(damaged.path(), 0);
    ::unsetenv("TARVIK_INFLATE_AHEAD");
    EXPECT_EQ(got.result, TqAPIERR_EXCEPTION);
    EXPECT_EQ(got.error_status, TqAPIERR_EXCEPTION);
    EXPECT_EQ(got.data_messages, kEventsPerBlock);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedPlainTape,
                         ::testing::Combine(::testing::ValuesIn(kBadPlainTapes), ::testing::Bool()),
                         [](const auto& test_info) {
                             return std::string(std::get<0>(test_info.param).name) +
                                    (std::get<1>(test_info.param) ? "ReadAhead" : "OnItsOwnThread");
                         });

TEST(PackedTape, ReaderGivesTheEventsTheWriterTook) {
    test::TempFile plain, packed;
    write_synth_day(plain.path(), TapeEncoding::Plain, 9'000);
    write_synth_day(packed.path(), TapeEncoding::Packed, 9'000);
    const tool::TapeContents a = tool::read_tape_contents(plain.path());
    const tool::TapeContents b = tool::read_tape_contents(packed.path());
    ASSERT_EQ(a.events.size(), b.events.size());
    ASSERT_EQ(a.ext.size(), b.ext.size());
    EXPECT_EQ(std::memcmp(a.events.data(), b.events.data(), a.events.size() * sizeof(TapeEvent)), 0);
    EXPECT_EQ(std::memcmp(a.ext.data(), b.ext.data(), a.ext.size() * sizeof(TapeExt)), 0);
    const std::vector<unsigned char> bytes = read_file(packed.path());
    TapePreamble preamble;
    std::memcpy(&preamble, bytes.data(), sizeof preamble);
    EXPECT_EQ(preamble.format_version, kPackedTapeFormatVersion);
    std::memcpy(&preamble, read_file(plain.path()).data(), sizeof preamble);
    EXPECT_EQ(preamble.format_version, kPlainTapeFormatVersion);
}

// A file's blocks are packed on the writer's thread, each while the next is
// filled; the tape is byte for byte the one packed in turn in memory, with
// every block in its place, a short last block and blocks ended early.
TEST(PackedTape, PackingOnTheWritersThreadKeepsEveryBlockInPlace) {
    tool::SynthOptions o;
    o.symbols = 6;
    o.options_per_symbol = 4;
    o.messages = 5 * kEventsPerBlock + 123;
    const TapeTables tables = tool::synth_tables(o);
    test::TempFile plain, file;
    TapeWriter collect;
    std::string error;
    ASSERT_TRUE(collect.open_file(plain.path(), tables, error)) << error;
    tool::synth_events(o, tables, collect);
    ASSERT_TRUE(collect.finish(error)) << error;
    const tool::TapeContents day = tool::read_tape_contents(plain.path());

    TapeWriter in_memory(TapeEncoding::Packed), to_file(TapeEncoding::Packed);
    in_memory.open_memory(tables);
    ASSERT_TRUE(to_file.open_file(file.path(), tables, error)) << error;
    std::size_t next_ext = 0;
    for (std::size_t k = 0; k < day.events.size(); ++k) {
        const TapeEvent& e = day.events[k];
        const TapeExt* ext = (e.flags & kEventHasExt) ? &day.ext[next_ext++] : nullptr;
        for (TapeWriter* w : {&in_memory, &to_file}) {
            w->add(e, ext);
            if (k % 7'777 == 0) w->end_block();
        }
    }
    ASSERT_TRUE(in_memory.finish(error));
    ASSERT_TRUE(to_file.finish(error)) << error;
    EXPECT_EQ(read_file(file.path()), in_memory.memory());
}

// Blocks of every length the planes are cut at (tiles of 16 events, pairs
// of them, and what is left) come back byte for byte.
TEST(BlockCodec, InflatesWhatItPackedAtEveryTileBoundary) {
    std::vector<TapeEvent> events(kEventsPerBlock);
    std::vector<TapeExt> ext(kEventsPerBlock);
    uint64_t seed = 7;
    const auto fill = [&seed](void* data, std::size_t size) {
        auto* bytes = static_cast<unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            bytes[i] = static_cast<unsigned char>(seed >> 56);
        }
    };
    fill(events.data(), events.size() * sizeof(TapeEvent));
    fill(ext.data(), ext.size() * sizeof(TapeExt));
    BlockPacker packer;
    BlockInflater inflater;
    for (const uint32_t count : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 48u, 63u, 65u, 4095u, kEventsPerBlock}) {
        for (const uint32_t ext_count : {0u, count / 3, count}) {
            const std::size_t size = packer.pack(events.data(), count, ext.data(), ext_count);
            ASSERT_GT(size, 0u);
            const unsigned char* out = inflater.inflate(packer.frame(), size, count, ext_count);
            ASSERT_NE(out, nullptr) << count;
            EXPECT_EQ(std::memcmp(out, events.data(), count * sizeof(TapeEvent)), 0) << count << " events";
            EXPECT_EQ(std::memcmp(out + count * sizeof(TapeEvent), ext.data(), ext_count * sizeof(TapeExt)), 0)
                << count << " events, " << ext_count << " extensions";
        }
    }
}

}  // namespace
}  // namespace tarvik::engine
