// Symbol filters: a list of symbols to deliver, a list to withhold, or a
// range of names. The decision is made when the library announces a symbol,
// or at the symbol's first message after the filter was set, and stored in
// the UserData2 word of the symbol's own string record (1 deliver, 0
// withhold), so every later message of a delivered symbol costs one test.
#pragma once

#include <Python.h>

#include "core/thread_state.h"

namespace tarvik {

PyObject* FilterSymbols(PyObject* module, PyObject* args);
PyObject* ExcludeSymbols(PyObject* module, PyObject* args);
PyObject* FilterSymbolsRange(PyObject* module, PyObject* args);

// Decides the symbol of a symbol-change or symbol-spin message with the
// filter in force and writes the decision into its string record. Does
// nothing without a filter or without a symbol record.
void ApplySymbolFilter(ThreadState& state, const TarvikMessageRecord* message);

// The per-message test for a symbol whose word does not say deliver: a
// symbol the filter in force has not decided yet is decided now.
bool withheld_or_undecided(ThreadState& state, const TarvikMessageRecord* message);

// The per-message test: true when the message's symbol is withheld.
inline bool withheld(ThreadState& state, const TarvikMessageRecord* message) {
    if (state.filterMode == FilterNone) return false;
    const TqStringRecord* symbol = message->coreHeader.ptqStringSymbol;
    if (symbol != nullptr && symbol->UserData2 == 1) [[likely]] return false;
    return withheld_or_undecided(state, message);
}

}  // namespace tarvik
