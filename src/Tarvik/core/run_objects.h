// RunObjects: the Python objects of one tape run, made when ProcessTape
// starts (tape/run_setup.h, which knows the record types), refilled for
// every message, and released when the run ends. A part of ThreadState.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <iterator>

#include "core/message_strings.h"
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

inline constexpr int kStateStringCount = kStateMMQuoteCapacity;
inline constexpr int kConditionValues = 256;

// The members that show an object without holding a reference of their own
// (see adopt_borrowed_members): the message's extension, the cached message
// strings, the state strings and the spin strings.
inline constexpr std::size_t kBorrowedMembers =
    1 + std::size(kCachedMessageStrings) + kStateStringCount + kHeaderStringCount;

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

// Null outside a run. The fields down to shownOption are read for every
// message and come first.
struct RunObjects {
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

    // The rest of the run's objects, which messages do not fill.
    std::array<TqStringObject*, kStateStringCount> stateStrings{};
    TqOptionHdrObject* oldOption = nullptr;
    TqOptionHdrObject* spinOption = nullptr;
    TarvikSystemObject* spinSystem = nullptr;
    TarvikMessageObject* spinMessage = nullptr;
    std::array<TqStringObject*, kHeaderStringCount> spinStrings{};
    PyObject* spinArguments = nullptr;
    PyObject* arguments = nullptr;
    // The ints 0 to 255 that trade conditions show, one owned reference each.
    std::array<PyObject*, kConditionValues> conditionValues{};
    // Where the members that show borrowed objects keep them, noted when
    // the objects are made; null entries are skipped.
    std::array<PyObject**, kBorrowedMembers> borrowedMembers{};

    TqStringObject* message_string(MessageString role) const { return messageStrings[message_slot(role)]; }
    TqStringObject* spin_string(MessageString role) const { return spinStrings[header_slot(role)]; }

    RunObjects() = default;
    RunObjects(const RunObjects&) = delete;
    RunObjects& operator=(const RunObjects&) = delete;

    // At the end of a run: the members that show objects without a
    // reference of their own take one, so that objects a program keeps stay
    // valid after the run and the caches let go. The option slot's reserve
    // is settled too.
    void adopt_borrowed_members();

    // Releases every run object and sets its field to null.
    void release_run_objects();
};

inline bool run_in_progress(const RunObjects& run) { return run.message != nullptr; }

// The message path found the header's ptqOptionHdr changed by the program:
// `held` (the slot's own reference to what the program stored) is released,
// and when the slot showed the run's option header object before (`previous`),
// the reserve reference the program's store released is taken again.
void reclaim_option_slot(PyObject* held, PyObject* previous);

}  // namespace tarvik
