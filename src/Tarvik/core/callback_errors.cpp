#include "core/callback_errors.h"

#include <cstdio>
#include <new>
#include <string>

#include "core/owned_ref.h"
#include "core/thread_state.h"
#include "tarvik/constants.h"

namespace tarvik {

namespace {

// The innermost traceback entry of an exception: where it was raised.
// Null when no Python frame took part.
OwnedRef innermost_traceback(PyObject* exception) {
    OwnedRef traceback(PyException_GetTraceback(exception));
    while (traceback) {
        OwnedRef next(PyObject_GetAttrString(traceback.get(), "tb_next"));
        if (!next || next.get() == Py_None) break;
        traceback = std::move(next);
    }
    PyErr_Clear();
    return traceback;
}

// The code object and line of an exception's raising frame.
void raising_place(PyObject* exception, OwnedRef& code, int& line) {
    OwnedRef traceback = innermost_traceback(exception);
    if (!traceback || traceback.get() == Py_None) return;
    OwnedRef frame(PyObject_GetAttrString(traceback.get(), "tb_frame"));
    OwnedRef number(PyObject_GetAttrString(traceback.get(), "tb_lineno"));
    if (frame && number) {
        code.reset(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame.get()))));
        line = PyLong_AsInt(number.get());
    }
    PyErr_Clear();
}

// 420057 as "420,057".
std::string with_thousands(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

void write_repeats(const RaisedKind& kind) {
    std::string count = with_thousands(kind.repeats);
    const char* times = kind.repeats == 1 ? "time" : "times";
    const char* type_name = reinterpret_cast<PyTypeObject*>(kind.type)->tp_name;
    OwnedRef file(kind.code != nullptr ? PyObject_GetAttrString(kind.code, "co_filename") : nullptr);
    if (file && PyUnicode_Check(file.get())) {
        PySys_FormatStderr("Tarvik: the same %s (File \"%U\", line %d) was raised %s more %s; only the first was printed.\n",
                           type_name, file.get(), kind.line, count.c_str(), times);
    } else {
        PyErr_Clear();
        PySys_FormatStderr("Tarvik: the same %s was raised %s more %s; only the first was printed.\n", type_name,
                           count.c_str(), times);
    }
}

}  // namespace

void begin_callback_errors(ThreadState& state) { ++state.callbackErrors.depth; }

void end_callback_errors(ThreadState& state) {
    CallbackErrors& errors = state.callbackErrors;
    if (--errors.depth > 0) return;
    errors.depth = 0;
    if (errors.kinds.empty()) return;
    // An exception that ends the call (Ctrl-C) is kept aside while the
    // counts are written, and is pending again afterwards.
    PyObject* ending = PyErr_GetRaisedException();
    for (RaisedKind& kind : errors.kinds) {
        if (kind.repeats != 0) write_repeats(kind);
        Py_DECREF(kind.type);
        Py_XDECREF(kind.code);
    }
    errors.kinds.clear();
    PyErr_Clear();  // a failure to write the counts is not the program's
    PyErr_SetRaisedException(ending);
}

int32_t stop_for_native_failure(ThreadState& state, const std::exception& failure) {
    if (!PyErr_Occurred()) {
        if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) PyErr_NoMemory();
        else PyErr_SetString(PyExc_SystemError, failure.what());
    }
    state.stopping = true;
    return TqCALLBACKRETURN_STOP;
}

bool callback_exception_ends_the_call() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit);
}

void report_callback_exception(ThreadState& state) {
    OwnedRef exception(PyErr_GetRaisedException());
    if (!exception) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
    OwnedRef code;
    int line = -1;
    raising_place(exception.get(), code, line);

    CallbackErrors& errors = state.callbackErrors;
    for (RaisedKind& kind : errors.kinds) {
        if (kind.type == type && kind.code == code.get() && kind.line == line) {
            ++kind.repeats;
            return;  // releasing the exception clears it
        }
    }
    if (errors.depth > 0 && errors.kinds.size() < kRaisedKindsKept) {
        errors.kinds.push_back(RaisedKind{Py_NewRef(type), code.release(), line, 0});
    }
    PyErr_SetRaisedException(exception.release());
    PyErr_Print();
}

bool refuse_answer_past_32_bits(PyObject* answer, long value, const char* callback) {
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    } else if (value >= INT32_MIN && value <= INT32_MAX) {
        return false;
    }
    PyErr_Format(PyExc_OverflowError, "the %s callback returned %R, which does not fit a 32-bit int", callback, answer);
    return true;
}

}  // namespace tarvik
