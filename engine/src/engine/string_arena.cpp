#include "engine/string_arena.h"

#include <algorithm>
#include <cstring>

namespace tarvik::engine {

TqStringRecord* StringArena::make(std::string_view text, uint16_t atom) {
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    const std::size_t size = (kStringTextOffset + text.size() + 1 + 7) & ~std::size_t{7};
    unsigned char* p;
    if (size > kChunkSize) {
        chunks_.emplace_back(new uint64_t[size / 8]);
        p = reinterpret_cast<unsigned char*>(chunks_.back().get());
        // Keep filling the previous chunk afterwards: swap it back last.
        if (chunks_.size() >= 2) std::swap(chunks_[chunks_.size() - 1], chunks_[chunks_.size() - 2]);
    } else {
        if (used_ + size > kChunkSize) {
            chunks_.emplace_back(new uint64_t[kChunkSize / 8]);
            used_ = 0;
        }
        p = reinterpret_cast<unsigned char*>(chunks_.back().get()) + used_;
        used_ += size;
    }
    auto* record = reinterpret_cast<TqStringRecord*>(p);
    record->UserData1 = 0;
    record->UserData2 = 0;
    record->Atom = atom;
    std::memcpy(string_text(record), text.data(), text.size());
    string_text(record)[text.size()] = '\0';
    return record;
}

}  // namespace tarvik::engine
