// The lookups of the per-thread string caches (core/string_caches.h): one
// Python str per distinct library string, the same object handed back ever
// after. A symbol met for the first time is filed in the SymbolIndex too.
//
// Every object in these caches is owned by the cache; every function here
// returns a borrowed reference. Text that is not valid UTF-8 is decoded
// with U+FFFD replacement characters, so no lookup ever leaves an error
// pending.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/thread_state.h"

namespace tarvik {

// A str of library text, invalid UTF-8 replaced; null only when memory runs out.
PyObject* text_object(const char* text);
PyObject* text_object(const char* text, std::size_t size);

// A date-and-strike code (up to two letters): its length and its slot in
// DateAndStrikeCache.
struct DateAndStrikeCode {
    std::size_t length;
    std::size_t slot;
};

inline DateAndStrikeCode date_and_strike_code(const TqStringRecord* record) {
    const auto* code = reinterpret_cast<const unsigned char*>(string_text(record));
    if (code[0] == 0) return {0, 0};
    if (code[1] == 0) return {1, code[0]};
    return {2, code[0] + 256u * code[1]};
}

namespace detail {
// The caches' slow paths: first sight of a string, atom 65535, refreshed
// option components, out-of-memory.
PyObject* MakeSymbolObject(ThreadState& state, const TqStringRecord* record, uint8_t exchange);
OptionObjectEntry* MakeOptionObjects(ThreadState& state, const TqStringRecord* root, const TqOptionHdrRecord* header);
PyObject* MakeDateAndStrikeObject(ThreadState& state, const TqStringRecord* record, DateAndStrikeCode code);
// StringObjectMap's str for the text (made on first sight), filed in `slot`.
PyObject* FindStringObject(ThreadState& state, const char* text, RecentString& slot);
}  // namespace detail

// The symbol's str under a listed exchange (low 8 bits), made and filed in
// SymbolNameIndex on first sight. Null for a null record.
inline PyObject* GetSymbolObject(ThreadState& state, const TqStringRecord* record, uint8_t exchange) {
    PyObject* const* table = state.symbolObjectTables[exchange];
    if (table != nullptr && record != nullptr && record->Atom != TqATOM_MAX_16BIT) [[likely]] {
        if (PyObject* cached = table[record->Atom]) [[likely]] return cached;
    }
    return detail::MakeSymbolObject(state, record, exchange);
}

// The root's entry with its underlying, series-chain and special-settle
// strs refreshed from the header. Null for a null root.
inline OptionObjectEntry* GetOptionObjects(ThreadState& state, const TqStringRecord* root,
                                           const TqOptionHdrRecord* header) {
    if (root != nullptr && root->Atom != TqATOM_MAX_16BIT && state.optionEntries != nullptr) [[likely]] {
        OptionObjectEntry* entry = &state.optionEntries[root->Atom];
        if (entry->root != nullptr && entry->underlyingRecord == header->ptqsUnderlying &&
            entry->seriesChainRecord == header->ptqsSeriesChain &&
            entry->specialSettleRecord == header->ptqsSpecialSettle) [[likely]] {
            return entry;
        }
    }
    return detail::MakeOptionObjects(state, root, header);
}

// The shared str of a two-letter date-and-strike code. Null for a null record.
inline PyObject* GetDateAndStrikeObject(ThreadState& state, const TqStringRecord* record) {
    if (record == nullptr) return nullptr;
    const DateAndStrikeCode code = date_and_strike_code(record);
    if (PyObject* cached = state.DateAndStrikeCache[code.slot]) [[likely]] return cached;
    return detail::MakeDateAndStrikeObject(state, record, code);
}

// The str of any other library string (market makers), by text address.
inline PyObject* GetStringObject(ThreadState& state, const TqStringRecord* record) {
    if (record == nullptr) return nullptr;
    const char* text = string_text(record);
    RecentString& slot = state.RecentStrings[AddressHash{}(text) % kRecentStringSlots];
    if (slot.text == text) [[likely]] return slot.object;
    return detail::FindStringObject(state, text, slot);
}

// Starts on the header's strings as soon as the callback has the message,
// so that fetching them overlaps with filling the body and the system
// object. For an option contract it asks the memory system for the root's
// cache entry and the component records; for any other symbol it reads the
// symbol's str from the cache there and then, and returns it. Null when the
// cache has none yet, or the symbol is an option's or absent: the header
// then looks it up itself. A cached str keeps its slot until the run ends,
// so the early read never goes stale. Reads only the message's own records
// and the caches' slots.
inline PyObject* StartSymbolObjects(const ThreadState& state, const TarvikMessageRecord* message) {
    const TqStringRecord* symbol = message->coreHeader.ptqStringSymbol;
    if (symbol == nullptr || symbol->Atom == TqATOM_MAX_16BIT) return nullptr;
    if (const TqOptionHdrRecord* option = message->coreHeader.ptqOptionHdr) [[unlikely]] {
        if (state.optionEntries != nullptr) __builtin_prefetch(&state.optionEntries[symbol->Atom]);
        __builtin_prefetch(option->ptqsDateAndStrike);
        __builtin_prefetch(option->ptqsUnderlying);
        __builtin_prefetch(option->ptqsSeriesChain);
    } else if (PyObject* const* table = state.symbolObjectTables[static_cast<uint8_t>(message->coreHeader.ListedExg)]) {
        return table[symbol->Atom];
    }
    return nullptr;
}

// The date-and-strike slot an option message will read, asked for once
// the code's record (fetched by StartSymbolObjects) is likely at hand.
inline void PrefetchDateAndStrikeSlot(const ThreadState& state, const TarvikMessageRecord* message) {
    const TqOptionHdrRecord* option = message->coreHeader.ptqOptionHdr;
    if (option == nullptr || option->ptqsDateAndStrike == nullptr) return;
    __builtin_prefetch(&state.DateAndStrikeCache[date_and_strike_code(option->ptqsDateAndStrike).slot]);
}

}  // namespace tarvik
