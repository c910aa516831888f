// ThreadState: everything a thread's tape runs, filters, caches and
// callbacks need. One per operating-system thread, made on the thread's
// first entry into the module and torn down at thread exit (thread_data.h).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <tsl/robin_map.h>

#include "tape/callback_errors.h"
#include "tarvik/library.h"

namespace tarvik {

struct TarvikSystemObject;
struct TarvikMessageObject;
struct TarvikHeaderObject;
struct Tarvik3ExtObject;
struct TarvikExgQuoteObject;
struct TarvikMMQuoteObject;
struct TarvikQuoteObject;
struct TarvikTradeObject;
struct TqCTAnalysisObject;
struct TarvikCategoryObject;
struct TarvikSymbolChangeObject;
struct TarvikSymbolSpinObject;
struct TqDateObject;
struct TqTimeObject;
struct TqStringObject;
struct TqOptionHdrObject;

inline constexpr int kMessageStringCount = 12;
inline constexpr int kStateStringCount = kStateMMQuoteCapacity;
inline constexpr int kSpinStringCount = 5;
inline constexpr std::size_t kAtomSlots = 65536;
inline constexpr int kExchangeSlots = 256;
inline constexpr int kConditionValues = 256;

enum FilterMode : uint8_t { FilterNone = 0, FilterInclude = 1, FilterExclude = 2, FilterRange = 3 };

// Filter list value meaning "every listed exchange".
inline constexpr int64_t AnyListedExg = 256;

// Python objects made for one option root symbol; owned by the cache. An
// entry without a root str is unused. One cache line each.
struct alignas(64) OptionObjectEntry {
    PyObject* root = nullptr;
    const TqStringRecord* underlyingRecord = nullptr;
    PyObject* underlying = nullptr;
    const TqStringRecord* seriesChainRecord = nullptr;
    PyObject* seriesChain = nullptr;
    const TqStringRecord* specialSettleRecord = nullptr;
    PyObject* specialSettle = nullptr;
};

// The objects of the run's system and message trees that messages fill,
// reached in one step instead of walking the tree. Every container between
// them and the two roots is a read-only member, so these stay the objects a
// program sees for the whole run; the roots' references keep them alive.
struct FillTargets {
    TqDateObject* systemDate = nullptr;
    TqTimeObject* systemTime = nullptr;
    TarvikHeaderObject* header = nullptr;
    TqDateObject* sessionDate = nullptr;
    TqTimeObject* exgTimestamp = nullptr;
    TarvikExgQuoteObject* exgQuote = nullptr;
    TarvikQuoteObject* exgCoreQuote = nullptr;
    TarvikMMQuoteObject* mmQuote = nullptr;
    TarvikQuoteObject* mmCoreQuote = nullptr;
    TarvikTradeObject* trade = nullptr;
    TqCTAnalysisObject* tradeAnalysis = nullptr;
    TarvikCategoryObject* category = nullptr;
    TarvikSymbolChangeObject* symbolChange = nullptr;
    TarvikSymbolSpinObject* symbolSpin = nullptr;
};

// Library records are 8-byte aligned and lie close together, so the low
// bits of their addresses say little, and a map with a power-of-two table
// keeps only the low bits of a hash. The address is mixed first: the
// multiplication carries every bit upwards, the shift brings the high half
// back down.
struct AddressHash {
    std::size_t operator()(const void* address) const noexcept {
        const uint64_t mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address)) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(mixed ^ (mixed >> 32));
    }
};

// Keyed by the address of a library string's text.
using AddressMap = tsl::robin_map<const char*, PyObject*, AddressHash>;

// One slot of RecentStrings: a text address and its str (borrowed from
// StringObjectMap).
struct RecentString {
    const char* text = nullptr;
    PyObject* object = nullptr;
};
inline constexpr std::size_t kRecentStringSlots = 1024;

using NameIndex = tsl::robin_map<std::string, TqStringRecord*>;
using FilterList = tsl::robin_map<std::string, int64_t>;

struct ThreadState {
    // The ProcessTape callable and its fast-call entry.
    vectorcallfunc callbackEntry = nullptr;
    PyObject* callback = nullptr;

    // Objects of one run: made when ProcessTape starts, released when it
    // ends, null outside a run.
    TarvikSystemObject* system = nullptr;
    TarvikMessageObject* message = nullptr;
    Tarvik3ExtObject* extension = nullptr;
    std::array<TqStringObject*, kMessageStringCount> messageStrings{};
    TqOptionHdrObject* headerOption = nullptr;
    FillTargets fill;
    // The header's ptqOptionHdr slot is writable from Python, and messages
    // switch it between the run's option header object and nothing all the
    // time. So that this costs no reference counting, the run holds one
    // reference to its option header object on the slot's behalf: it is the
    // slot's own reference whenever the slot shows that object. shownOption is
    // what the message path last stored. A slot that differs from it was
    // changed by the program, whose store released the old value: when that
    // was the run's object, the reserve went with it and is taken again
    // (reclaim_option_slot).
    PyObject* shownOption = nullptr;

    int32_t controlFlags = 0;

    // Per-run bookkeeping of the message callback. Everything above and down
    // to optionEntries is read for every message, so it is kept together.
    PyObject* zeroAnswer = nullptr;  // the interpreter's 0, the usual answer (borrowed, immortal)
    bool stopping = false;  // answer stop without calling Python (interrupt, bad answer)
    // While the library waits for a live tape to grow, the thread's
    // interpreter state, released at the status that announced the wait and
    // taken back at the next callback (or when the run returns).
    PyThreadState* releasedThread = nullptr;
    // The library records that message strings 2 to 6 (symbol, then the
    // header option's date-and-strike, underlying, series chain, special
    // settle) show for the current message; the write-back copies those
    // strings' user data into exactly these. A string the message does not
    // show points at writeBackSink. Only a message that showed an option's
    // strings (shownOption set) has the last four written back, which spares
    // most messages four copies.
    std::array<TqStringRecord*, 5> shownRecords{};
    TqStringRecord writeBackSink{};
    // Category fields whose library text pointers the current message set.
    uint16_t textFields = 0;
    uint8_t filterMode = FilterNone;  // the symbol filter in force
    // The option roots' entries by 16-bit atom, kAtomSlots of them in one
    // mapping made on first use: pages are committed only as roots appear,
    // and a message finds its root's entry in one step.
    OptionObjectEntry* optionEntries = nullptr;

    // The rest of the run's objects, which messages do not fill.
    std::array<TqStringObject*, kStateStringCount> stateStrings{};
    TqOptionHdrObject* oldOption = nullptr;
    TqOptionHdrObject* spinOption = nullptr;
    TarvikSystemObject* spinSystem = nullptr;
    TarvikMessageObject* spinMessage = nullptr;
    std::array<TqStringObject*, kSpinStringCount> spinStrings{};
    PyObject* spinArguments = nullptr;
    PyObject* arguments = nullptr;
    // The ints 0 to 255 that trade conditions show, one owned reference each.
    std::array<PyObject*, kConditionValues> conditionValues{};

    // Symbol filter.
    FilterList IncludeList;
    FilterList ExcludeList;
    std::string RangeStart;
    std::string RangeEnd;
    int32_t RangeListedExg = 0;
    // The symbol records whose UserData2 the filter in force has decided
    // during this run, with the listed exchange they were decided for.
    // Emptied when a run starts and ends (the records are the library's).
    tsl::robin_map<TqStringRecord*, uint16_t, AddressHash> decidedSymbols;

    // Caches of Python objects, owned by the caches.
    std::array<tsl::robin_map<int64_t, PyObject*>, kExchangeSlots> DefinedStringCache;
    std::vector<uint16_t> optionAtoms;  // atoms whose entries hold objects
    tsl::robin_map<const char*, OptionObjectEntry*, AddressHash> optionOverflow;
    std::array<PyObject**, kExchangeSlots> symbolObjectTables{};
    std::array<AddressMap, kExchangeSlots> symbolOverflow;
    std::array<NameIndex, kExchangeSlots> SymbolNameIndex;
    std::array<PyObject*, kAtomSlots> DateAndStrikeCache{};
    AddressMap StringObjectMap;
    // The strs of StringObjectMap last found, in slots chosen by the text's
    // address. A hit is one comparison, where the map's search runs a probe
    // loop whose length differs from one market maker to the next, which
    // the processor guesses wrong. A slot shared by two texts holds the one
    // met last; the other is found in the map again.
    std::array<RecentString, kRecentStringSlots> RecentStrings{};
    // Option components replaced during a run; released when it ends, so
    // every str a run has shown stays alive until then.
    std::vector<PyObject*> retiredStrings;

    // The kinds of exception the program's callables raised in the current
    // call, and how often each came back (callback_errors.h).
    CallbackErrors callbackErrors;

    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    // Releases native storage only: at thread exit the interpreter may be
    // gone, so no Python object is touched here.
    ~ThreadState();
};

}  // namespace tarvik
