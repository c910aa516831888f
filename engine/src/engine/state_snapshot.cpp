#include "engine/state_snapshot.h"

#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "engine/byte_io.h"
#include "engine/engine_constants.h"
#include "engine/crc32.h"
#include "engine/dates.h"
#include "engine/tape_reader.h"

namespace tarvik::engine {
namespace {

static_assert(std::is_trivially_copyable_v<SymbolState>);
static_assert(std::is_trivially_copyable_v<MMQuoteSlot>);

template <typename T>
void put_array(ByteWriter& w, const T* items, std::size_t count) {
    w.put(static_cast<uint32_t>(count));
    w.put_bytes(items, count * sizeof(T));
}

template <typename T>
bool get_array(ByteReader& r, std::vector<T>& items) {
    const uint32_t count = r.get<uint32_t>();
    if (!r.can_hold(count, sizeof(T))) return false;
    items.resize(count);
    return r.get_bytes(items.data(), count * sizeof(T));
}

// The trade state's flags are bools: a byte other than 0 or 1 would be
// read as neither, so they are looked at as bytes before anything reads them.
bool valid_flags(const TradeState& trade) {
    static constexpr std::size_t kFlags[] = {offsetof(TradeState, has_open), offsetof(TradeState, has_high),
                                             offsetof(TradeState, has_low), offsetof(TradeState, has_last)};
    for (const std::size_t offset : kFlags) {
        uint8_t byte;
        std::memcpy(&byte, reinterpret_cast<const unsigned char*>(&trade) + offset, 1);
        if (byte > 1) return false;
    }
    return true;
}

}  // namespace

bool is_snapshot(const unsigned char* data, std::size_t size) {
    return size >= sizeof(SnapshotPreamble) && std::memcmp(data, kSnapshotMagic, sizeof kSnapshotMagic) == 0;
}

std::vector<unsigned char> encode_snapshot(const StateSnapshot& s) {
    ByteWriter w;
    w.put_text(s.tape.path);
    w.put(s.tape.size);
    w.put(s.tape.tables_crc);
    w.put(s.tape.resume_head);
    w.put(s.position);
    w.put(s.section_ordinal);
    w.put(s.event_index);
    w.put(s.clock);
    w.put(static_cast<uint8_t>(s.clock_set));
    put_array(w, s.states.data(), s.states.size());
    w.put(static_cast<uint32_t>(s.session_states.size()));
    for (const auto& [key, state] : s.session_states) {
        w.put(key);
        w.put(state);
    }
    w.put(static_cast<uint32_t>(s.mm_books.size()));
    for (const MMBook& book : s.mm_books) {
        w.put(book.nasdaq_bid_tick);
        put_array(w, book.slots.data(), book.slots.size());
    }
    w.put(s.scratch);
    put_array(w, s.user_data.data(), s.user_data.size());

    const std::vector<unsigned char>& payload = w.bytes();
    SnapshotPreamble preamble{};
    std::memcpy(preamble.magic, kSnapshotMagic, sizeof preamble.magic);
    preamble.format_version = kSnapshotFormatVersion;
    preamble.crc = crc32(payload.data(), payload.size());
    preamble.length = payload.size();
    preamble.state_size = sizeof(SymbolState);
    preamble.mm_slot_size = sizeof(MMQuoteSlot);
    std::vector<unsigned char> image(sizeof preamble + payload.size());
    std::memcpy(image.data(), &preamble, sizeof preamble);
    std::memcpy(image.data() + sizeof preamble, payload.data(), payload.size());
    return image;
}

int32_t decode_snapshot(const unsigned char* data, std::size_t size, StateSnapshot& s) {
    constexpr int32_t kDamaged = TqAPIERR_NOT_SUPPORTED;
    if (!is_snapshot(data, size)) return kDamaged;
    SnapshotPreamble preamble;
    std::memcpy(&preamble, data, sizeof preamble);
    if (preamble.format_version > kSnapshotFormatVersion) return TqAPIERR_UNSUPPORTED_API;
    if (preamble.format_version < 1 || preamble.state_size != sizeof(SymbolState) ||
        preamble.mm_slot_size != sizeof(MMQuoteSlot) || preamble.length != size - sizeof preamble)
        return kDamaged;
    const unsigned char* payload = data + sizeof preamble;
    if (crc32(payload, preamble.length) != preamble.crc) return kDamaged;

    ByteReader r(payload, preamble.length);
    s.tape.path = r.get_text();
    s.tape.size = r.get<uint64_t>();
    s.tape.tables_crc = r.get<uint32_t>();
    s.tape.resume_head = r.get<SectionHead>();
    s.position = r.get<uint64_t>();
    s.section_ordinal = preamble.format_version >= 2 ? r.get<uint32_t>() : kNone;
    s.event_index = r.get<uint32_t>();
    s.clock = r.get<TqTimeRecord>();
    const uint8_t clock_set = r.get<uint8_t>();
    // A snapshot is taken in or after a callback, and the engine sets its
    // clock before the first: a clock not set is one no run can have.
    if (clock_set != 1) return kDamaged;
    s.clock_set = clock_set != 0;
    if (!get_array(r, s.states)) return kDamaged;
    const uint32_t sessions = r.get<uint32_t>();
    if (!r.can_hold(sessions, 12)) return kDamaged;
    s.session_states.resize(sessions);
    for (auto& [key, state] : s.session_states) {
        key = r.get<uint64_t>();
        state = r.get<uint32_t>();
        if (state >= s.states.size()) return kDamaged;
    }
    const uint32_t books = r.get<uint32_t>();
    if (!r.can_hold(books, 5)) return kDamaged;
    s.mm_books.resize(books);
    for (MMBook& book : s.mm_books) {
        book.nasdaq_bid_tick = r.get<uint8_t>();
        if (!get_array(r, book.slots) || book.slots.size() > kMaxMarketMakerQuotes) return kDamaged;
    }
    s.scratch = r.get<SymbolState>();
    if (!get_array(r, s.user_data) || r.failed() || !r.at_end()) return kDamaged;
    const auto consistent = [&s](const SymbolState& state) {
        if (!valid_flags(state.trade)) return false;
        if (state.quotes.count > kMaxExchangeQuotes) return false;
        // The best bid and offer only ever take prices above zero (0: none).
        if (state.quotes.nbbo.bid < 0 || state.quotes.nbbo.ask < 0) return false;
        if (state.mm_book != kNone && state.mm_book >= s.mm_books.size()) return false;
        for (int i = 0; i < kDirectExchanges; ++i) {
            if (state.quotes.slot_of[i] > state.quotes.count) return false;
        }
        return true;
    };
    for (const SymbolState& state : s.states) {
        if (!consistent(state)) return kDamaged;
    }
    return consistent(s.scratch) ? 0 : kDamaged;
}

int32_t check_snapshot_references(const StateSnapshot& s, const TapeTables& tables) {
    constexpr int32_t kDamaged = TqAPIERR_NOT_SUPPORTED;
    const std::size_t symbols = tables.symbols.size();
    const std::size_t texts = tables.texts.size();
    // Directory states come first, one per symbol; states of further
    // sessions follow them, each named by exactly one entry.
    if (s.states.size() < symbols || s.states.size() - symbols != s.session_states.size()) return kDamaged;
    std::vector<uint8_t> named(s.session_states.size(), 0);
    for (const auto& [key, state] : s.session_states) {
        if ((key >> 8) >= symbols || state < symbols || named[state - symbols]++ != 0) return kDamaged;
    }
    for (const MMBook& book : s.mm_books) {
        for (const MMQuoteSlot& slot : book.slots) {
            if (slot.market_maker >= texts) return kDamaged;
        }
    }
    // The clock is what the engine derived from a time of day in the tape's zone.
    const TqTimeRecord clock = time_from_micros(uint64_t{s.clock.MsOfDay} * 1000, tables.header.time_zone);
    if (s.clock.MsOfDay >= kMicrosPerDay / 1000 || std::memcmp(&clock, &s.clock, sizeof clock) != 0) return kDamaged;
    return 0;
}

int32_t SnapshotWriter::begin(const std::string& path, uint64_t tape_device, uint64_t tape_inode,
                              std::vector<unsigned char> image) {
    abandon();
    // Only a file is ever replaced: never a device, a directory or a pipe,
    // nor the tape the snapshot names (the file the run mapped, whatever
    // the current folder is now), which would be lost.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || (tape_inode != 0 && static_cast<uint64_t>(st.st_dev) == tape_device &&
                                  static_cast<uint64_t>(st.st_ino) == tape_inode)))
        return TqCSSAVESTATE_ERR_CREATEFILE;
    path_ = path;
    temp_path_ = path + ".partial." + std::to_string(::getpid()) + "." + std::to_string(::gettid());
    image_ = std::move(image);
    written_ = 0;
    fd_ = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        image_.clear();
        return TqCSSAVESTATE_ERR_CREATEFILE;
    }
    return 0;
}

int32_t SnapshotWriter::write_piece(std::size_t limit) {
    if (fd_ < 0) return TqCSSAVESTATE_ERR_CREATEFILE;
    std::size_t budget = limit;
    while (written_ < image_.size() && budget > 0) {
        const std::size_t n = std::min(budget, image_.size() - written_);
        const ssize_t got = ::write(fd_, image_.data() + written_, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const bool full = got == 0 || errno == ENOSPC || errno == EDQUOT || errno == EFBIG;
            return fail(full ? TqCSSAVESTATE_ERR_DISKSPACE : TqCSSAVESTATE_ERR_CREATEFILE);
        }
        written_ += static_cast<std::size_t>(got);
        budget -= static_cast<std::size_t>(got);
    }
    if (written_ < image_.size()) return 0;
    // A full disk may only show when the data reaches it.
    if (::fsync(fd_) != 0 && errno != EINVAL) return fail(TqCSSAVESTATE_ERR_DISKSPACE);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        std::remove(temp_path_.c_str());
        return TqCSSAVESTATE_ERR_DISKSPACE;
    }
    if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        std::remove(temp_path_.c_str());
        return TqCSSAVESTATE_ERR_CREATEFILE;
    }
    image_ = {};
    return TqCSSAVESTATE_COMPLETE;
}

int32_t SnapshotWriter::fail(int32_t phase) {
    abandon();
    return phase;
}

void SnapshotWriter::abandon() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    std::remove(temp_path_.c_str());
    image_ = {};
}

}  // namespace tarvik::engine
