// ThreadState: everything a thread's tape runs, filters, caches and
// callbacks need. One per operating-system thread, made on the thread's
// first entry into the module and torn down at thread exit (thread_data.h).
//
// It is made of parts, each with its own header and lifetime. They are its
// base classes so that every field keeps a fixed offset from the state: the
// message path reaches what it reads for every message in one step, as it
// would in a single struct, and code written against the whole state reads
// `state.field` whatever part holds it. Functions that need one part take
// that part.
#pragma once

#include "core/callback_errors.h"
#include "core/callback_state.h"
#include "core/defined_strings.h"
#include "core/run_objects.h"
#include "core/string_caches.h"
#include "core/symbol_filter.h"
#include "core/symbol_index.h"

namespace tarvik {

// The parts in the order of their fields: what every message reads first.
struct ThreadState : CallbackState, RunObjects, SymbolFilter, StringCaches, SymbolIndex, DefinedStrings {
    // The kinds of exception the program's callables raised in the current
    // call, and how often each came back (callback_errors.h).
    CallbackErrors callbackErrors;

    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    // Everything that ends a tape run, in order. Needs the interpreter lock.
    void end_run();

    // The Python objects the state still holds after its last run: the
    // callable and the caches' strs. Needs the interpreter lock.
    void release_python_objects();
};

}  // namespace tarvik
