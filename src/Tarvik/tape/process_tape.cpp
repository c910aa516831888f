#include "tape/process_tape.h"

#include "core/callback_errors.h"
#include "core/errors.h"
#include "core/library_pin.h"
#include "core/thread_data.h"
#include "tape/message_callback.h"
#include "tape/run_setup.h"

namespace tarvik {

namespace {

constexpr char kNestedRun[] =
    "ProcessTape is already running on this thread: it cannot be called from inside its own callback";

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
    sTarvikProcessTape_t process_tape = data.api.ProcessTape;

    state.controlFlags = control_flags;
    state.store_callback(callable);
    if (!make_run_objects(state)) return nullptr;
    state.forget_symbol_decisions();
    state.stopping = false;
    state.zeroAnswer = Py_GetConstantBorrowed(Py_CONSTANT_ZERO);
    state.shownRecords.fill(&state.writeBackSink);
    state.textFields = 0;

    int32_t result;
    begin_callback_errors(state);
    {
        LibraryPin pin(process_tape);
        // The live tape's tables may be a while coming, and the library
        // waits for them before any callback: other threads run meanwhile,
        // and the first callback takes the interpreter back.
        if (filename[0] == '\0' && memory_address == 0) state.releasedThread = PyEval_SaveThread();
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

    state.end_run();
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(result);
}

}  // namespace tarvik
