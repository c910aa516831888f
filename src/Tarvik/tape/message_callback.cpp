#include "tape/message_callback.h"

#include "core/callback_errors.h"
#include "core/object_cache.h"
#include "core/thread_data.h"
#include "records/message_records.h"
#include "tape/body_conversion.h"
#include "tape/filters.h"
#include "tape/header_conversion.h"
#include "tarvik/constants.h"

namespace tarvik {

namespace {

constexpr int32_t kContinue = TqCALLBACKRETURN_CONTINUE;
constexpr int32_t kStop = TqCALLBACKRETURN_STOP;

// Files every symbol the library holds, plain symbols first, then option
// contracts, before the program sees the loaded-state status.
void spin_loaded_state(ThreadData& data) {
    sTarvikSpinSymbols_t spin_symbols = data.api.SpinSymbols;
    if (spin_symbols == nullptr) return;
    spin_symbols(static_cast<uint16_t>(TqSPIN_ALL_EXGS), TqSPIN_NON_OPTIONS, 0, loaded_state_spin_callback, 0);
    spin_symbols(static_cast<uint16_t>(TqSPIN_ALL_EXGS), TqSPIN_OPTIONS, 0, loaded_state_spin_callback, 0);
}

// Symbol-change and symbol-spin messages decide their symbol first.
bool announce(ThreadState& state, const TarvikMessageRecord* message) {
    if (state.filterMode != FilterNone) {
        ApplySymbolFilter(state, message);
        if (withheld(state, message)) return false;
    }
    return true;
}

void file_option_contract(ThreadState& state, const TarvikMessageRecord* message) {
    if (message->coreHeader.ptqOptionHdr != nullptr) {
        IndexOptionContract(state, message->coreHeader.ptqStringSymbol, message->coreHeader.ptqOptionHdr);
    }
}

// Gates the message and fills its body. False: withheld (answer continue,
// convert nothing, call nothing).
bool gate_and_fill_body(ThreadData& data, const TarvikSystemRecord* system, const TarvikMessageRecord* message) {
    ThreadState& state = data.state;
    // Most of a day is exchange quotes: tested on their own first, a branch
    // the processor nearly always guesses right, where a jump through the
    // table of kinds is guessed wrong whenever the kind changes.
    if (message->MessageType == TqMSG_EXGQUOTE) [[likely]] {
        if (withheld(state, message) || (state.controlFlags & TqCF_EXCLUDE_QUOTES) != 0) return false;
        fill_exg_quote(state, message);
        return true;
    }
    switch (static_cast<int32_t>(message->MessageType)) {
        case TqMSG_STATUS:
            if (system->Status == TARVIKSTATUS_LOADED_STATE) {
                spin_loaded_state(data);
                if (state.stopping) return false;  // it found no memory: its error waits for ProcessTape's end
            }
            return true;
        case TqMSG_MMQUOTE:
            if (withheld(state, message) || (state.controlFlags & TqCF_EXCLUDE_QUOTES2) != 0) return false;
            fill_mm_quote(state, message);
            return true;
        case TqMSG_TRADE:
            if (withheld(state, message)) return false;
            fill_trade(state, message);
            return true;
        case TqMSG_CATEGORY:
            if (withheld(state, message)) return false;
            fill_category(state, message);
            return true;
        case TqMSG_SYMBOLCHANGE:
            if (!announce(state, message)) return false;
            fill_symbol_change(state, message);
            file_option_contract(state, message);
            return true;
        case TqMSG_SYMBOLSPIN:
            if (!announce(state, message)) return false;
            fill_symbol_spin(state, message);
            file_option_contract(state, message);
            return true;
        default:
            return false;
    }
}

// The callable answered with something that is not an integer: the run
// stops at this message and ProcessTape raises a TypeError naming it.
void reject_answer(PyObject* answer) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;  // e.g. an int too large: keep its OverflowError
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "the ProcessTape callback returned %.200s (%.100s), but it must return an int: "
                 "TqCALLBACKRETURN_CONTINUE (0), TqCALLBACKRETURN_STOP (1) or TqCALLBACKRETURN_RESTART (2)",
                 answer == Py_None ? "None" : "an object", Py_TYPE(answer)->tp_name);
}

// The slot before the two arguments is free for the callee to use: a bound
// method (a program's handler on an object, say) puts its instance there
// instead of building a new argument array for every message.
PyObject* call_program(ThreadState& state) {
    if (state.callbackEntry != nullptr) {
        PyObject* arguments[] = {nullptr, reinterpret_cast<PyObject*>(state.system),
                                 reinterpret_cast<PyObject*>(state.message)};
        return state.callbackEntry(state.callback, arguments + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    return PyObject_Call(state.callback, state.arguments, nullptr);
}

// The callable's answer as an integer: the interpreter's integer conversion,
// with a short way for the small exact ints nearly every callable returns
// (one 30-bit digit: always within the library's 32 bits).
long answer_value(PyObject* answer) {
    if (PyLong_CheckExact(answer) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(answer))) {
        return static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(answer)));
    }
    const long value = PyLong_AsLong(answer);
    return refuse_answer_past_32_bits(answer, value, "ProcessTape") ? -1 : value;
}

// Called with the interpreter released during a wait for the live tape:
// takes it back and runs the signal handlers, so that a Ctrl-C pressed
// during the wait raises KeyboardInterrupt here and ends the run.
void take_interpreter_back(ThreadState& state) {
    PyEval_RestoreThread(state.releasedThread);
    state.releasedThread = nullptr;
    if (PyErr_CheckSignals() == 0) return;
    if (callback_exception_ends_the_call()) {
        state.stopping = true;
    } else {
        report_callback_exception(state);
    }
}

// The library announces a wait for the live tape with this status, and
// delivers it again every little while until data comes.
bool announces_a_wait(const TarvikSystemRecord* system, const TarvikMessageRecord* message) {
    return message->MessageType == TqMSG_STATUS && system->Status == TARVIKSTATUS_WAITFORCOREACCESS;
}

inline int32_t deliver_message(ThreadData& data, TarvikSystemRecord* system, TarvikMessageRecord* message) {
    ThreadState& state = data.state;
    if (state.message == nullptr) return kContinue;  // not a run of this thread
    if (state.stopping) return kStop;
    if (message->MessageType > static_cast<uint32_t>(TqMSG_SYMBOLSPIN)) return kContinue;
    PyObject* symbol_text = withheld(state, message) ? nullptr : StartSymbolObjects(state, message);
    if (!gate_and_fill_body(data, system, message)) return kContinue;

    fill_system_and_header(state, system, message, symbol_text);

    PyObject* answer = call_program(state);
    if (answer == nullptr) {
        if (PyErr_Occurred() && callback_exception_ends_the_call()) {
            state.stopping = true;
            forget_message_text(state);
            return kStop;
        }
        report_callback_exception(state);
        write_back(state, system);
        return kContinue;
    }
    // Nearly every callable answers `return 0`: the interpreter's own 0,
    // recognised by its address, needs no conversion, and being immortal
    // no release.
    if (answer == state.zeroAnswer) [[likely]] {
        write_back(state, system);
        return kContinue;
    }
    long value = answer_value(answer);
    if (value == -1 && PyErr_Occurred()) {
        reject_answer(answer);
        Py_DECREF(answer);
        state.stopping = true;
        write_back(state, system);
        return kStop;
    }
    Py_DECREF(answer);
    write_back(state, system);
    return static_cast<int32_t>(value);
}

}  // namespace

int32_t message_callback(TarvikSystemRecord* system, TarvikMessageRecord* message) {
    ThreadData* found = existing_thread_data();
    if (found == nullptr) [[unlikely]] return kContinue;  // not a thread of this module: no run of its own
    ThreadData& data = *found;
    ThreadState& state = data.state;
    if (state.releasedThread != nullptr) [[unlikely]] take_interpreter_back(state);
    int32_t answer;
    try {
        answer = deliver_message(data, system, message);
    } catch (const std::exception& failure) {
        forget_message_text(state);  // no record keeps the library's text addresses
        return stop_for_native_failure(state, failure);
    }
    // Other Python threads run while the library waits; the next callback
    // takes the interpreter back.
    if (announces_a_wait(system, message) && !state.stopping && state.message != nullptr) [[unlikely]]
        state.releasedThread = PyEval_SaveThread();
    return answer;
}

namespace {

// A symbol the loaded state's spin shows: decided by the filter in force,
// and filed under its name (an option contract under its terms).
void file_loaded_symbol(ThreadState& state, const TarvikMessageRecord* message) {
    if (state.filterMode != FilterNone) ApplySymbolFilter(state, message);
    TqStringRecord* symbol = message->coreHeader.ptqStringSymbol;
    if (message->coreHeader.ptqOptionHdr != nullptr) {
        IndexOptionContract(state, symbol, message->coreHeader.ptqOptionHdr);
    } else if (symbol != nullptr) {
        IndexSymbolName(state, message->coreHeader.ListedExg, symbol);
    }
}

}  // namespace

int32_t loaded_state_spin_callback(TarvikSystemRecord*, TarvikMessageRecord* message) {
    ThreadData* data = existing_thread_data();
    if (data == nullptr) return kContinue;  // not a thread of this module
    ThreadState& state = data->state;
    if (state.stopping) return kStop;
    try {
        file_loaded_symbol(state, message);
    } catch (const std::exception& failure) {
        return stop_for_native_failure(state, failure);
    }
    return kContinue;
}

}  // namespace tarvik
