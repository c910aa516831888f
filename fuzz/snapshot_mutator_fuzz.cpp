// libFuzzer target: real state snapshots of a synthetic day, changed field
// by field and encoded again (so lengths and the CRC are right), then
// restarted from by a client that reads every record and queries every
// symbol. The input picks a snapshot and lists changes to its decoded
// fields (positions, counts, indexes, market-maker slots, raw state bytes)
// or to its encoded bytes. A snapshot the engine refuses must be refused
// before any callback; one it takes must never lead to a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/crc32.h"
#include "fuzz_client.h"
#include "engine/state_snapshot.h"
#include "synth.h"
#include "engine/tape_writer.h"

namespace {

using namespace tarvik;
using engine::StateSnapshot;

std::string g_dir;
std::string g_snapshot_path;
std::vector<std::vector<unsigned char>> g_images;  // snapshots taken at several points of the day

// Messages at which the snapshots are taken; the last is past the end of
// the day, so the save comes at its end.
constexpr uint32_t kSavePoints[] = {0, 150, 4095, 4100, 100000};
uint32_t t_seen = 0;
uint32_t t_save_at = 0;

int32_t saving_client(TarvikSystemRecord* system, TarvikMessageRecord* message) {
    if (message->MessageType != TqMSG_STATUS && t_seen++ == t_save_at)
        engine::Run::current()->request_save((g_dir + "/saved.state").c_str(), TqSAVESTATE_ONEPASS);
    if (message->MessageType == TqMSG_STATUS && system->Status == TARVIKSTATUS_COMPLETE && t_seen <= t_save_at)
        engine::Run::current()->request_save((g_dir + "/saved.state").c_str(), TqSAVESTATE_ONEPASS);
    return 0;
}

std::vector<unsigned char> read_file(const std::string& path) {
    std::vector<unsigned char> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        unsigned char buffer[65536];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
        std::fclose(f);
    }
    return bytes;
}

void remove_dir() {
    std::remove((g_dir + "/day.tape").c_str());
    std::remove((g_dir + "/saved.state").c_str());
    std::remove(g_snapshot_path.c_str());
    ::rmdir(g_dir.c_str());
}

template <typename T>
void change_bytes(T& object, uint32_t where, uint64_t value, unsigned width) {
    if (sizeof(T) < width) return;
    std::memcpy(reinterpret_cast<unsigned char*>(&object) + where % (sizeof(T) - width + 1), &value, width);
}

void change(StateSnapshot& s, fuzz::InputReader& in) {
    const uint8_t field = in.get<uint8_t>();
    const uint8_t choice = in.get<uint8_t>();
    const uint32_t index = in.get<uint32_t>();
    const uint64_t raw = in.get<uint64_t>();
    const auto edge = [&](uint64_t count) { return fuzz::edge_value(choice, raw, count); };
    const unsigned width = 1u << (choice / 8 % 4);
    switch (field % 16) {
    case 0: s.position = s.position + static_cast<int64_t>(static_cast<int8_t>(raw)) * 4; break;
    case 1: s.position = edge(s.tape.size); break;
    case 2: s.section_ordinal = static_cast<uint32_t>(edge(s.section_ordinal)); break;
    case 3: s.event_index = static_cast<uint32_t>(edge(4096)); break;
    case 4: change_bytes(s.clock, index, raw, width); break;
    case 5: s.clock_set = !s.clock_set; break;
    case 6:
        if (!s.states.empty()) change_bytes(s.states[index % s.states.size()], static_cast<uint32_t>(raw >> 32),
                                            edge(s.mm_books.size()), width);
        break;
    case 7: s.states.resize(std::min<uint64_t>(edge(s.states.size()), s.states.size() + 4)); break;
    case 8:
        if (!s.session_states.empty()) {
            auto& [key, state] = s.session_states[index % s.session_states.size()];
            if (choice & 1) key = edge(key);
            else state = static_cast<uint32_t>(edge(s.states.size()));
        } else {
            s.session_states.emplace_back(raw, static_cast<uint32_t>(edge(s.states.size())));
        }
        break;
    case 9:
        if (!s.mm_books.empty()) {
            engine::MMBook& book = s.mm_books[index % s.mm_books.size()];
            if (!book.slots.empty()) {
                engine::MMQuoteSlot& slot = book.slots[raw % book.slots.size()];
                if (choice & 1) slot.market_maker = static_cast<uint32_t>(edge(slot.market_maker));
                else change_bytes(slot, static_cast<uint32_t>(raw >> 8), edge(0), width);
            }
        }
        break;
    case 10:
        if (!s.mm_books.empty()) {
            engine::MMBook& book = s.mm_books[index % s.mm_books.size()];
            book.slots.resize(std::min<uint64_t>(edge(book.slots.size()), 600));
        }
        break;
    case 11: s.mm_books.resize(std::min<uint64_t>(edge(s.mm_books.size()), s.mm_books.size() + 4)); break;
    case 12: change_bytes(s.scratch, index, edge(s.mm_books.size()), width); break;
    case 13:
        if (!s.user_data.empty()) s.user_data[index % s.user_data.size()] = static_cast<int32_t>(raw);
        else s.user_data.push_back(static_cast<int32_t>(raw));
        break;
    case 14: change_bytes(s.tape.resume_head, index, edge(0), width); break;
    default: s.tape.size = edge(s.tape.size); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/snapshot-fuzz.XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    g_dir = dir;
    g_snapshot_path = g_dir + "/fuzzed.state";
    std::atexit(remove_dir);

    tool::SynthOptions o;
    o.symbols = 6;
    o.options_per_symbol = 4;
    o.messages = 5000;  // two blocks
    o.mix[1] = 20;
    const engine::TapeTables tables = tool::synth_tables(o);
    engine::TapeWriter writer;
    std::string error;
    if (!writer.open_file(g_dir + "/day.tape", tables, error)) std::abort();
    tool::synth_events(o, tables, writer);
    if (!writer.finish(error)) std::abort();
    for (const uint32_t point : kSavePoints) {
        t_seen = 0;
        t_save_at = point;
        engine::Run run(0, 0, saving_client);
        run.process_file((g_dir + "/day.tape").c_str());
        g_images.push_back(read_file(g_dir + "/saved.state"));
        if (g_images.back().empty()) std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader in(data, size);
    const uint8_t options = in.get<uint8_t>();
    const std::vector<unsigned char>& original = g_images[options % std::size(kSavePoints)];
    StateSnapshot snapshot;
    if (engine::decode_snapshot(original.data(), original.size(), snapshot) != 0) std::abort();
    std::vector<uint8_t> raw_changes;
    for (int changes = 0; in.more() && changes < 8; ++changes) {
        if (in.get<uint8_t>() % 8 == 0) {
            raw_changes.push_back(1);  // a byte of the encoded payload, applied after encoding
            raw_changes.push_back(in.get<uint8_t>());
            raw_changes.push_back(in.get<uint8_t>());
            raw_changes.push_back(in.get<uint8_t>());
        } else {
            change(snapshot, in);
        }
    }
    std::vector<unsigned char> image = engine::encode_snapshot(snapshot);
    const std::size_t head = sizeof(engine::SnapshotPreamble);
    for (std::size_t i = 0; i + 4 <= raw_changes.size(); i += 4) {
        const std::size_t at = head + (raw_changes[i + 1] | raw_changes[i + 2] << 8) % (image.size() - head);
        image[at] = raw_changes[i + 3];
    }
    engine::SnapshotPreamble preamble;
    std::memcpy(&preamble, image.data(), head);
    preamble.crc = engine::crc32(image.data() + head, image.size() - head);
    std::memcpy(image.data(), &preamble, head);

    if (std::FILE* f = std::fopen(g_snapshot_path.c_str(), "wb")) {
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    fuzz::t_callbacks = 0;
    engine::Run run((options & 8) ? TqCF_EXCLUDE_CRC_CHECK : 0, 0, fuzz::client);
    const int32_t result = run.process_file(g_snapshot_path.c_str());
    // A snapshot refused as such is refused before the program hears anything.
    if ((result == TqAPIERR_NOT_SUPPORTED || result == TqAPIERR_INITIALIZE_MEMORY_FAILED ||
         result == TqAPIERR_UNSUPPORTED_API || result == TqAPIERR_OPEN_TAPE_FILE_FAILED) &&
        fuzz::t_callbacks != 0)
        std::abort();
    return 0;
}
