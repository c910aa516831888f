// The 21 C exports of the engine, each a thin call into the engine's code.
// Exports used from inside a callback act on the calling thread's run.
#include <dlfcn.h>
#include <exception>
#include <new>
#include <string>
#include <vector>
#ifdef TARVIK_CALL_BACK_FROM_ANOTHER_THREAD
#include <thread>
#endif

#include "engine/engine_constants.h"
#include "engine/engine_identity.h"
#include "engine/listings.h"
#include "engine/output_file.h"
#include "engine/dates.h"
#include "engine/prices.h"
#include "engine/run.h"
#include "tarvik/library.h"
#include "engine/version.h"

using namespace tarvik;
using namespace tarvik::engine;

#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))

TARVIK_EXPORT int32_t sTarvikAPIVersion(void) {
#ifdef TARVIK_REPORT_VERSION_ZERO
    return 0;
#else
    return kEngineVersion;
#endif
}

namespace {

// Removal keys given on a thread outside a run wait here for the next run
// that thread starts, which takes them. The flag is tested first so that a
// thread that never left keys never constructs the list: a thread_local
// with a destructor keeps the library loaded until its thread exits, and an
// unload should unload it.
thread_local bool t_exclusions_pending = false;
thread_local std::vector<int32_t> t_pending_exclusions;

// The identity that sTarvikListAPIDLLs finds in an engine library file.
[[gnu::used]] const EngineIdentity kIdentity =
    make_engine_identity(TARVIK_ENGINE_VERSION_MAJOR, TARVIK_ENGINE_VERSION_MINOR, TARVIK_ENGINE_VERSION_BUILD,
                         __DATE__, __TIME__);

// The directory this engine was loaded from.
std::string engine_directory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&sTarvikAPIVersion), &info) == 0 || info.dli_fname == nullptr) return ".";
    return folder_of(info.dli_fname);
}

// No C++ exception leaves an export: it would end the process in the
// caller's C frames. Memory that could not be had ends the call with
// TqAPIERR_INITALLOC_ERROR, anything else with TqAPIERR_EXCEPTION.
template <typename Call>
int32_t guarded(Call&& call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return TqAPIERR_INITALLOC_ERROR;
    } catch (const std::exception&) {
        return TqAPIERR_EXCEPTION;
    }
}

#ifdef TARVIK_CALL_BACK_FROM_ANOTHER_THREAD
// A test variant: a library that first calls the callback once from a
// thread of its own and waits for that thread (no library of the interface
// does; a caller must survive one that does).
void call_back_from_another_thread(TarvikMessageCallback callback) {
    std::thread([callback] {
        TarvikSystemRecord system{};
        TarvikMessageRecord message{};
        message.MessageType = TqMSG_STATUS;
        callback(&system, &message);
    }).join();
}
#endif

}  // namespace

TARVIK_EXPORT int32_t sTarvikProcessTape(const char* path, void*, int32_t controlFlags, int32_t userData,
                                         TarvikMessageCallback callback) {
    return guarded([&] {
#ifdef TARVIK_CALL_BACK_FROM_ANOTHER_THREAD
        if (callback != nullptr) call_back_from_another_thread(callback);
#endif
        Run run(controlFlags, userData, callback);
        if (t_exclusions_pending) {
            for (int32_t key : t_pending_exclusions) run.exclude(key);
            t_pending_exclusions.clear();
            t_exclusions_pending = false;
        }
        return run.process_file(path);
    });
}

TARVIK_EXPORT int32_t sTarvikListTapes(int32_t controlFlags, TarvikItemCallback callback, void*) {
    return guarded([&] { return list_tapes(controlFlags, callback); });
}

TARVIK_EXPORT int32_t sTarvikListAPIDLLs(int32_t controlFlags, TarvikItemCallback callback, void*) {
    return guarded([&] { return list_engine_libraries(controlFlags, callback, engine_directory()); });
}

TARVIK_EXPORT int32_t sTarvikSpinSymbols(uint16_t listedExg, int32_t controlFlags, int32_t spinId,
                                         TarvikMessageCallback callback, int32_t userData) {
    Run* run = Run::current();
    return run != nullptr ? guarded([&] { return run->spin_symbols(listedExg, controlFlags, spinId, callback, userData); })
                          : TqAPIERR_NOT_CALLBACK_THREAD;
}

TARVIK_EXPORT int32_t sTarvikSaveState(const char* path, int32_t controlFlags) {
    Run* run = Run::current();
    return run != nullptr ? guarded([&] { return run->request_save(path, controlFlags); }) : TqAPIERR_NOT_CALLBACK_THREAD;
}

TARVIK_EXPORT int32_t sTarvikStateGetExgQuotes(TarvikStateExgQuotesRecord* out, const TqStringRecord* symbol) {
    const Run* run = Run::current();
    return run != nullptr ? run->get_exg_quotes(out, symbol) : TqAPIERR_NOT_CALLBACK_THREAD;
}

TARVIK_EXPORT int32_t sTarvikStateGetMMQuotes(uint16_t reportingExg, TarvikStateMMQuotesRecord* out,
                                              const TqStringRecord* symbol) {
    const Run* run = Run::current();
    return run != nullptr ? run->get_mm_quotes(reportingExg, out, symbol) : TqAPIERR_NOT_CALLBACK_THREAD;
}

TARVIK_EXPORT int32_t sTarvikStateGetLastTrade(TarvikStateTradeRecord* out, const TqStringRecord* symbol) {
    const Run* run = Run::current();
    return run != nullptr ? run->get_last_trade(out, symbol) : TqAPIERR_NOT_CALLBACK_THREAD;
}

TARVIK_EXPORT int32_t sTarvikPriceConvert(int32_t price, uint8_t priceType, uint8_t newPriceType) {
    return price_convert(price, priceType, newPriceType);
}

TARVIK_EXPORT int32_t sTarvikPriceFormat(char* buffer, int32_t price, uint8_t priceType, int32_t minWidth,
                                         uint8_t commas) {
    return price_format(buffer, kPriceFormatBufferSize, price, priceType, minWidth, commas != 0);
}

TARVIK_EXPORT double sTarvikPriceToDouble(int32_t price, uint8_t priceType) {
    return price_to_double(price, priceType);
}

TARVIK_EXPORT int32_t sTarvikDateFromNDays(TqDateRecord* date) {
    return date != nullptr ? date_from_ndays(*date) : TqAPIERR_BAD_PARAMETERS;
}

TARVIK_EXPORT int32_t sTarvikDateFromYMD(TqDateRecord* date) {
    return date != nullptr ? date_from_ymd(*date) : TqAPIERR_BAD_PARAMETERS;
}

TARVIK_EXPORT const char* sTarvikGetDefinedString(int32_t table, int32_t index) {
    const Run* run = Run::current();
    return run != nullptr ? run->defined_string(table, index) : nullptr;
}

TARVIK_EXPORT int32_t sTarvikGetTapeName(char* buffer, int32_t size) {
    const Run* run = Run::current();
    if (run == nullptr) {
        if (buffer != nullptr && size > 0) buffer[0] = '\0';
        return TqAPIERR_NOT_CALLBACK_THREAD;
    }
    return run->tape_name(buffer, size);
}

#ifndef TARVIK_OMIT_SIGNAL_WAIT_EVENT
TARVIK_EXPORT int32_t sTarvikSignalWaitEvent(void) { return 0; }
#endif

#ifndef TARVIK_OMIT_OPTIONAL_EXPORTS
TARVIK_EXPORT int32_t sTarvikGetStateData(int32_t, void*, const TqStringRecord*) {
    return Run::current() != nullptr ? TqAPIERR_NOT_SUPPORTED : TqAPIERR_NOT_CALLBACK_THREAD;
}
TARVIK_EXPORT int32_t sTarvikSetCallback(TarvikMessageCallback) { return 0; }
TARVIK_EXPORT int32_t sTarvikGetSymbolAtom32(void) {
    const Run* run = Run::current();
    return run != nullptr ? run->symbol_atom32() : TqAPIERR_NOT_CALLBACK_THREAD;
}
TARVIK_EXPORT int32_t sTarvikExcludeOpraExch(int32_t removeKey) {
    return guarded([&] {
        if (Run* run = Run::current()) return run->exclude(removeKey);
        if (int32_t result = Run::check_exclusion_key(removeKey)) return result;
        t_pending_exclusions.push_back(removeKey);
        t_exclusions_pending = true;
        return TqAPIERR_NO_ERROR;
    });
}
#endif
