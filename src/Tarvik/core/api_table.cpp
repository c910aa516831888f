#include "module/api_table.h"

#include <dlfcn.h>

#include <iterator>
#include <utility>

namespace tarvik {

namespace {

struct EntryPoint {
    const char* name;
    void* ApiTable::* field;
};

// Resolved in this order; the first missing one fails the load.
constexpr EntryPoint kRequiredEntryPoints[] = {
    {"sTarvikAPIVersion", &ApiTable::APIVersion},
    {"sTarvikProcessTape", &ApiTable::ProcessTape},
    {"sTarvikListTapes", &ApiTable::ListTapes},
    {"sTarvikListAPIDLLs", &ApiTable::ListAPIDLLs},
    {"sTarvikSpinSymbols", &ApiTable::SpinSymbols},
    {"sTarvikSaveState", &ApiTable::SaveState},
    {"sTarvikStateGetExgQuotes", &ApiTable::StateGetExgQuotes},
    {"sTarvikStateGetMMQuotes", &ApiTable::StateGetMMQuotes},
    {"sTarvikStateGetLastTrade", &ApiTable::StateGetLastTrade},
    {"sTarvikPriceConvert", &ApiTable::PriceConvert},
    {"sTarvikPriceFormat", &ApiTable::PriceFormat},
    {"sTarvikPriceToDouble", &ApiTable::PriceToDouble},
    {"sTarvikDateFromNDays", &ApiTable::DateFromNDays},
    {"sTarvikDateFromYMD", &ApiTable::DateFromYMD},
    {"sTarvikGetDefinedString", &ApiTable::GetDefinedString},
    {"sTarvikGetTapeName", &ApiTable::GetTapeName},
    {"sTarvikSignalWaitEvent", &ApiTable::SignalWaitEvent},
};

// Resolved after the required ones; a missing one leaves its field null.
constexpr EntryPoint kOptionalEntryPoints[] = {
    {"sTarvikGetStateData", &ApiTable::GetStateData},
    {"sTarvikSetCallback", &ApiTable::SetCallback},
    {"sTarvikGetSymbolAtom32", &ApiTable::GetSymbolAtom32},
    {"sTarvikExcludeOpraExch", &ApiTable::ExcludeOpraExch},
};

static_assert(std::size(kRequiredEntryPoints) + std::size(kOptionalEntryPoints) == 21);

}  // namespace

void ApiTable::unload() {
    void* old = std::exchange(handle, nullptr);
    for (const EntryPoint& entry_point : kRequiredEntryPoints) this->*entry_point.field = nullptr;
    for (const EntryPoint& entry_point : kOptionalEntryPoints) this->*entry_point.field = nullptr;
    if (old != nullptr) dlclose(old);
}

bool ApiTable::load(const char* path) {
    unload();
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    handle = library;
    for (const EntryPoint& entry_point : kRequiredEntryPoints) {
        void* address = dlsym(library, entry_point.name);
        this->*entry_point.field = address;
        if (address == nullptr) {
            unload();
            return false;
        }
    }
    for (const EntryPoint& entry_point : kOptionalEntryPoints) {
        this->*entry_point.field = dlsym(library, entry_point.name);
    }
    return true;
}

}  // namespace tarvik
