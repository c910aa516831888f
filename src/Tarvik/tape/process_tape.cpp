#include "tape/process_tape.h"

#include "module/errors.h"
#include "module/library_pin.h"
#include "module/thread_data.h"
#include "services/utilities.h"
#include "tape/callback_errors.h"
#include "tape/filters.h"
#include "tape/message_callback.h"
#include "tape/object_cache.h"
#include "tape/run_objects.h"

namespace tarvik {

namespace {

constexpr char kNestedRun[] =
    "ProcessTape is already running on this thread: it cannot be called from inside its own callback";

// Stores the run's callable and its fast-call entry, releasing the previous one.
void store_callback(ThreadState& state, PyObject* callable) {
    PyObject* previous = state.callback;
    state.callback = Py_NewRef(callable);
    state.callbackEntry = PyVectorcall_Function(callable);
    Py_XDECREF(previous);
}

}  // namespace

PyObject* ProcessTape(PyObject*, PyObject* args, PyObject* kwargs) {
    ThreadData& data = thread_data();
    ThreadState& state = data.state;
    static const char* const keywords[] = {"filename", "pMemoryAddr", "controlFlags", "UserData", "callbackFunction",
                                           nullptr};
    const char* filename;
    long memory_address;
    int control_flags;
    int user_data;
    PyObject* callable;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sliiO:set_callback", const_cast<char**>(keywords), &filename,
                                     &memory_address, &control_flags, &user_data, &callable)) {
        return raise_invalid_parameters();
    }
    if (!PyCallable_Check(callable)) return raise_not_callable();
    if (run_in_progress(state)) {
        PyErr_SetString(PyExc_RuntimeError, kNestedRun);
        return nullptr;
    }
    if (!data.api.loaded()) return raise_library_not_loaded();
    auto process_tape = entry<sTarvikProcessTape_t>(data.api.ProcessTape);

    state.controlFlags = control_flags;
    store_callback(state, callable);
    if (!make_run_objects(state)) return nullptr;
    forget_symbol_decisions(state);
    state.stopping = false;
    state.zeroAnswer = Py_GetConstantBorrowed(Py_CONSTANT_ZERO);
    state.shownRecords.fill(&state.writeBackSink);
    state.textFields = 0;

    int32_t result;
    begin_callback_errors(state);
    {
        LibraryPin pin(reinterpret_cast<void*>(process_tape));
        result = process_tape(filename, reinterpret_cast<void*>(memory_address), control_flags, user_data,
                              message_callback);
    }
    // A run that ends during a wait for the live tape returns without the
    // interpreter: it is taken back here.
    if (state.releasedThread != nullptr) {
        PyEval_RestoreThread(state.releasedThread);
        state.releasedThread = nullptr;
    }
    end_callback_errors(state);

    adopt_borrowed_members(state);
    release_run_objects(state);
    forget_run_strings(state);
    forget_symbol_decisions(state);
    empty_defined_string_cache(state);
    state.stopping = false;
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(result);
}

}  // namespace tarvik
