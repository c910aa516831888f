// Texts kept in blocks that never move, so that a view of one stays valid
// while the store lives: the keys of maps of many texts (a day's symbols,
// a million of them on a day of options), each kept once, without a string
// object and an allocation of its own.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tarvik::engine {

class TextStore {
public:
    // A copy of `text` that lives as long as the store.
    std::string_view keep(std::string_view text) {
        if (text.size() > room_) {
            const std::size_t size = text.size() > kBlock ? text.size() : kBlock;
            blocks_.push_back(std::make_unique<char[]>(size));
            at_ = blocks_.back().get();
            room_ = size;
        }
        if (!text.empty()) std::memcpy(at_, text.data(), text.size());
        const std::string_view kept(at_, text.size());
        at_ += text.size();
        room_ -= text.size();
        return kept;
    }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 20;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* at_ = nullptr;     // the last block's first free byte
    std::size_t room_ = 0;  // and the bytes left after it
};

}  // namespace tarvik::engine
