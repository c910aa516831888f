// libFuzzer target: a well-formed synthetic day changed field by field, its
// section CRCs made right again, then replayed in full by a client that
// reads every record and queries every symbol. The input is a list of
// changes (to table bytes, to named fields of events, to section lengths,
// or a cut); the engine must answer with a result code, never fault.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/crc32.h"
#include "fuzz_client.h"
#include "synth.h"
#include "engine/tape_writer.h"

namespace {

using namespace tarvik;
using engine::SectionHead;

struct Section {
    std::size_t at;  // offset of its head
    uint64_t length;
};

std::vector<unsigned char> g_day;
std::vector<Section> g_sections;

std::vector<Section> sections_of(const std::vector<unsigned char>& tape) {
    std::vector<Section> out;
    std::size_t pos = sizeof(engine::TapePreamble);
    while (pos + sizeof(SectionHead) <= tape.size()) {
        SectionHead head;
        std::memcpy(&head, tape.data() + pos, sizeof head);
        if (head.length > tape.size() - pos - sizeof head) break;
        out.push_back({pos, head.length});
        pos += sizeof head + ((head.length + 7) & ~uint64_t{7});
    }
    return out;
}

// Named fields of an event: offset and width.
struct Field {
    uint8_t offset;
    uint8_t width;
};
constexpr Field kEventFields[] = {
    {0, 8},  {8, 4},  {12, 2}, {14, 2}, {16, 1}, {17, 1}, {18, 1}, {19, 1}, {20, 4},
    {24, 4}, {28, 4}, {32, 4}, {36, 4}, {40, 1}, {41, 1}, {42, 1}, {43, 1}, {44, 2}, {46, 2},
};

void put(unsigned char* at, uint64_t value, unsigned width) { std::memcpy(at, &value, width); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tool::SynthOptions o;
    o.symbols = 6;
    o.options_per_symbol = 4;
    o.messages = 5000;  // two blocks
    o.mix[1] = 20;      // plenty of market-maker quotes
    o.mix[3] = 5;
    const engine::TapeTables tables = tool::synth_tables(o);
    engine::TapeWriter writer;
    writer.open_memory(tables);
    tool::synth_events(o, tables, writer);
    std::string error;
    writer.finish(error);
    g_day = writer.memory();
    g_sections = sections_of(g_day);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader in(data, size);
    std::vector<uint64_t> aligned(g_day.size() / 8 + 2);
    auto* tape = reinterpret_cast<unsigned char*>(aligned.data());
    std::memcpy(tape, g_day.data(), g_day.size());
    std::size_t tape_size = g_day.size();
    const uint8_t options = in.get<uint8_t>();
    for (int changes = 0; in.more() && changes < 16; ++changes) {
        const uint8_t kind = in.get<uint8_t>();
        const Section& s = g_sections[in.get<uint8_t>() % g_sections.size()];
        const uint32_t where = in.get<uint32_t>();
        const uint8_t choice = in.get<uint8_t>();
        const uint64_t raw = in.get<uint64_t>();
        unsigned char* payload = tape + s.at + sizeof(SectionHead);
        switch (kind % 4) {
        case 0:  // a byte, word or double word of the payload
            if (s.length >= 8) put(payload + where % (s.length - 7), raw, 1u << (choice % 4));
            break;
        case 1: {  // a named field of an event (events sections only)
            SectionHead head;
            std::memcpy(&head, tape + s.at, sizeof head);
            if (head.kind != static_cast<uint32_t>(engine::SectionKind::Events) || s.length < 16 + 48) break;
            uint32_t count;
            std::memcpy(&count, payload, 4);
            const std::size_t events = (s.length - 16) / 48;
            const Field f = kEventFields[choice % std::size(kEventFields)];
            const uint64_t value = fuzz::edge_value(choice / 32, raw, f.offset == 8 ? 42 : count);
            put(payload + 16 + 48 * (where % events) + f.offset, value, f.width);
            break;
        }
        case 2:  // the section's length, or the counts of an events section
            if (choice & 1) put(tape + s.at + 8, fuzz::edge_value(choice / 2, raw, s.length), 8);
            else if (s.length >= 8) put(payload + 4 * (choice / 2 % 2), fuzz::edge_value(choice / 4, raw, 4096), 4);
            break;
        default:  // the tape cut short
            tape_size = std::min<std::size_t>(tape_size, s.at + where % (sizeof(SectionHead) + s.length + 8));
            break;
        }
    }
    // The CRCs made right again, unless the input asks to keep them wrong.
    if ((options & 1) == 0) {
        for (const Section& s : sections_of(std::vector<unsigned char>(tape, tape + tape_size))) {
            const uint32_t crc = engine::crc32(tape + s.at + sizeof(SectionHead), s.length);
            std::memcpy(tape + s.at + 4, &crc, 4);
        }
    }
    const int32_t flags = (options & 2) ? TqCF_EXCLUDE_CRC_CHECK : 0;
    engine::Run run(flags | ((options & 4) ? TqCF_EXCLUDE_OPRA : 0), 0, fuzz::client);
    run.process_memory(tape, tape_size);
    return 0;
}
