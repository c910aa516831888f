// Little-endian byte writer and bounds-checked byte reader for the tape's
// table sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tarvik::engine {

class ByteWriter {
public:
    template <typename T>
    void put(T value) {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto* p = reinterpret_cast<const unsigned char*>(&value);
        bytes_.insert(bytes_.end(), p, p + sizeof(T));
    }
    void put_bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    // A text: 32-bit length, then the bytes.
    void put_text(std::string_view text) {
        put(static_cast<uint32_t>(text.size()));
        put_bytes(text.data(), text.size());
    }
    std::vector<unsigned char>& bytes() { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

// Reads from a byte range; a read past the end sets failed() and yields
// zeros, so callers check once at the end.
class ByteReader {
public:
    ByteReader(const unsigned char* data, std::size_t size) : p_(data), end_(data + size) {}

    template <typename T>
    T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        T value{};
        if (static_cast<std::size_t>(end_ - p_) < sizeof(T)) {
            failed_ = true;
            p_ = end_;
            return value;
        }
        std::memcpy(&value, p_, sizeof(T));
        p_ += sizeof(T);
        return value;
    }
    bool get_bytes(void* out, std::size_t size) {
        if (size == 0) return true;
        if (static_cast<std::size_t>(end_ - p_) < size) {
            failed_ = true;
            p_ = end_;
            return false;
        }
        std::memcpy(out, p_, size);
        p_ += size;
        return true;
    }
    std::string get_text() {
        uint32_t size = get<uint32_t>();
        if (static_cast<std::size_t>(end_ - p_) < size) {
            failed_ = true;
            p_ = end_;
            return {};
        }
        std::string text(reinterpret_cast<const char*>(p_), size);
        p_ += size;
        return text;
    }
    // Fails unless at least `count` items of `item_size` bytes can follow,
    // so that a damaged count cannot make the caller reserve gigabytes.
    bool can_hold(uint64_t count, std::size_t item_size) {
        if (count > static_cast<uint64_t>(end_ - p_) / item_size) failed_ = true;
        return !failed_;
    }
    bool failed() const { return failed_; }
    bool at_end() const { return p_ == end_; }

private:
    const unsigned char* p_;
    const unsigned char* end_;
    bool failed_ = false;
};

}  // namespace tarvik::engine
