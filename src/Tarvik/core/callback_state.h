// CallbackState: the ProcessTape callable and what the message callback
// carries from one message to the next. A part of ThreadState; every field
// is read for every message.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "core/message_strings.h"
#include "core/owned_ref.h"
#include "tarvik/library.h"

namespace tarvik {

struct CallbackState {
    // The ProcessTape callable and its fast-call entry.
    vectorcallfunc callbackEntry = nullptr;
    PyObject* callback = nullptr;
    int32_t controlFlags = 0;
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
    std::array<TqStringRecord*, kHeaderStringCount> shownRecords{};
    TqStringRecord writeBackSink{};
    // The records the spin message under way shows, in the same order (null
    // for none, and outside a spin's callable); its end writes the spin
    // strings' user data back into them.
    TqStringRecord* const* spinShownRecords = nullptr;
    // Category fields whose library text pointers the current message set.
    uint16_t textFields = 0;

    // The record header string `role` shows.
    TqStringRecord*& shown_record(MessageString role) { return shownRecords[header_slot(role)]; }

    // Stores the run's callable and its fast-call entry.
    void store_callback(PyObject* callable) {
        callbackEntry = PyVectorcall_Function(callable);
        store_callable(callback, callable);
    }

    void forget_callback() {
        callbackEntry = nullptr;
        Py_CLEAR(callback);
    }
};

}  // namespace tarvik
