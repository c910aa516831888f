// System and header conversion: fills the run's system object and the
// header of its message object from the library's records, and after the
// program's callable has run copies its user data back into them.
#pragma once

#include "tape/thread_state.h"

namespace tarvik {

// Every delivered message, after its body: the system object, the message's
// type and extension, then its header. `symbol_text` is the symbol's str
// when the callback has read it from the cache already (StartSymbolObjects),
// else null.
void fill_system_and_header(ThreadState& state, const TarvikSystemRecord* system, const TarvikMessageRecord* message,
                            PyObject* symbol_text);

// After the callable returned: the system object's UserData and the user
// data of the module's own symbol and option strings go back into exactly
// the library records those strings were filled from; the library's text
// addresses are dropped from the objects.
void write_back(ThreadState& state, TarvikSystemRecord* system);

// Drops the text addresses of the current message without writing back.
void forget_message_text(ThreadState& state);

}  // namespace tarvik
