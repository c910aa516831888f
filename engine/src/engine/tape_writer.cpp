#include "engine/tape_writer.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/byte_io.h"
#include "engine/crc32.h"
#include "engine/output_file.h"

namespace tarvik::engine {
namespace {

constexpr std::size_t kFlushThreshold = 1u << 20;

void put_symbol(ByteWriter& w, const SymbolEntry& s) {
    w.put(s.text);
    w.put(s.listed_exg);
    w.put(s.session);
    w.put(s.price_type);
    w.put(s.atom);
    w.put(s.prev_close);
    w.put(static_cast<uint8_t>(s.is_option ? 1 : 0));
    if (!s.is_option) return;
    const OptionContract& o = s.option;
    w.put(o.underlying);
    w.put(o.series_chain);
    w.put(o.special_settle);
    w.put_bytes(o.date_and_strike, 2);
    w.put(o.exg_underlying);
    w.put(o.contract_unit);
    w.put(o.strike);
    w.put(o.strike_est);
    w.put(o.put_call);
    w.put(o.expiration_cycle);
    w.put(o.strike_age);
    w.put(o.strike_match);
    w.put(o.expiration_ndays);
}

// A block's section, appended to `out`: packed where that makes it
// smaller, else plain.
void append_block(std::vector<unsigned char>& out, const std::vector<TapeEvent>& events,
                  const std::vector<TapeExt>& ext, bool packed, BlockPacker& packer) {
    const EventsHead head{static_cast<uint32_t>(events.size()), static_cast<uint32_t>(ext.size()), {0, 0}};
    const std::size_t events_bytes = events.size() * sizeof(TapeEvent);
    const std::size_t ext_bytes = ext.size() * sizeof(TapeExt);
    const auto append = [&out](const void* data, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        out.insert(out.end(), p, p + n);
    };
    const std::size_t frame_bytes = packed ? packer.pack(events.data(), head.count, ext.data(), head.ext_count) : 0;
    if (frame_bytes > 0 && frame_bytes < events_bytes + ext_bytes) {
        // The CRC covers the payload as stored: the head and the frame.
        const uint32_t crc = crc32(packer.frame(), frame_bytes, crc32(&head, sizeof head));
        const SectionHead section{static_cast<uint32_t>(SectionKind::PackedEvents), crc, sizeof head + frame_bytes};
        append(&section, sizeof section);
        append(&head, sizeof head);
        append(packer.frame(), frame_bytes);
        out.resize(out.size() + (8 - frame_bytes % 8) % 8, 0);
    } else {
        uint32_t crc = crc32(&head, sizeof head);
        crc = crc32(events.data(), events_bytes, crc);
        crc = crc32(ext.data(), ext_bytes, crc);
        const SectionHead section{static_cast<uint32_t>(SectionKind::Events), crc, sizeof head + events_bytes + ext_bytes};
        append(&section, sizeof section);
        append(&head, sizeof head);
        append(events.data(), events_bytes);
        append(ext.data(), ext_bytes);  // sizes are multiples of 8: no padding
    }
}

}  // namespace

// Blocks wait in kSlots slots, taken in turn by kThreads packing threads,
// each of which packs a block into its slot's section while the writer
// fills the next. The writer runs up to kSlots blocks ahead of the packing,
// so that a slow block does not hold it up, and takes the sections back in
// the order of the slots: they reach the tape in the order of the blocks.
struct TapeWriter::PackAhead {
    static constexpr std::size_t kThreads = 2;
    static constexpr std::size_t kSlots = 6;
    struct Slot {
        std::vector<TapeEvent> events;
        std::vector<TapeExt> ext;
        std::vector<unsigned char> section;
        bool handed = false;   // holds a block whose section is not yet taken back
        bool claimed = false;  // a thread packs it, or has packed it
        bool packed = false;
        std::exception_ptr error;  // what packing it threw (no memory): the writer's to throw
    };
    std::mutex mutex;
    std::condition_variable work;    // a block to pack, or stop
    std::condition_variable packed;  // a block packed
    Slot slots[kSlots];
    std::size_t next = 0;     // the slot the next block goes to: the one handed a block longest ago
    std::size_t to_pack = 0;  // the oldest slot not yet claimed
    bool stop = false;
    BlockPacker packers[kThreads];
    std::thread threads[kThreads];

    PackAhead() {
        try {
            for (std::size_t k = 0; k < kThreads; ++k) threads[k] = std::thread([this, k] { run(packers[k]); });
        } catch (...) {
            stop_all();  // the threads that started
            throw;
        }
    }
    ~PackAhead() { stop_all(); }

    void stop_all() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        work.notify_all();
        for (std::thread& t : threads)
            if (t.joinable()) t.join();
    }

    void run(BlockPacker& packer) {
        std::unique_lock lock(mutex);
        for (;;) {
            work.wait(lock, [this] { return stop || (slots[to_pack].handed && !slots[to_pack].claimed); });
            if (stop) return;
            Slot& s = slots[to_pack];
            s.claimed = true;
            to_pack = (to_pack + 1) % kSlots;
            lock.unlock();
            s.section.clear();
            try {
                append_block(s.section, s.events, s.ext, true, packer);
            } catch (...) {
                s.error = std::current_exception();
            }
            lock.lock();
            s.packed = true;
            packed.notify_one();  // only the writer waits for it
        }
    }
};

TapeWriter::TapeWriter(TapeEncoding encoding) : packed_(encoding == TapeEncoding::Packed) {}

TapeWriter::~TapeWriter() {
    ahead_.reset();
    if (file_ != nullptr) {
        // Not finished (an exception, no memory): a temporary file goes, and
        // so does a live tape, which would otherwise look still being written.
        std::fclose(file_);
        if (live_) remove_live_file();
        else if (!direct_ && unnamed_fd_ < 0) std::remove(temp_path_.c_str());
    }
}

bool TapeWriter::open_file(const std::string& path, const TapeTables& tables, std::string& error,
                           const std::string& shown) {
    if (links_loop(path)) {
        error = "cannot create " + (shown.empty() ? path : shown) + ": " + std::strerror(ELOOP);
        return false;
    }
    direct_ = is_stream_output(path);  // a device or a pipe: written as it comes
    path_ = direct_ ? path : output_target(path);
    shown_ = shown.empty() ? path_ : shown;
    // A folder of that name would be known only at the end, once written.
    if (struct stat st {}; !direct_ && ::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot create " + shown_ + ": " + std::strerror(EISDIR);
        return false;
    }
    struct stat earlier {};
    replaces_ = !direct_ && ::stat(path_.c_str(), &earlier) == 0;
    if (direct_) {
        // Appending: standard output sent to a file (>>) keeps what it holds.
        file_ = std::fopen(path.c_str(), "ab");
    } else {
        temp_path_ = path_ + ".partial." + unique_tag();
        // Named at the end through /proc/self/fd (linkat of an unnamed file
        // needs no privilege that way).
        if (::access("/proc/self/fd", X_OK) == 0) {
            const int fd = ::open(folder_of(path_).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0) {
                file_ = ::fdopen(fd, "wb");
                if (file_ != nullptr) unnamed_fd_ = fd;
                else ::close(fd);
            }
        }
        if (file_ == nullptr) file_ = std::fopen(temp_path_.c_str(), "wb");
    }
    if (file_ == nullptr) {
        error = "cannot create " + shown_ + ": " + std::strerror(errno);
        return false;
    }
    write_tables(tables);
    if (packed_) ahead_ = std::make_unique<PackAhead>();
    return true;
}

void TapeWriter::open_memory(const TapeTables& tables) { write_tables(tables); }

bool TapeWriter::open_live(const std::string& path, const TapeTables& tables, std::string& error) {
    path_ = shown_ = path;
    live_ = true;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat named {}, opened {};
    live_file_ = ::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
                 ::fstat(::fileno(file_), &opened) == 0 && named.st_dev == opened.st_dev &&
                 named.st_ino == opened.st_ino;
    live_device_ = static_cast<uint64_t>(opened.st_dev);
    live_inode_ = static_cast<uint64_t>(opened.st_ino);
    write_tables(tables);
    return true;
}

void TapeWriter::remove_live_file() const {
    struct stat named {};
    if (live_file_ && ::lstat(path_.c_str(), &named) == 0 && static_cast<uint64_t>(named.st_dev) == live_device_ &&
        static_cast<uint64_t>(named.st_ino) == live_inode_)
        std::remove(path_.c_str());
}

void TapeWriter::end_block() { flush_block(); }

void TapeWriter::write_tables(const TapeTables& tables) {
    TapePreamble preamble{};
    std::memcpy(preamble.magic, kTapeMagic, sizeof preamble.magic);
    preamble.format_version = packed_ ? kPackedTapeFormatVersion : kPlainTapeFormatVersion;
    const auto* p = reinterpret_cast<const unsigned char*>(&preamble);
    out_.insert(out_.end(), p, p + sizeof preamble);

    ByteWriter header;
    header.put(tables.header.date_ndays);
    header.put_bytes(tables.header.permission_set, 4);
    header.put(tables.header.time_zone);
    header.put_bytes("\0\0\0", 3);
    header.put_text(tables.header.display);
    write_section(SectionKind::Header, header.bytes().data(), header.bytes().size());

    ByteWriter defined;
    for (int t = kFirstStringTable; t <= kLastStringTable; ++t) {
        defined.put(static_cast<uint32_t>(tables.defined[t].size()));
        for (const std::string& s : tables.defined[t]) defined.put_text(s);
    }
    write_section(SectionKind::DefinedStrings, defined.bytes().data(), defined.bytes().size());

    ByteWriter texts;
    texts.put(static_cast<uint32_t>(tables.texts.size()));
    for (const std::string& s : tables.texts) texts.put_text(s);
    write_section(SectionKind::Texts, texts.bytes().data(), texts.bytes().size());

    ByteWriter symbols;
    symbols.put(static_cast<uint32_t>(tables.symbols.size()));
    for (const SymbolEntry& s : tables.symbols) put_symbol(symbols, s);
    write_section(SectionKind::Symbols, symbols.bytes().data(), symbols.bytes().size());

    ByteWriter categories;
    categories.put(static_cast<uint32_t>(tables.categories.size()));
    for (const CategoryDef& c : tables.categories) {
        categories.put(c.id);
        categories.put(c.name);
        categories.put(static_cast<uint32_t>(c.fields.size()));
        for (const CategoryFieldDef& f : c.fields) {
            categories.put(f.name);
            categories.put(f.info);
            categories.put(f.type);
        }
    }
    write_section(SectionKind::Categories, categories.bytes().data(), categories.bytes().size());

    ByteWriter values;
    values.put(static_cast<uint32_t>(tables.category_values.size()));
    values.put(uint32_t{0});
    values.put_bytes(tables.category_values.data(), tables.category_values.size() * sizeof(CategoryValue));
    write_section(SectionKind::CategoryValues, values.bytes().data(), values.bytes().size());

    events_.reserve(kEventsPerBlock);
    flush_output();
}

void TapeWriter::write_section(SectionKind kind, const void* payload, std::size_t size) {
    SectionHead head{static_cast<uint32_t>(kind), crc32(payload, size), size};
    const auto* h = reinterpret_cast<const unsigned char*>(&head);
    out_.insert(out_.end(), h, h + sizeof head);
    const auto* p = static_cast<const unsigned char*>(payload);
    out_.insert(out_.end(), p, p + size);
    out_.resize(out_.size() + (8 - size % 8) % 8, 0);
}

void TapeWriter::add(const TapeEvent& event, const TapeExt* ext) {
    events_.push_back(event);
    if (event.flags & kEventHasExt) ext_.push_back(ext != nullptr ? *ext : TapeExt{});
    if (events_.size() == kEventsPerBlock) flush_block();
}

void TapeWriter::flush_block() {
    if (events_.empty()) return;
    if (ahead_) {
        take_packed();  // the next slot's block, if it has one
        {
            std::lock_guard lock(ahead_->mutex);
            PackAhead::Slot& slot = ahead_->slots[ahead_->next];
            std::swap(events_, slot.events);
            std::swap(ext_, slot.ext);
            slot.handed = true;
            slot.claimed = false;
            slot.packed = false;
            ahead_->next = (ahead_->next + 1) % PackAhead::kSlots;
        }
        ahead_->work.notify_one();
    } else {
        append_block(out_, events_, ext_, packed_, packer_);
    }
    events_.clear();
    ext_.clear();
    if (live_ || out_.size() >= kFlushThreshold) flush_output();
}

void TapeWriter::take_packed() {
    if (!ahead_) return;
    std::unique_lock lock(ahead_->mutex);
    PackAhead::Slot& slot = ahead_->slots[ahead_->next];
    if (!slot.handed) return;
    ahead_->packed.wait(lock, [&slot] { return slot.packed; });
    slot.handed = false;
    if (slot.error) std::rethrow_exception(std::exchange(slot.error, nullptr));
    out_.insert(out_.end(), slot.section.begin(), slot.section.end());
}

void TapeWriter::flush_output() {
    if (file_ == nullptr || out_.empty()) return;
    if (std::fwrite(out_.data(), 1, out_.size(), file_) != out_.size()) failed_ = true;
    if (live_ && std::fflush(file_) != 0) failed_ = true;
    out_.clear();
}

bool TapeWriter::finish(std::string& error) {
    flush_block();
    if (ahead_) {
        // The blocks still in the slots, oldest first.
        for (std::size_t k = 0; k < PackAhead::kSlots; ++k) {
            take_packed();
            ahead_->next = (ahead_->next + 1) % PackAhead::kSlots;
        }
        ahead_.reset();
    }
    write_section(SectionKind::End, nullptr, 0);
    if (file_ == nullptr) return true;
    flush_output();
    if (std::fflush(file_) != 0) failed_ = true;
    // On the disk before it is named over an earlier file, which a crash
    // then never leaves empty. A new name waits for no disk: a crash loses
    // nothing that was there before.
    if (!failed_ && !live_ && !direct_ && replaces_ && ::fdatasync(::fileno(file_)) != 0) failed_ = true;
    if (!failed_ && unnamed_fd_ >= 0) {
        // The whole tape gets its temporary name, then the tape's.
        const std::string fd_path = "/proc/self/fd/" + std::to_string(unnamed_fd_);
        std::remove(temp_path_.c_str());  // a leftover of a process that had this id before and died
        if (::linkat(AT_FDCWD, fd_path.c_str(), AT_FDCWD, temp_path_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            error = "cannot name " + temp_path_ + ": " + std::strerror(errno);
            std::fclose(file_);
            file_ = nullptr;
            return false;
        }
    }
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    if (failed_) {
        error = "cannot write " + shown_ + ": " + std::strerror(errno);
        // A live tape that could not be written whole is no tape a reader
        // should wait on: it goes, as a temporary file does.
        if (live_) remove_live_file();
        else if (!direct_) std::remove(temp_path_.c_str());
        return false;
    }
    if (live_ || direct_) return true;
    if (std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        error = "cannot rename " + temp_path_ + " to " + path_ + ": " + std::strerror(errno);
        std::remove(temp_path_.c_str());
        return false;
    }
    return true;
}

bool write_tape_file(const std::string& path, const TapeTables& tables, const std::vector<TapeEvent>& events,
                     const std::vector<TapeExt>& ext, std::string& error, TapeEncoding encoding) {
    TapeWriter writer(encoding);
    if (!writer.open_file(path, tables, error)) return false;
    std::size_t next_ext = 0;
    for (const TapeEvent& e : events) {
        const TapeExt* x = nullptr;
        if ((e.flags & kEventHasExt) && next_ext < ext.size()) x = &ext[next_ext++];
        writer.add(e, x);
    }
    return writer.finish(error);
}

}  // namespace tarvik::engine
