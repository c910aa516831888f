// System and header conversion: fills the run's system object and the
// header of its message object from the library's records, and after the
// program's callable has run copies its user data back into them.
#pragma once

#include "core/message_strings.h"
#include "core/thread_state.h"
#include "records/record_copy.h"

namespace tarvik {

// Every delivered message, after its body: the system object, the message's
// type and extension, then its header. `symbol_text` is the symbol's str
// when the callback has read it from the cache already (StartSymbolObjects),
// else null.
void fill_system_and_header(ThreadState& state, const TarvikSystemRecord* system, const TarvikMessageRecord* message,
                            PyObject* symbol_text);

// Drops the category fields' text addresses (out of line: categories are rare).
void forget_category_text(ThreadState& state);

// Drops the text addresses of the current message without writing back.
inline void forget_message_text(ThreadState& state) {
    forget_library_text(state.system);
    if (state.textFields != 0) [[unlikely]] forget_category_text(state);
}

// After the callable returned: the system object's UserData and the user
// data of the module's own symbol and option strings go back into exactly
// the library records those strings were filled from; the library's text
// addresses are dropped from the objects. An option's four strings are
// written back only after a message that showed them, which is when the
// header shows the run's option header object (shownOption).
inline void write_back(ThreadState& state, TarvikSystemRecord* system) {
    write_back_user_data(system, state.system);
    write_back_user_data(state.shown_record(MessageString::kSymbol), state.message_string(MessageString::kSymbol));
    if (state.shownOption != nullptr) {
        for (MessageString role : kOptionStrings) {
            write_back_user_data(state.shown_record(role), state.message_string(role));
        }
    }
    forget_message_text(state);
}

}  // namespace tarvik
