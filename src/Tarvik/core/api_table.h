// ApiTable: one thread's binding to the Tarvik library, the library handle
// and its 21 entry points, kept as untyped addresses in a fixed order.
#pragma once

#include "tarvik/library.h"

namespace tarvik {

struct ApiTable {
    void* handle = nullptr;  // null: nothing loaded on this thread
    void* APIVersion = nullptr;
    void* ProcessTape = nullptr;
    void* ListTapes = nullptr;
    void* ListAPIDLLs = nullptr;
    void* SpinSymbols = nullptr;
    void* SaveState = nullptr;
    void* GetStateData = nullptr;  // optional
    void* StateGetExgQuotes = nullptr;
    void* StateGetMMQuotes = nullptr;
    void* StateGetLastTrade = nullptr;
    void* PriceConvert = nullptr;
    void* PriceFormat = nullptr;
    void* PriceToDouble = nullptr;
    void* DateFromNDays = nullptr;
    void* DateFromYMD = nullptr;
    void* GetDefinedString = nullptr;
    void* GetTapeName = nullptr;
    void* SignalWaitEvent = nullptr;
    void* SetCallback = nullptr;      // optional
    void* GetSymbolAtom32 = nullptr;  // optional
    void* ExcludeOpraExch = nullptr;  // optional

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

// Typed view of an untyped entry point: entry<sTarvikPriceConvert_t>(api.PriceConvert).
template <class Function>
Function entry(void* address) {
    return reinterpret_cast<Function>(address);
}

}  // namespace tarvik
