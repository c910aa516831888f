#include "tape_convert.h"

#include "engine/tape_reader.h"
#include "tape_script.h"

namespace tarvik::tool {

void convert_tape(const std::string& in, const std::string& out, engine::TapeEncoding encoding,
                  const std::function<void(uint64_t done, uint64_t total)>& progress) {
    engine::TapeBytes bytes;
    engine::TapeTables tables;
    engine::TapeReader reader;
    int32_t result = bytes.map_file(in.c_str());
    if (result == 0) result = reader.open(bytes.data(), bytes.size(), true, tables);
    if (result != 0) throw InputError(unreadable_tape(in, result));
    engine::TapeWriter writer(encoding);
    std::string error;
    if (!writer.open_file(out, tables, error)) throw InputError(error);
    engine::EventBlock block;
    for (;;) {
        const std::size_t at = reader.position();
        const int32_t got = reader.next_block(block);
        if (got == 0) break;
        if (got < 0)  // the check's account: the section, the event and the reason
            throw InputError(unreadable_tape(in, got,
                                             in + ": event block at byte offset " + std::to_string(at) +
                                                 " is truncated, damaged or holds a bad index (result code " +
                                                 std::to_string(got) + ")") +
                             "; " + out + " is not written");
        uint32_t next_ext = 0;
        for (uint32_t i = 0; i < block.count; ++i) {
            const engine::TapeEvent& e = block.events[i];
            writer.add(e, (e.flags & engine::kEventHasExt) ? &block.ext[next_ext++] : nullptr);
        }
        writer.end_block();
        if (progress) progress(reader.position(), bytes.size());
    }
    if (!writer.finish(error)) throw InputError(error);
}

}  // namespace tarvik::tool
