// The run's symbol directory: a string record per symbol text and listed
// exchange, an option header per contract, the texts and categories the
// messages point at, and the defined strings. Everything is made when the
// day starts and keeps its address for the run: clients hold the pointers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/huge_pages.h"
#include "engine/string_arena.h"
#include "engine/tape_format.h"
#include "tarvik/library.h"

namespace tarvik::engine {

// One symbol directory entry at run time. A symbol's state in its own
// session has the same index in the market book.
struct SymbolSlot {
    TqStringRecord* record = nullptr;        // the symbol (an option's root), per (text, listed exchange)
    TqOptionHdrRecord* option = nullptr;     // option contracts only
    uint32_t record_atom = 0;                // full atom of `record`
    uint16_t listed_exg = 0;
    uint8_t session = 0;
    bool skipped = false;                    // excluded by the control flags, or not wanted by the client
};

class SymbolDirectory {
public:
    // Makes every record of the tape's tables; option contracts are marked
    // skipped when `exclude_options`.
    void build(const TapeTables& tables, bool exclude_options);

    // Marks skipped every symbol whose text (an option contract's root)
    // `wanted` turns down.
    void skip_unwanted(const TapeTables& tables, const std::function<bool(const std::string&)>& wanted);
    std::size_t size() const { return slots_.size(); }
    const SymbolSlot& operator[](uint32_t symbol) const { return slots_[symbol]; }
    const SymbolSlot* begin() const { return slots_.data(); }
    const SymbolSlot* end() const { return slots_.data() + slots_.size(); }

    TqStringRecord* text_record(uint32_t text) const { return text_records_[text]; }
    TqStringRecord* category_record(uint32_t category) const { return category_records_[category]; }
    // A defined string of one of the tables, or null.
    const char* defined_string(int32_t table, int32_t index) const;
    // The directory index of a symbol's or an option contract's record, or
    // kNone for a record the run did not make.
    uint32_t symbol_of(const TqStringRecord* record) const;

    // Every string record of the run, in a fixed order (a snapshot keeps
    // their user-data words in that order).
    void for_each_string_record(const std::function<void(TqStringRecord*)>& visit) const;

private:
    void build_option(const SymbolEntry& entry, TqOptionHdrRecord& header);

    StringArena arena_;
    std::vector<SymbolSlot, HugePageAllocator<SymbolSlot>> slots_;
    // An option header is read by clients whole: on a line of its own it
    // costs one fetch, not two.
    struct alignas(64) OptionHeaderLine {
        TqOptionHdrRecord header;
    };
    static_assert(sizeof(TqOptionHdrRecord) <= 64 && sizeof(OptionHeaderLine) == 64);
    std::vector<OptionHeaderLine, HugePageAllocator<OptionHeaderLine>> options_;  // never resized: headers keep their address
    std::vector<TqStringRecord*> text_records_;      // one per text
    std::vector<TqStringRecord*> category_records_;  // one per category
    std::vector<std::vector<const char*>> defined_;  // by table, NUL-terminated
    std::unordered_map<const TqStringRecord*, uint32_t> record_symbols_;  // record -> directory index
};

}  // namespace tarvik::engine
