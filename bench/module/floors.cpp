// Native floors for the module's benchmarks:
//   engine_noop(engine, tape)  replays a tape into a C++ callback that does
//                              nothing; returns (result, messages, seconds).
//   engine_call(engine, tape, callable, first, second)
//                              replays a tape into a C++ callback that
//                              calls callable(first, second) through
//                              vectorcall and answers what it returns,
//                              filling nothing; returns (result, messages,
//                              seconds).
//   vectorcall_loop(callable, count, first, second)
//                              calls callable(first, second) count times
//                              through vectorcall, as tightly as C can;
//                              returns the seconds taken.
#include <Python.h>

#include <dlfcn.h>

#include <chrono>

#include "tarvik/constants.h"
#include "tarvik/library.h"

namespace {

thread_local long long g_messages = 0;

int32_t count_message(tarvik::TarvikSystemRecord*, tarvik::TarvikMessageRecord*) {
    ++g_messages;
    return 0;
}

// What engine_call's callback calls.
struct FixedCall {
    vectorcallfunc call = nullptr;
    PyObject* callable = nullptr;
    PyObject* arguments[3] = {};  // a free slot, then the two objects
};
thread_local FixedCall g_call;

int32_t call_fixed(tarvik::TarvikSystemRecord*, tarvik::TarvikMessageRecord*) {
    ++g_messages;
    PyObject* answer = g_call.call(g_call.callable, g_call.arguments + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (answer == nullptr) return tarvik::TqCALLBACKRETURN_STOP;
    long value = PyLong_AsLong(answer);
    Py_DECREF(answer);
    if (value == -1 && PyErr_Occurred()) return tarvik::TqCALLBACKRETURN_STOP;
    return static_cast<int32_t>(value);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Replays `tape` with the engine at `engine` into `callback`; null with an
// exception set when the engine cannot be loaded.
PyObject* replay_into(const char* engine, const char* tape, tarvik::TarvikMessageCallback callback) {
    void* library = dlopen(engine, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return PyErr_Format(PyExc_OSError, "cannot load %s", engine);
    auto process = reinterpret_cast<tarvik::sTarvikProcessTape_t>(dlsym(library, "sTarvikProcessTape"));
    if (process == nullptr) {
        dlclose(library);
        return PyErr_Format(PyExc_OSError, "%s has no sTarvikProcessTape", engine);
    }
    g_messages = 0;
    auto start = std::chrono::steady_clock::now();
    int32_t result = process(tape, nullptr, 0, 0, callback);
    double elapsed = seconds_since(start);
    dlclose(library);
    if (PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(iLd)", result, g_messages, elapsed);
}

PyObject* engine_noop(PyObject*, PyObject* args) {
    const char* engine;
    const char* tape;
    if (!PyArg_ParseTuple(args, "ss", &engine, &tape)) return nullptr;
    return replay_into(engine, tape, count_message);
}

PyObject* engine_call(PyObject*, PyObject* args) {
    const char* engine;
    const char* tape;
    PyObject* callable;
    PyObject* first;
    PyObject* second;
    if (!PyArg_ParseTuple(args, "ssOOO", &engine, &tape, &callable, &first, &second)) return nullptr;
    vectorcallfunc call = PyVectorcall_Function(callable);
    if (call == nullptr) return PyErr_Format(PyExc_TypeError, "callable has no vectorcall entry");
    g_call = FixedCall{call, callable, {nullptr, first, second}};
    PyObject* result = replay_into(engine, tape, call_fixed);
    g_call = FixedCall{};
    return result;
}

PyObject* vectorcall_loop(PyObject*, PyObject* args) {
    PyObject* callable;
    long long count;
    PyObject* first;
    PyObject* second;
    if (!PyArg_ParseTuple(args, "OLOO", &callable, &count, &first, &second)) return nullptr;
    vectorcallfunc call = PyVectorcall_Function(callable);
    if (call == nullptr) return PyErr_Format(PyExc_TypeError, "callable has no vectorcall entry");
    PyObject* arguments[] = {first, second};
    auto start = std::chrono::steady_clock::now();
    for (long long i = 0; i < count; ++i) {
        PyObject* answer = call(callable, arguments, 2, nullptr);
        if (answer == nullptr) return nullptr;
        long value = PyLong_AsLong(answer);
        Py_DECREF(answer);
        if (value == -1 && PyErr_Occurred()) return nullptr;
    }
    return PyFloat_FromDouble(seconds_since(start));
}

PyMethodDef kMethods[] = {
    {"engine_noop", engine_noop, METH_VARARGS, "engine_noop(engine, tape) -> (result, messages, seconds)"},
    {"engine_call", engine_call, METH_VARARGS,
     "engine_call(engine, tape, callable, first, second) -> (result, messages, seconds)"},
    {"vectorcall_loop", vectorcall_loop, METH_VARARGS, "vectorcall_loop(callable, count, first, second) -> seconds"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_tarvik_bench",
    .m_doc = "Native floors for the Tarvik benchmarks.",
    .m_size = 0,
    .m_methods = kMethods,
};

}  // namespace

PyMODINIT_FUNC PyInit__tarvik_bench(void) { return PyModuleDef_Init(&kModule); }
