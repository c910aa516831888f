// libFuzzer target: any bytes as a tape, replayed in full. The reader must
// answer with a result code, never crash or hand out a bad record. The
// seeds are plain and packed tapes; without the CRC checks a mutated
// packed block reaches the inflater and the read-ahead thread.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/engine_constants.h"
#include "engine/run.h"

namespace {

int32_t touch_message(tarvik::TarvikSystemRecord* system, tarvik::TarvikMessageRecord* message) {
    // Read what a client reads, so a bad pointer shows up here.
    volatile uint32_t sink = static_cast<uint32_t>(system->Status);
    if (message->coreHeader.ptqStringSymbol != nullptr) sink += tarvik::string_text(message->coreHeader.ptqStringSymbol)[0];
    if (message->MessageType == tarvik::TqMSG_CATEGORY) {
        const tarvik::TarvikCategoryBody& c = message->coreData.Category;
        sink += tarvik::string_text(c.ptqStringCategory)[0];
        for (uint16_t i = 0; i < c.NFields; ++i) sink += static_cast<uint32_t>(c.ptqFields[i].FieldName[0]);
    }
    if (message->MessageType == tarvik::TqMSG_MMQUOTE && message->coreData.MMQuote.ptqStringMarketMaker)
        sink += tarvik::string_text(message->coreData.MMQuote.ptqStringMarketMaker)[0];
    (void)sink;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint64_t> aligned((size + 7) / 8 + 1);
    std::memcpy(aligned.data(), data, size);
    for (const int32_t flags : {0, tarvik::TqCF_EXCLUDE_CRC_CHECK}) {
        tarvik::engine::Run run(flags, 0, touch_message);
        run.process_memory(reinterpret_cast<const unsigned char*>(aligned.data()), size);
    }
    return 0;
}
