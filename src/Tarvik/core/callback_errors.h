// How the exceptions that the program's callables raise are shown. The
// first exception of a kind (its type and the line that raised it) is
// printed in full, traceback and all; later ones of the same kind are only
// counted, and when the call that ran the callables ends (ProcessTape,
// ListTapes, ListAPIDLLs) one line per kind says how many more there were:
//
//   Tarvik: the same AttributeError (File "day.py", line 12) was raised 420,057 more times; only the first was printed.
//
// A typo in a callable that runs for every message thus prints one
// traceback instead of one per message.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <vector>

namespace tarvik {

struct ThreadState;

// A kind of exception met during the current call: the exception's type
// and the code object and line of the innermost frame of its traceback
// (none when no Python code raised it). Both objects are held, so that
// their addresses stay theirs until the call ends.
struct RaisedKind {
    PyObject* type = nullptr;
    PyObject* code = nullptr;
    int line = -1;
    uint64_t repeats = 0;
};

// Kinds beyond this many in one call are printed every time, as before.
inline constexpr std::size_t kRaisedKindsKept = 64;

struct CallbackErrors {
    int depth = 0;  // calls under way that report when they end
    std::vector<RaisedKind> kinds;
};

// Opens and closes a call that runs the program's callables; calls nest
// (a spin inside a run) and the outermost one reports the repeats.
void begin_callback_errors(ThreadState& state);
void end_callback_errors(ThreadState& state);

// Shows the pending exception as above and clears it.
void report_callback_exception(ThreadState& state);

// The pending exception is Ctrl-C's KeyboardInterrupt or SystemExit, which
// end the run (or spin) and reach its caller; any other is shown and the
// run goes on.
bool callback_exception_ends_the_call();

// The library takes a callable's answer as a 32-bit int. Given `value`, the
// int conversion of `answer` (with an OverflowError pending for an int past
// `long`), an int past 32 bits is refused with an OverflowError naming the
// `callback` ("ProcessTape", "SpinSymbols") instead of being cut to its low
// 32 bits; answers whether it refused. Any other pending error is left as it
// is.
bool refuse_answer_past_32_bits(PyObject* answer, long value, const char* callback);

// A C++ exception inside one of the module's callbacks (memory that could
// not be had for a cache entry): it is raised as MemoryError (SystemError
// for any other) when the call that ran the library returns, the run is
// answered stop from here on, and nothing crosses back into the library.
// Answers the stop.
int32_t stop_for_native_failure(ThreadState& state, const std::exception& failure);

}  // namespace tarvik
