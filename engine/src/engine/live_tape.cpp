#include "engine/live_tape.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "engine/engine_constants.h"

namespace tarvik::engine {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(1);
constexpr std::size_t kTableSections = 6;
constexpr std::size_t kMaxTablesBytes = std::size_t{1} << 30;

std::size_t padded(uint64_t size) { return static_cast<std::size_t>((size + 7) & ~uint64_t{7}); }

}  // namespace

LiveTape::~LiveTape() {
    if (fd_ >= 0) ::close(fd_);
}

int32_t LiveTape::open(const char* path, std::chrono::milliseconds idle_limit, bool check_crc, TapeReader& reader,
                       TapeTables& tables) {
    fd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a pipe: refused below, not waited on
    if (fd_ < 0) return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    reader_ = &reader;
    idle_limit_ = idle_limit;
    last_progress_ = std::chrono::steady_clock::now();
    size_seen_ = static_cast<uint64_t>(st.st_size);
    modified_seen_ = st.st_mtim;

    // The tables, once the six section heads and payloads are there. A
    // writer may extend the file with zeros before it fills it: zeros
    // where the magic or a head belongs are not written yet, and the heads
    // are read again until the tables they frame are whole.
    std::size_t end = 0;
    for (;;) {
        std::size_t pos = sizeof(TapePreamble);
        std::size_t found = 0;
        for (; found < kTableSections; ++found) {
            SectionHead head;
            if (!read_at(pos, &head, sizeof head) || head.length > kMaxTablesBytes || unwritten(head)) break;
            pos += sizeof head + padded(head.length);
            if (::fstat(fd_, &st) != 0 || static_cast<std::size_t>(st.st_size) < pos) break;
        }
        if (found == kTableSections) {
            end = pos;
            tables_bytes_.resize((end + 7) / 8);
            if (!read_at(0, tables_bytes_.data(), end)) return TqAPIERR_OPEN_TAPE_FILE_FAILED;
            const int32_t result =
                reader.open(reinterpret_cast<const unsigned char*>(tables_bytes_.data()), end, check_crc, tables);
            if (result == 0) break;
            tables = TapeTables{};
            if (result != TqAPIERR_NOT_SUPPORTED) return result;  // damaged
            if (!wait()) return result;  // still being written, or damaged
            continue;
        }
        TapePreamble preamble;
        static constexpr char kUnwritten[sizeof preamble.magic] = {};
        if (read_at(0, &preamble, sizeof preamble) &&
            std::memcmp(preamble.magic, kTapeMagic, sizeof preamble.magic) != 0 &&
            std::memcmp(preamble.magic, kUnwritten, sizeof preamble.magic) != 0)
            return TqAPIERR_OPEN_TAPE_FILE_FAILED;  // not a tape at all
        if (!wait()) return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    }
    first_block_ = pos_ = end;
    block_bytes_.resize(kMaxBlockBytes / 8 + 2);
    last_progress_ = std::chrono::steady_clock::now();
    return 0;
}

bool parse_idle_limit(const char* text, std::chrono::milliseconds fallback, std::chrono::milliseconds& limit) {
    limit = fallback;
    if (text == nullptr || text[0] == '\0') return true;
    uint64_t ms = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        ms = std::min<uint64_t>(ms * 10 + static_cast<uint64_t>(*p - '0'), kMaxLiveIdle.count());
    }
    if (ms != 0) limit = std::chrono::milliseconds(static_cast<int64_t>(ms));
    return true;
}

int32_t LiveTape::next_block(EventBlock& block) {
    for (;;) {
        SectionHead head;
        // A writer may extend the file before it fills it: zeros where a
        // head belongs are a section not written yet.
        if (read_at(pos_, &head, sizeof head) && !unwritten(head)) {
            if (head.kind == static_cast<uint32_t>(SectionKind::End)) return reader_->end_section(head);
            const bool events = head.kind == static_cast<uint32_t>(SectionKind::Events) ||
                                (head.kind == static_cast<uint32_t>(SectionKind::PackedEvents) && reader_->packed());
            if (!events || head.length > kMaxBlockBytes) return TqAPIERR_EXCEPTION;
            const std::size_t size = sizeof head + padded(head.length);
            if (read_at(pos_, block_bytes_.data(), size)) {
                std::size_t length = 0;
                const auto* bytes = reinterpret_cast<const unsigned char*>(block_bytes_.data());
                const int32_t got = reader_->read_block_at(bytes, size, block, length, inflater_);
                if (got == 1) {
                    pos_ += length;
                    last_progress_ = std::chrono::steady_clock::now();
                    waiting_ = false;
                    return 1;
                }
                // A block that fails its checks may be one still being written.
            }
        }
        note_growth();
        const auto now = std::chrono::steady_clock::now();
        if (!waiting_ || now - last_notice_ >= kWaitNotice) {
            if (now - last_progress_ > idle_limit_) return TqAPIERR_EXCEPTION;
            waiting_ = true;
            last_notice_ = now;
            return kStillWaiting;
        }
        if (!wait()) return TqAPIERR_EXCEPTION;
    }
}

bool LiveTape::read_at(std::size_t pos, void* out, std::size_t size) const {
    auto* p = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t got = ::pread(fd_, p, size, static_cast<off_t>(pos));
        if (got <= 0) return false;
        p += got;
        pos += static_cast<std::size_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

void LiveTape::note_growth() {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return;
    const bool grown = static_cast<uint64_t>(st.st_size) > size_seen_;
    const bool written = st.st_mtim.tv_sec != modified_seen_.tv_sec || st.st_mtim.tv_nsec != modified_seen_.tv_nsec;
    if (grown || written) {
        size_seen_ = std::max(size_seen_, static_cast<uint64_t>(st.st_size));
        modified_seen_ = st.st_mtim;
        last_progress_ = std::chrono::steady_clock::now();
    }
}

bool LiveTape::wait() {
    note_growth();
    if (std::chrono::steady_clock::now() - last_progress_ > idle_limit_) return false;
    std::this_thread::sleep_for(kPollInterval);
    return true;
}

}  // namespace tarvik::engine
