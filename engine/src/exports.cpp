// The 21 C exports of the engine. Until tapes can be read, every export
// answers as a library with no tape would.
#include <cstring>

#include "tarvik/library.h"
#include "version.h"

using namespace tarvik;

#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
constexpr int32_t kNotCallbackThread = -1;
constexpr int32_t kOpenTapeFileFailed = -4;
}  // namespace

TARVIK_EXPORT int32_t sTarvikAPIVersion(void) {
#ifdef TARVIK_REPORT_VERSION_ZERO
    return 0;
#else
    return engine::kEngineVersion;
#endif
}

TARVIK_EXPORT int32_t sTarvikProcessTape(const char*, void*, int32_t, int32_t, TarvikMessageCallback) {
    return kOpenTapeFileFailed;
}

TARVIK_EXPORT int32_t sTarvikListTapes(int32_t, TarvikItemCallback, void*) { return 0; }
TARVIK_EXPORT int32_t sTarvikListAPIDLLs(int32_t, TarvikItemCallback, void*) { return 0; }

TARVIK_EXPORT int32_t sTarvikSpinSymbols(uint16_t, int32_t, int32_t, TarvikMessageCallback, int32_t) {
    return kNotCallbackThread;
}

TARVIK_EXPORT int32_t sTarvikSaveState(const char*, int32_t) { return kNotCallbackThread; }

TARVIK_EXPORT int32_t sTarvikStateGetExgQuotes(TarvikStateExgQuotesRecord*, const TqStringRecord*) {
    return kNotCallbackThread;
}
TARVIK_EXPORT int32_t sTarvikStateGetMMQuotes(uint16_t, TarvikStateMMQuotesRecord*, const TqStringRecord*) {
    return kNotCallbackThread;
}
TARVIK_EXPORT int32_t sTarvikStateGetLastTrade(TarvikStateTradeRecord*, const TqStringRecord*) {
    return kNotCallbackThread;
}

TARVIK_EXPORT int32_t sTarvikPriceConvert(int32_t price, uint8_t, uint8_t) { return price; }
TARVIK_EXPORT int32_t sTarvikPriceFormat(char* buffer, int32_t, uint8_t, int32_t, uint8_t) {
    buffer[0] = '\0';
    return 0;
}
TARVIK_EXPORT double sTarvikPriceToDouble(int32_t price, uint8_t) { return price; }
TARVIK_EXPORT int32_t sTarvikDateFromNDays(TqDateRecord*) { return 0; }
TARVIK_EXPORT int32_t sTarvikDateFromYMD(TqDateRecord*) { return 0; }
TARVIK_EXPORT const char* sTarvikGetDefinedString(int32_t, int32_t) { return nullptr; }
TARVIK_EXPORT int32_t sTarvikGetTapeName(char* buffer, int32_t size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return -1;
}

#ifndef TARVIK_OMIT_SIGNAL_WAIT_EVENT
TARVIK_EXPORT int32_t sTarvikSignalWaitEvent(void) { return 0; }
#endif

#ifndef TARVIK_OMIT_OPTIONAL_EXPORTS
TARVIK_EXPORT int32_t sTarvikGetStateData(int32_t, void*, const TqStringRecord*) { return kNotCallbackThread; }
TARVIK_EXPORT int32_t sTarvikSetCallback(TarvikMessageCallback) { return 0; }
TARVIK_EXPORT int32_t sTarvikGetSymbolAtom32(void) { return 0; }
TARVIK_EXPORT int32_t sTarvikExcludeOpraExch(int32_t) { return -2; }
#endif
