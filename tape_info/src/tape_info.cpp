#include "tape_info.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/crc32.h"
#include "engine/dates.h"
#include "engine/tape_format.h"
#include "engine/tape_reader.h"

namespace tarvik::tape_info {
namespace {

using engine::SectionHead;
using engine::SectionKind;

// Damaged tables make a run refuse the tape; a damaged event block stops
// it there (docs/engine.md).
constexpr int32_t kNotATape = TqAPIERR_OPEN_TAPE_FILE_FAILED;
constexpr int32_t kBadTables = TqAPIERR_NOT_SUPPORTED;
constexpr int32_t kBadBlock = TqAPIERR_EXCEPTION;

constexpr SectionKind kTableSections[] = {SectionKind::Header,     SectionKind::DefinedStrings,
                                          SectionKind::Texts,      SectionKind::Symbols,
                                          SectionKind::Categories, SectionKind::CategoryValues};
constexpr int kTableCount = static_cast<int>(std::size(kTableSections));

const char* kind_name(uint32_t kind) {
    static constexpr const char* kNames[] = {"",        "Header",     "DefinedStrings", "Texts", "Symbols",
                                             "Categories", "CategoryValues", "Events",  "End", "PackedEvents"};
    return kind < std::size(kNames) && kind > 0 ? kNames[kind] : "unknown";
}

uint64_t padded(uint64_t size) { return (size + 7) & ~uint64_t{7}; }

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// An open tape file, read with pread so that a look at the heads touches
// only the pages it needs.
class TapeFile {
public:
    ~TapeFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(const std::string& path, TapeProblem& problem) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a pipe: refused below, not waited on
        struct stat st;
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
            problem.code = kNotATape;
            problem.reason = errno == ENOENT ? "no such file" : std::string("cannot be opened: ") + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            problem.code = kNotATape;
            problem.reason = "a directory, not a tape";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            problem.code = kNotATape;
            problem.reason = "not a regular file";
            return false;
        }
        size_ = static_cast<uint64_t>(st.st_size);
        return true;
    }
    bool read(uint64_t at, void* out, std::size_t bytes) const {
        auto* p = static_cast<unsigned char*>(out);
        while (bytes > 0) {
            const ssize_t got = ::pread(fd_, p, bytes, static_cast<off_t>(at));
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                return false;
            }
            p += got, at += static_cast<uint64_t>(got), bytes -= static_cast<std::size_t>(got);
        }
        return true;
    }
    uint64_t size() const { return size_; }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Finds what a run's reader refused in one event block: the first event
// that names something outside the tables, or the extension count.
std::string block_fault(const engine::EventBlock& block, const engine::TapeTables& t) {
    uint32_t flagged = 0;
    for (uint32_t i = 0; i < block.count; ++i) {
        const engine::TapeEvent& e = block.events[i];
        const std::string event = "event " + std::to_string(i + 1) + " of " + std::to_string(block.count) + ": ";
        if (e.micros >= engine::kMicrosPerDay)
            return event + "time " + std::to_string(e.micros) + " us is past midnight";
        if (e.symbol != engine::kNone && e.symbol >= t.symbols.size())
            return event + "symbol index " + std::to_string(e.symbol) + " outside the " +
                   std::to_string(t.symbols.size()) + " symbols";
        const std::string texts = std::to_string(t.texts.size()) + " texts";
        if (e.kind == TqMSG_MMQUOTE && e.market_maker != engine::kNone && e.market_maker >= t.texts.size())
            return event + "market maker text " + std::to_string(e.market_maker) + " outside the " + texts;
        if (e.kind == TqMSG_SYMBOLCHANGE && e.symbol_change.old_symbol != engine::kNone &&
            e.symbol_change.old_symbol >= t.symbols.size())
            return event + "old symbol index " + std::to_string(e.symbol_change.old_symbol) + " outside the " +
                   std::to_string(t.symbols.size()) + " symbols";
        if (e.kind == TqMSG_CATEGORY) {
            const engine::CategoryEventBody& c = e.category;
            if (c.category >= t.categories.size())
                return event + "category index " + std::to_string(c.category) + " outside the " +
                       std::to_string(t.categories.size()) + " categories";
            const std::size_t fields = t.categories[c.category].fields.size();
            if (c.first_value > t.category_values.size() || fields > t.category_values.size() - c.first_value)
                return event + "its " + std::to_string(fields) + " category values from " +
                       std::to_string(c.first_value) + " run past the " + std::to_string(t.category_values.size()) +
                       " category values";
            for (std::size_t f = 0; f < fields; ++f) {
                const uint8_t type = t.categories[c.category].fields[f].type;
                const engine::CategoryValue& v = t.category_values[c.first_value + f];
                uint32_t text;
                std::memcpy(&text, v.value, sizeof text);
                if ((type == TqCFT_STRINGZ || type == TqCFT_TqSTRING) && v.set && text >= t.texts.size())
                    return event + "field " + std::to_string(f + 1) + " names text " + std::to_string(text) +
                           " outside the " + texts;
            }
        }
        flagged += e.flags & engine::kEventHasExt;
    }
    if (flagged != block.ext_count)
        return std::to_string(flagged) + " events flagged with an extension, but " + std::to_string(block.ext_count) +
               " extensions";
    return "an event names a text, category value or old symbol outside the tables";
}

class Inspection {
public:
    Inspection(const std::string& path, Scope scope, TapeInfo& info, TapeProblem& problem)
        : scope_(scope), info_(info), problem_(problem) {
        info_ = TapeInfo{};
        problem_ = TapeProblem{};
        info_.path = problem_.path = path;
    }

    bool run() {
        if (!file_.open(info_.path, problem_)) return false;
        info_.size = file_.size();
        if (!preamble()) return false;
        uint64_t pos = sizeof(engine::TapePreamble);
        int section = 1;
        // The tables, in their fixed order.
        for (; section <= kTableCount; ++section) {
            const SectionKind kind = kTableSections[section - 1];
            SectionHead head;
            if (!head_at(pos, section, kind_name(static_cast<uint32_t>(kind)), kBadTables, head)) return false;
            if (head.kind != static_cast<uint32_t>(kind))
                return fail(kBadTables, section, kind_name(static_cast<uint32_t>(kind)), pos,
                            std::string(head.kind < 1 || head.kind > 9 ? "an " : "a ") + kind_name(head.kind) +
                                " section (kind " + std::to_string(head.kind) +
                                ") where the " + kind_name(static_cast<uint32_t>(kind)) + " section belongs");
            std::vector<unsigned char> payload(head.length);
            if (!file_.read(pos + sizeof head, payload.data(), payload.size()))
                return fail(kBadTables, section, kind_name(head.kind), pos, "cannot be read");
            if (!crc_matches(payload.data(), payload.size(), head, section, kind_name(head.kind), pos, kBadTables) ||
                !padding_is_zero(pos, head, section, kind_name(head.kind), kBadTables))
                return false;
            if (pos + sizeof head + padded(head.length) > file_.size())
                return fail(kBadTables, section, kind_name(head.kind), pos,
                            "truncated at byte " + grouped(file_.size()) +
                                ": in the zeros after the payload that bring the section to a multiple of 8 bytes");
            pos += sizeof head + padded(head.length);
        }
        if (!tables(pos)) return false;
        // The event blocks, then the End section.
        for (;; ++section) {
            if (pos == file_.size()) {
                note_last_event();
                if (scope_ == Scope::Heads) return true;  // a live tape, or one cut at a section's end
                return fail(kBadBlock, 0, "", pos,
                            "truncated at byte " + grouped(pos) + ": no End section after " +
                                grouped(info_.events) + " events in " + grouped(info_.blocks) + " blocks");
            }
            // The head as far as it is there: a head cut short is named by
            // its kind where the kind is there.
            SectionHead there{};
            const uint64_t there_bytes = std::min<uint64_t>(file_.size() - pos, sizeof there);
            const bool read = file_.read(pos, &there, there_bytes);
            const bool end_there = read && there_bytes >= sizeof there.kind &&
                                   there.kind == static_cast<uint32_t>(SectionKind::End);
            const std::string name = end_there ? "End" : "Events block " + std::to_string(info_.blocks + 1);
            if (scope_ == Scope::Heads && !whole_section_at(pos)) {
                // A live tape's writer puts a block on the disk in pieces:
                // the last one may be there only in part (its head zeros,
                // where the file was extended first). A head of another
                // kind, or longer than any block, is damage, as a replay
                // of the live tape takes it.
                if (read && there_bytes == sizeof there && !engine::unwritten(there)) {
                    if (!end_there && !events_kind(there.kind)) return misplaced(there.kind, section, name, pos);
                    if (!end_there && there.length > engine::kMaxBlockBytes)
                        return fail(kBadBlock, section, name, pos,
                                    "its head says " + grouped(there.length) + " bytes, more than any block holds (" +
                                        grouped(engine::kMaxBlockBytes) + ")");
                }
                note_last_event();
                return true;
            }
            SectionHead head;
            if (!head_at(pos, section, name, kBadBlock, head)) return false;
            if (scope_ == Scope::Heads && engine::unwritten(head)) {
                // Zeros where a head belongs: a live tape's writer extended
                // the file before it filled it, as a replay of it waits.
                note_last_event();
                return true;
            }
            if (head.kind == static_cast<uint32_t>(SectionKind::End)) {
                // Empty, so its CRC is that of nothing. One that holds
                // something is damage a run refuses too (a block's head
                // whose kind lost a bit), not the end of the tape.
                if (head.length != 0 || (scope_ == Scope::Everything && head.crc != engine::crc32(nullptr, 0)))
                    return fail(kBadBlock, section, "End", pos,
                                "the End section holds nothing and its CRC-32 is 00000000, but its head says " +
                                    std::to_string(head.length) + " bytes and CRC-32 " + hex32(head.crc));
                info_.complete = true;
                note_last_event();
                const uint64_t end = pos + sizeof head;
                if (scope_ == Scope::Everything && end < file_.size())
                    return fail(kBadBlock, section, "End", pos,
                                grouped(file_.size() - end) + " bytes follow the End section, which ends the tape");
                break;
            }
            if (!events_kind(head.kind)) return misplaced(head.kind, section, name, pos);
            if (!block(pos, head, section, name) || !padding_is_zero(pos, head, section, name, kBadBlock)) return false;
            pos = std::min(pos + sizeof head + padded(head.length), file_.size());
        }
        return scope_ == Scope::Heads || check_events();
    }

private:
    bool fail(int32_t code, int section, std::string section_name, uint64_t offset, std::string reason) {
        problem_.code = code;
        problem_.section = section;
        problem_.section_name = std::move(section_name);
        problem_.offset = offset;
        problem_.reason = std::move(reason);
        return false;
    }

    bool preamble() {
        engine::TapePreamble p{};
        const std::size_t have = static_cast<std::size_t>(std::min<uint64_t>(file_.size(), sizeof p));
        if (have == 0) return fail(kNotATape, 0, "", 0, "an empty file, not a tape");
        if (!file_.read(0, &p, have)) return fail(kNotATape, 0, "", 0, "cannot be read");
        if (std::memcmp(p.magic, engine::kTapeMagic, std::min(have, sizeof p.magic)) != 0)
            return fail(kNotATape, 0, "", 0, "not a tape: it does not start with \"TARVIKTP\"");
        if (have < sizeof p)
            return fail(kNotATape, 0, "", 0,
                        "truncated at byte " + grouped(have) + ": a tape's preamble takes 16 bytes");
        info_.format_version = p.format_version;
        if (scope_ == Scope::Everything && p.flags != 0)
            return fail(kBadTables, 0, "", 12, "the preamble's flags are " + hex32(p.flags) + ", a tape's are 0");
        if (p.format_version == 0 || p.format_version > engine::kTapeFormatVersion)
            return fail(p.format_version > engine::kTapeFormatVersion ? TqAPIERR_UNSUPPORTED_API : kBadTables, 0, "",
                        8,
                        "format version " + std::to_string(p.format_version) + ", but this build reads " +
                            (engine::kTapeFormatVersion == 1
                                 ? std::string("version 1")
                                 : "versions 1 to " + std::to_string(engine::kTapeFormatVersion)));
        return true;
    }

    // Checking every byte: the zeros after a section's payload that bring
    // it to a multiple of 8 bytes are zeros.
    bool padding_is_zero(uint64_t pos, const SectionHead& head, int section, const std::string& name, int32_t code) {
        if (scope_ != Scope::Everything) return true;
        const uint64_t from = pos + sizeof head + head.length;
        const uint64_t to = std::min(pos + sizeof head + padded(head.length), file_.size());
        unsigned char pad[8] = {};
        if (to <= from) return true;
        if (!file_.read(from, pad, to - from)) return fail(code, section, name, pos, "cannot be read");
        for (uint64_t k = 0; k < to - from; ++k)
            if (pad[k] != 0)
                return fail(code, section, name, pos,
                            "the padding after the payload holds a byte other than 0 at byte " + grouped(from + k));
        return true;
    }

    // An events block's kind: plain, or packed where the format has them.
    bool events_kind(uint32_t kind) const {
        return kind == static_cast<uint32_t>(SectionKind::Events) ||
               (kind == static_cast<uint32_t>(SectionKind::PackedEvents) &&
                info_.format_version >= engine::kPackedTapeFormatVersion);
    }

    bool misplaced(uint32_t kind, int section, const std::string& name, uint64_t pos) {
        return fail(kBadBlock, section, name, pos,
                    "a section of kind " + std::to_string(kind) + " (" + kind_name(kind) +
                        ") where an Events or the End section belongs");
    }

    // The section at `pos` is on the disk whole, head and payload.
    bool whole_section_at(uint64_t pos) {
        SectionHead head;
        const uint64_t left = file_.size() - pos;
        return left >= sizeof head && file_.read(pos, &head, sizeof head) && head.length <= left - sizeof head;
    }

    // Reads the head of a section and checks that its payload is there.
    bool head_at(uint64_t pos, int section, const std::string& name, int32_t code, SectionHead& head) {
        const uint64_t left = file_.size() - pos;
        if (left < sizeof head)
            return fail(code, section, name, pos,
                        "truncated at byte " + grouped(file_.size()) + ": the section's head takes 16 bytes, " +
                            grouped(left) + " are there");
        if (!file_.read(pos, &head, sizeof head)) return fail(code, section, name, pos, "cannot be read");
        if (head.length > left - sizeof head)
            return fail(code, section, name, pos,
                        "truncated at byte " + grouped(file_.size()) + ": the section needs " +
                            (head.length > UINT64_MAX - sizeof head
                                 ? grouped(head.length) + " bytes after its head, " + grouped(left - sizeof head)
                                 : grouped(sizeof head + head.length) + " bytes, " + grouped(left)) +
                            " are there");
        return true;
    }

    bool crc_matches(const unsigned char* payload, std::size_t size, const SectionHead& head, int section,
                     const std::string& name, uint64_t pos, int32_t code) {
        const uint32_t crc = engine::crc32(payload, size);
        if (crc == head.crc) return true;
        return fail(code, section, name, pos,
                    "CRC mismatch: the payload's CRC-32 is " + hex32(crc) + ", its head says " + hex32(head.crc));
    }

    // The tables through the engine's own reader: date, time zone, symbols.
    bool tables(uint64_t end) {
        tables_bytes_.resize((end + 7) / 8);
        auto* bytes = reinterpret_cast<unsigned char*>(tables_bytes_.data());
        if (!file_.read(0, bytes, end)) return fail(kBadTables, 0, "", 0, "cannot be read");
        engine::TapeReader reader;
        if (reader.open(bytes, end, false, tables_) != 0) {
            const int section = reader.bad_table() != 0 ? reader.bad_table() : 1;
            const uint64_t at = reader.bad_table() != 0 ? reader.bad_table_offset() : sizeof(engine::TapePreamble);
            uint32_t date = 0;  // the Header's first field
            if (section == 1 && at + sizeof(SectionHead) + sizeof date <= end)
                std::memcpy(&date, bytes + at + sizeof(SectionHead), sizeof date);
            if (date > engine::ndays_from_ymd(engine::kLastYear, 12, 31))
                return fail(kBadTables, 1, "Header", at,
                            "the date is day " + std::to_string(date) +
                                " after 1883-01-01, past 9999-12-31, the last day a tape holds");
            return fail(kBadTables, section, kind_name(static_cast<uint32_t>(kTableSections[section - 1])), at,
                        "a count, length or index in the section does not hold");
        }
        const engine::TapeHeader& h = tables_.header;
        info_.date_ndays = h.date_ndays;
        info_.time_zone = h.time_zone;
        info_.display = h.display;
        for (const engine::SymbolEntry& s : tables_.symbols) ++(s.is_option ? info_.options : info_.symbols);
        return true;
    }

    // One Events section: its counts from the head of its payload, the
    // first and last times, and with Scope::Everything its CRC.
    bool block(uint64_t pos, const SectionHead& head, int section, const std::string& name) {
        uint32_t counts[2] = {0, 0};
        if (head.length < 16 || !file_.read(pos + sizeof head, counts, sizeof counts))
            return fail(kBadBlock, section, name, pos,
                        "the section is " + std::to_string(head.length) + " bytes, too short for an event block");
        const uint64_t raw =
            16 + uint64_t{counts[0]} * sizeof(engine::TapeEvent) + uint64_t{counts[1]} * sizeof(engine::TapeExt);
        // A packed block is smaller than its events.
        const bool packed = head.kind == static_cast<uint32_t>(SectionKind::PackedEvents);
        if (counts[0] == 0 || counts[0] > engine::kEventsPerBlock || counts[1] > counts[0] ||
            (packed ? head.length > raw : head.length != raw))
            return fail(kBadBlock, section, name, pos,
                        "its counts (" + std::to_string(counts[0]) + " events, " + std::to_string(counts[1]) +
                            " extensions) do not match its length of " + grouped(head.length) + " bytes");
        if (info_.blocks == 0) info_.first_micros = event_micros(pos, 0);
        last_block_ = pos;
        last_block_count_ = counts[0];
        info_.events += counts[0];
        ++info_.blocks;
        if (scope_ == Scope::Heads) return true;
        block_bytes_.resize(head.length);
        if (!file_.read(pos + sizeof head, block_bytes_.data(), block_bytes_.size()))
            return fail(kBadBlock, section, name, pos, "cannot be read");
        return crc_matches(block_bytes_.data(), block_bytes_.size(), head, section, name, pos, kBadBlock);
    }

    // The time of event `index` of the block at `pos`; a packed block is
    // inflated for it (only the first and the last block are asked).
    // kUnknownTime when the block cannot be read or inflated.
    uint64_t event_micros(uint64_t pos, uint32_t index) {
        constexpr uint64_t kUnknown = TapeInfo::kUnknownTime;
        SectionHead head{};
        uint32_t counts[2] = {0, 0};
        if (file_.read(pos, &head, sizeof head) && head.kind == static_cast<uint32_t>(SectionKind::PackedEvents) &&
            head.length > 16 && file_.read(pos + sizeof head, counts, sizeof counts)) {
            packed_bytes_.resize(head.length - 16);
            if (!file_.read(pos + sizeof head + 16, packed_bytes_.data(), packed_bytes_.size())) return kUnknown;
            const unsigned char* events =
                inflater_.inflate(packed_bytes_.data(), packed_bytes_.size(), counts[0], counts[1]);
            if (events == nullptr || index >= counts[0]) return kUnknown;
            uint64_t micros = 0;
            std::memcpy(&micros, events + uint64_t{index} * sizeof(engine::TapeEvent), sizeof micros);
            return of_day(micros);
        }
        uint64_t micros = 0;
        if (!file_.read(pos + sizeof(SectionHead) + 16 + uint64_t{index} * sizeof(engine::TapeEvent), &micros,
                        sizeof micros))
            return kUnknown;
        return of_day(micros);
    }

    // A time read without the block's CRC: unknown where damage put it
    // past the day, as a run refuses such an event.
    static uint64_t of_day(uint64_t micros) {
        return micros < engine::kMicrosPerDay ? micros : TapeInfo::kUnknownTime;
    }

    void note_last_event() {
        if (info_.blocks > 0) info_.last_micros = event_micros(last_block_, last_block_count_ - 1);
    }

    // Every event through the engine's reader, as a run reads them.
    bool check_events() {
        engine::TapeBytes bytes;
        errno = 0;
        if (bytes.map_file(info_.path.c_str()) != 0)
            return fail(kNotATape, 0, "", 0,
                        std::string("cannot be mapped") + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
        engine::TapeTables tables;
        engine::TapeReader reader;
        if (reader.open(bytes.data(), bytes.size(), false, tables) != 0)
            return fail(kBadTables, 1, "tables", sizeof(engine::TapePreamble), "the tables changed while being read");
        for (uint32_t block = 1;; ++block) {
            const std::size_t at = reader.position();
            engine::EventBlock events;  // filled before the reader checks its indexes
            const int32_t got = reader.next_block(events);
            if (got == 0) return true;
            if (got != 1)
                return fail(got, kTableCount + static_cast<int>(block), "Events block " + std::to_string(block), at,
                            events.events != nullptr
                                ? block_fault(events, tables)
                                : "the block's events cannot be read from it (a packed frame that does not "
                                  "inflate to the size its head gives, or a count its length does not hold)");
        }
    }

    Scope scope_;
    TapeInfo& info_;
    TapeProblem& problem_;
    TapeFile file_;
    engine::TapeTables tables_;
    std::vector<uint64_t> tables_bytes_;  // 8-aligned, as the reader reads in place
    std::vector<unsigned char> block_bytes_;
    std::vector<unsigned char> packed_bytes_;
    engine::BlockInflater inflater_;
    uint64_t last_block_ = 0;  // the last event block seen, and its events
    uint32_t last_block_count_ = 0;
};

}  // namespace

std::string TapeProblem::message() const {
    std::string out = path + ": ";
    if (section > 0)
        out += "section " + std::to_string(section) + " (" + section_name + ") at byte " + grouped(offset) + ": ";
    else if (offset > 0 && reason.rfind("truncated", 0) != 0)
        out += "at byte " + grouped(offset) + ": ";
    return out + reason;
}

bool inspect_tape(const std::string& path, Scope scope, TapeInfo& info, TapeProblem& problem) {
    return Inspection(path, scope, info, problem).run();
}

std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string time_of_day_text(uint64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu.%06llu",
                  static_cast<unsigned long long>(micros / 3'600'000'000ull),
                  static_cast<unsigned long long>(micros / 60'000'000ull % 60),
                  static_cast<unsigned long long>(micros / 1'000'000ull % 60),
                  static_cast<unsigned long long>(micros % 1'000'000ull));
    return text;
}

}  // namespace tarvik::tape_info
