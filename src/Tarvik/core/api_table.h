// ApiTable: one thread's binding to the Tarvik library, the library handle
// and its 21 entry points, each kept with the type the library gives it.
#pragma once

#include "tarvik/library.h"

namespace tarvik {

// The library's entry points, in one list: X(name, need) for the export
// sTarvik<name>, whose type is sTarvik<name>_t. A load fails when a required
// one is missing; a missing optional one stays null.
#define TARVIK_API_ENTRY_POINTS(X)   \
    X(APIVersion, required)          \
    X(ProcessTape, required)         \
    X(ListTapes, required)           \
    X(ListAPIDLLs, required)         \
    X(SpinSymbols, required)         \
    X(SaveState, required)           \
    X(GetStateData, optional)        \
    X(StateGetExgQuotes, required)   \
    X(StateGetMMQuotes, required)    \
    X(StateGetLastTrade, required)   \
    X(PriceConvert, required)        \
    X(PriceFormat, required)         \
    X(PriceToDouble, required)       \
    X(DateFromNDays, required)       \
    X(DateFromYMD, required)         \
    X(GetDefinedString, required)    \
    X(GetTapeName, required)         \
    X(SignalWaitEvent, required)     \
    X(SetCallback, optional)         \
    X(GetSymbolAtom32, optional)     \
    X(ExcludeOpraExch, optional)

struct ApiTable {
    void* handle = nullptr;  // null: nothing loaded on this thread
#define TARVIK_API_FIELD(name, need) sTarvik##name##_t name = nullptr;
    TARVIK_API_ENTRY_POINTS(TARVIK_API_FIELD)
#undef TARVIK_API_FIELD

    ApiTable() = default;
    ApiTable(const ApiTable&) = delete;
    ApiTable& operator=(const ApiTable&) = delete;
    // Releases the library handle at thread exit.
    ~ApiTable() { unload(); }

    bool loaded() const { return handle != nullptr; }

    // Releases the handle, if any, and forgets every entry point.
    void unload();
    // Loads the library at path and resolves its entry points; false when
    // the file does not load or a required entry point is missing, leaving
    // the table empty.
    bool load(const char* path);
};

}  // namespace tarvik
