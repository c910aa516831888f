#include "core/api_table.h"

#include <dlfcn.h>

#include <utility>

namespace tarvik {

namespace {

enum class Need { required, optional };

#define TARVIK_API_COUNT(name, need) +1
static_assert(0 TARVIK_API_ENTRY_POINTS(TARVIK_API_COUNT) == 21);
#undef TARVIK_API_COUNT

// Looks up one export and stores it with its own type: the one place where
// an address from the library becomes a typed function pointer. False when
// a required export is missing.
template <typename Function>
bool resolve(void* library, const char* symbol, Function& field, Need need) {
    field = reinterpret_cast<Function>(dlsym(library, symbol));
    return field != nullptr || need == Need::optional;
}

}  // namespace

void ApiTable::unload() {
    void* old = std::exchange(handle, nullptr);
#define TARVIK_API_FORGET(name, need) name = nullptr;
    TARVIK_API_ENTRY_POINTS(TARVIK_API_FORGET)
#undef TARVIK_API_FORGET
    if (old != nullptr) dlclose(old);
}

bool ApiTable::load(const char* path) {
    unload();
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    handle = library;
    bool complete = true;
#define TARVIK_API_RESOLVE(name, need) \
    complete = resolve(library, "sTarvik" #name, name, Need::need) && complete;
    TARVIK_API_ENTRY_POINTS(TARVIK_API_RESOLVE)
#undef TARVIK_API_RESOLVE
    if (!complete) unload();
    return complete;
}

}  // namespace tarvik
