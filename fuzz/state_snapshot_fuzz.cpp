// libFuzzer target: any bytes as a state snapshot. The preamble (version,
// layout sizes, length, CRC) is set right first, so that the fuzzer reaches the decoder's checks of
// lengths, counts and indexes; the decoder must answer a result code,
// never crash or accept a state with an index outside its tables.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/crc32.h"
#include "engine/state_snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarvik::engine;
    std::vector<unsigned char> bytes(data, data + size);
    if (bytes.size() >= sizeof(SnapshotPreamble)) {
        std::memcpy(bytes.data(), kSnapshotMagic, sizeof kSnapshotMagic);
        SnapshotPreamble preamble;
        std::memcpy(&preamble, bytes.data(), sizeof preamble);
        preamble.format_version = kSnapshotFormatVersion;
        preamble.state_size = sizeof(SymbolState);
        preamble.mm_slot_size = sizeof(MMQuoteSlot);
        preamble.length = bytes.size() - sizeof preamble;
        preamble.crc = crc32(bytes.data() + sizeof preamble, preamble.length);
        std::memcpy(bytes.data(), &preamble, sizeof preamble);
    }
    StateSnapshot snapshot;
    if (decode_snapshot(bytes.data(), bytes.size(), snapshot) != 0) return 0;
    for (const auto& [key, state] : snapshot.session_states) {
        if (state >= snapshot.states.size()) __builtin_trap();
    }
    for (const SymbolState& state : snapshot.states) {
        if (state.mm_book != kNone && state.mm_book >= snapshot.mm_books.size()) __builtin_trap();
        if (state.quotes.count > kMaxExchangeQuotes) __builtin_trap();
    }
    return 0;
}
