#include "engine/tape_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/byte_io.h"
#include "engine/crc32.h"
#include "engine/dates.h"
#include "engine/mapped_copy.h"

namespace tarvik::engine {
namespace {

// Damaged tables: the tape cannot be used at all.
constexpr int32_t kBadTables = TqAPIERR_NOT_SUPPORTED;
// Damaged event block: the events before it have been delivered.
constexpr int32_t kBadBlock = TqAPIERR_EXCEPTION;
// A block that could not be read for want of memory (a process limit): not
// the tape's fault.
constexpr int32_t kNoMemory = TqAPIERR_INITALLOC_ERROR;
constexpr std::size_t kMaxHeaderBytes = 1u << 20;

std::size_t padded(uint64_t size) { return static_cast<std::size_t>((size + 7) & ~uint64_t{7}); }

bool valid_text(uint32_t index, const TapeTables& t) { return index < t.texts.size(); }
bool valid_text_or_none(uint32_t index, const TapeTables& t) { return index == kNone || index < t.texts.size(); }

// Reads one section head at `pos` and checks that its payload is there.
bool section_at(const unsigned char* data, std::size_t size, std::size_t pos, SectionHead& head) {
    if (size - pos < sizeof(SectionHead)) return false;
    std::memcpy(&head, data + pos, sizeof head);
    return head.length <= size - pos - sizeof(SectionHead);
}

bool check_preamble(const unsigned char* data, std::size_t size, int32_t& result, uint32_t* version = nullptr) {
    TapePreamble preamble;
    if (size < sizeof preamble) {
        result = TqAPIERR_OPEN_TAPE_FILE_FAILED;
        return false;
    }
    std::memcpy(&preamble, data, sizeof preamble);
    if (std::memcmp(preamble.magic, kTapeMagic, sizeof preamble.magic) != 0) {
        result = TqAPIERR_OPEN_TAPE_FILE_FAILED;
        return false;
    }
    if (preamble.format_version < kPlainTapeFormatVersion || preamble.format_version > kTapeFormatVersion) {
        result = preamble.format_version > kTapeFormatVersion ? TqAPIERR_UNSUPPORTED_API : kBadTables;
        return false;
    }
    if (version != nullptr) *version = preamble.format_version;
    return true;
}

bool parse_header(ByteReader& r, TapeHeader& h) {
    h.date_ndays = r.get<uint32_t>();
    if (h.date_ndays > ndays_from_ymd(kLastYear, 12, 31)) return false;  // past any day a date record holds
    r.get_bytes(h.permission_set, 4);
    h.time_zone = r.get<int8_t>();
    char pad[3];
    r.get_bytes(pad, 3);
    h.display = r.get_text();
    return !r.failed();
}

bool parse_defined(ByteReader& r, TapeTables& t) {
    for (int table = kFirstStringTable; table <= kLastStringTable; ++table) {
        uint32_t count = r.get<uint32_t>();
        if (!r.can_hold(count, 4)) return false;
        t.defined[table].resize(count);
        for (std::string& s : t.defined[table]) s = r.get_text();
    }
    return !r.failed();
}

bool parse_texts(ByteReader& r, TapeTables& t) {
    uint32_t count = r.get<uint32_t>();
    if (!r.can_hold(count, 4)) return false;
    t.texts.resize(count);
    for (std::string& s : t.texts) s = r.get_text();
    return !r.failed();
}

bool parse_symbols(ByteReader& r, TapeTables& t) {
    uint32_t count = r.get<uint32_t>();
    if (!r.can_hold(count, 17) || count == kNone) return false;
    t.symbols.resize(count);
    for (SymbolEntry& s : t.symbols) {
        s.text = r.get<uint32_t>();
        s.listed_exg = r.get<uint16_t>();
        s.session = r.get<uint8_t>();
        s.price_type = r.get<uint8_t>();
        s.atom = r.get<uint32_t>();
        s.prev_close = r.get<int32_t>();
        uint8_t is_option = r.get<uint8_t>();
        if (is_option > 1 || !valid_text(s.text, t)) return false;
        s.is_option = is_option == 1;
        if (!s.is_option) continue;
        OptionContract& o = s.option;
        o.underlying = r.get<uint32_t>();
        o.series_chain = r.get<uint32_t>();
        o.special_settle = r.get<uint32_t>();
        r.get_bytes(o.date_and_strike, 2);
        o.exg_underlying = r.get<uint16_t>();
        o.contract_unit = r.get<uint16_t>();
        o.strike = r.get<int32_t>();
        o.strike_est = r.get<int32_t>();
        o.put_call = r.get<uint8_t>();
        o.expiration_cycle = r.get<uint8_t>();
        o.strike_age = r.get<uint8_t>();
        o.strike_match = r.get<uint8_t>();
        o.expiration_ndays = r.get<uint32_t>();
        if (!valid_text_or_none(o.underlying, t) || !valid_text_or_none(o.series_chain, t) ||
            !valid_text_or_none(o.special_settle, t))
            return false;
    }
    return !r.failed();
}

bool parse_categories(ByteReader& r, TapeTables& t) {
    uint32_t count = r.get<uint32_t>();
    if (!r.can_hold(count, 10)) return false;
    t.categories.resize(count);
    for (CategoryDef& c : t.categories) {
        c.id = r.get<uint16_t>();
        c.name = r.get<uint32_t>();
        uint32_t fields = r.get<uint32_t>();
        if (fields > 0xFFFF || !r.can_hold(fields, 9) || !valid_text(c.name, t)) return false;
        c.fields.resize(fields);
        for (CategoryFieldDef& f : c.fields) {
            f.name = r.get<uint32_t>();
            f.info = r.get<uint32_t>();
            f.type = r.get<uint8_t>();
            if (!valid_text(f.name, t) || !valid_text_or_none(f.info, t)) return false;
        }
    }
    return !r.failed();
}

bool parse_category_values(ByteReader& r, TapeTables& t) {
    uint32_t count = r.get<uint32_t>();
    r.get<uint32_t>();
    if (!r.can_hold(count, sizeof(CategoryValue))) return false;
    t.category_values.resize(count);
    r.get_bytes(t.category_values.data(), count * sizeof(CategoryValue));
    return !r.failed();
}

}  // namespace

TapeBytes::~TapeBytes() { unmap(); }

void TapeBytes::unmap() {
    if (mapping_ != nullptr) ::munmap(mapping_, size_);
    mapping_ = nullptr;
    data_ = nullptr;
    size_ = released_ = 0;
}

void TapeBytes::release(std::size_t from, std::size_t to) {
    if (mapping_ == nullptr || data_ != mapping_) return;
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t start = (std::max(from, released_) + page - 1) / page * page;
    const std::size_t end = std::min(to, size_) / page * page;
    if (end < start || end - start < kReleaseStep) return;
    ::madvise(static_cast<unsigned char*>(mapping_) + start, end - start, MADV_DONTNEED);
    released_ = end;
}

int32_t TapeBytes::map_file(const char* path) {
    // Without O_NONBLOCK, opening a pipe waits for a writer: it is refused
    // below as no regular file, at once.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(sizeof(TapePreamble))) {
        ::close(fd);
        return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    }
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    const int mapping_error = errno;
    ::close(fd);
    // No room for the mapping (a limit on the process's memory) is not the
    // file's fault.
    if (p == MAP_FAILED) return mapping_error == ENOMEM ? kNoMemory : TqAPIERR_OPEN_TAPE_FILE_FAILED;
    ::madvise(p, static_cast<std::size_t>(st.st_size), MADV_SEQUENTIAL);
    mapping_ = p;
    data_ = static_cast<const unsigned char*>(p);
    size_ = static_cast<std::size_t>(st.st_size);
    released_ = 0;
    device_ = static_cast<uint64_t>(st.st_dev);
    inode_ = static_cast<uint64_t>(st.st_ino);
    return 0;
}

void TapeBytes::borrow(const unsigned char* data, std::size_t size) {
    data_ = data;
    size_ = size;
}

int32_t TapeReader::open(const unsigned char* data, std::size_t size, bool check_crc, TapeTables& tables) {
    data_ = data;
    size_ = size;
    check_crc_ = check_crc;
    tables_ = &tables;
    int32_t result = 0;
    format_version_ = 0;
    bad_table_ = 0;
    bad_table_offset_ = 0;
    if (data == nullptr || !check_preamble(data, size, result, &format_version_)) return result ? result : kBadTables;
    if (reinterpret_cast<uintptr_t>(data) % alignof(TapeEvent) != 0) return TqAPIERR_BAD_PARAMETERS;

    using Parser = bool (*)(ByteReader&, TapeTables&);
    static constexpr struct {
        SectionKind kind;
        Parser parse;
    } kTableSections[] = {
        {SectionKind::Header, [](ByteReader& r, TapeTables& t) { return parse_header(r, t.header); }},
        {SectionKind::DefinedStrings, parse_defined},
        {SectionKind::Texts, parse_texts},
        {SectionKind::Symbols, parse_symbols},
        {SectionKind::Categories, parse_categories},
        {SectionKind::CategoryValues, parse_category_values},
    };
    std::size_t pos = sizeof(TapePreamble);
    int ordinal = 0;
    for (const auto& section : kTableSections) {
        ++ordinal;
        const auto bad = [&] {
            bad_table_ = ordinal;
            bad_table_offset_ = pos;
            return kBadTables;
        };
        SectionHead head;
        if (!section_at(data, size, pos, head) || head.kind != static_cast<uint32_t>(section.kind)) return bad();
        const unsigned char* payload = data + pos + sizeof head;
        if (check_crc && crc32(payload, head.length) != head.crc) return bad();
        ByteReader reader(payload, head.length);
        if (!section.parse(reader, tables) || !reader.at_end()) return bad();
        pos += sizeof head + padded(head.length);
        if (pos > size) pos = size;
    }
    first_block_ = pos_ = pos;
    return 0;
}

int32_t TapeReader::next_block(EventBlock& block) {
    std::size_t next = 0;
    const int32_t got = read_block_from(pos_, block, next, inflater_);
    if (got == 1) pos_ = next;
    return got;
}

bool TapeReader::head_at(std::size_t position, SectionHead& head) const {
    return position <= size_ && size_ - position >= sizeof head && copy_mapped(&head, data_ + position, sizeof head) &&
           head.length <= size_ - position - sizeof head;
}

int32_t TapeReader::read_block_from(std::size_t position, EventBlock& block, std::size_t& next,
                                    BlockInflater& inflater, unsigned char* room) const {
    if (position > size_) return kBadBlock;
    std::size_t length = 0;
    const int32_t got = read_block_at(data_ + position, size_ - position, block, length, inflater, room);
    if (got == 1) next = position + length;
    return got;
}

bool TapeReader::next_position(std::size_t position, std::size_t& next) const {
    SectionHead head;
    if (!head_at(position, head) ||
        head.kind == static_cast<uint32_t>(SectionKind::End))
        return false;
    next = position + std::min(sizeof head + padded(head.length), size_ - position);
    return true;
}

int32_t TapeReader::end_section(const SectionHead& head) const {
    return head.length == 0 && (!check_crc_ || head.crc == crc32(nullptr, 0)) ? 0 : kBadBlock;
}

int32_t TapeReader::read_block_at(const unsigned char* at, std::size_t available, EventBlock& block,
                                  std::size_t& length, BlockInflater& inflater, unsigned char* room) const {
    // Every byte is copied out of the tape before it is looked at: another
    // program writing over the file then changes nothing that was checked,
    // and one cutting it short makes a cut block.
    SectionHead head;
    if (available < sizeof head || !copy_mapped(&head, at, sizeof head)) return kBadBlock;
    if (head.length > available - sizeof head) return kBadBlock;  // truncated: no End section
    if (head.kind == static_cast<uint32_t>(SectionKind::End)) return end_section(head);
    const bool packed_block = head.kind == static_cast<uint32_t>(SectionKind::PackedEvents) && packed();
    if ((!packed_block && head.kind != static_cast<uint32_t>(SectionKind::Events)) || head.length < sizeof(EventsHead))
        return kBadBlock;
    const unsigned char* payload = at + sizeof head;
    EventsHead counts;
    if (!copy_mapped(&counts, payload, sizeof counts)) return kBadBlock;
    if (counts.count == 0 || counts.count > kEventsPerBlock || counts.ext_count > counts.count) return kBadBlock;
    const uint64_t raw = uint64_t{counts.count} * sizeof(TapeEvent) + uint64_t{counts.ext_count} * sizeof(TapeExt);
    // A packed block is stored only when it is smaller than its events.
    if (packed_block ? head.length > sizeof counts + raw : head.length != sizeof counts + raw) return kBadBlock;
    const std::size_t stored = static_cast<std::size_t>(head.length - sizeof counts);
    unsigned char* copy = packed_block ? inflater.frame_room() : inflater.room(room);
    if (copy == nullptr) return kNoMemory;
    if (!copy_mapped(copy, payload + sizeof counts, stored)) return kBadBlock;
    if (check_crc_ && crc32(copy, stored, crc32(&counts, sizeof counts)) != head.crc) return kBadBlock;
    const unsigned char* events =
        packed_block ? inflater.inflate(copy, stored, counts.count, counts.ext_count, room) : copy;
    if (events == nullptr) return inflater.out_of_memory() ? kNoMemory : kBadBlock;
    block.events = reinterpret_cast<const TapeEvent*>(events);
    block.count = counts.count;
    block.ext = reinterpret_cast<const TapeExt*>(events + counts.count * sizeof(TapeEvent));
    block.ext_count = counts.ext_count;
    if (int32_t bad = check_block(block)) return bad;
    length = std::min(sizeof head + padded(head.length), available);
    return 1;
}

bool TapeReader::section_ordinal(std::size_t position, uint32_t& ordinal) const {
    std::size_t pos = first_block_;
    uint32_t count = 0;
    while (pos < position) {
        SectionHead head;
        if (!head_at(pos, head) || head.kind == static_cast<uint32_t>(SectionKind::End)) return false;
        pos += sizeof head + padded(head.length);
        ++count;
    }
    SectionHead head;
    if (pos != position || !head_at(pos, head)) return false;
    ordinal = count;
    return true;
}

int32_t TapeReader::check_block(const EventBlock& block) const {
    const TapeTables& t = *tables_;
    const std::size_t symbols = t.symbols.size();
    uint32_t flagged = 0;
    for (uint32_t i = 0; i < block.count; ++i) {
        const TapeEvent& e = block.events[i];
        if (e.micros >= kMicrosPerDay) return kBadBlock;
        if (e.symbol != kNone && e.symbol >= symbols) return kBadBlock;
        flagged += e.flags & kEventHasExt;
        switch (e.kind) {
        case TqMSG_MMQUOTE:
            if (!valid_text_or_none(e.market_maker, t)) return kBadBlock;
            break;
        case TqMSG_SYMBOLCHANGE:
            if (e.symbol_change.old_symbol != kNone && e.symbol_change.old_symbol >= symbols) return kBadBlock;
            break;
        case TqMSG_CATEGORY: {
            const CategoryEventBody& c = e.category;
            if (c.category >= t.categories.size()) return kBadBlock;
            const CategoryDef& def = t.categories[c.category];
            if (c.first_value > t.category_values.size() ||
                def.fields.size() > t.category_values.size() - c.first_value)
                return kBadBlock;
            for (std::size_t f = 0; f < def.fields.size(); ++f) {
                const uint8_t type = def.fields[f].type;
                if (type != TqCFT_STRINGZ && type != TqCFT_TqSTRING) continue;
                const CategoryValue& v = t.category_values[c.first_value + f];
                uint32_t text;
                std::memcpy(&text, v.value, sizeof text);
                if (v.set && !valid_text(text, t)) return kBadBlock;
            }
            break;
        }
        default:
            break;
        }
    }
    return flagged == block.ext_count ? 0 : kBadBlock;
}

int32_t read_tape_header(const char* path, TapeHeader& header) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a pipe: refused, not waited on
    if (fd < 0) return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    }
    const auto read_at = [fd](void* out, std::size_t size, off_t at) {
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::pread(fd, static_cast<char*>(out) + got, size - got, at + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    };
    unsigned char start[sizeof(TapePreamble) + sizeof(SectionHead)];
    const std::size_t got = read_at(start, sizeof start, 0);
    int32_t result = 0;
    SectionHead head;
    if (got < sizeof(TapePreamble) || !check_preamble(start, got, result)) {
        ::close(fd);
        return result ? result : TqAPIERR_OPEN_TAPE_FILE_FAILED;
    }
    std::memcpy(&head, start + sizeof(TapePreamble), sizeof head);
    if (got != sizeof start || head.kind != static_cast<uint32_t>(SectionKind::Header) ||
        head.length > kMaxHeaderBytes) {
        ::close(fd);
        return kBadTables;
    }
    std::vector<unsigned char> payload(head.length);
    const bool read_all = read_at(payload.data(), payload.size(), static_cast<off_t>(sizeof start)) == payload.size();
    ::close(fd);
    if (!read_all || crc32(payload.data(), payload.size()) != head.crc) return kBadTables;
    ByteReader reader(payload.data(), payload.size());
    if (!parse_header(reader, header) || !reader.at_end()) return kBadTables;
    return 0;
}

}  // namespace tarvik::engine
