// The per-thread data of the module: three callable slots, the thread's
// library binding and its ThreadState. Made on the thread's first entry into
// any module function or callback; torn down at thread exit, ThreadState
// first, then the ApiTable (which releases the library handle).
#pragma once

#include <Python.h>

#include "core/api_table.h"
#include "core/thread_state.h"

namespace tarvik {

struct ThreadData {
    PyObject* SpinCallback = nullptr;
    PyObject* LibraryListCallback = nullptr;
    PyObject* TapeListCallback = nullptr;
    ApiTable api;       // destroyed after state
    ThreadState state;  // destroyed first
};

namespace detail {
// The calling thread's data once made; read on every message, so it is a
// plain pointer with constant initialisation (no guard, no wrapper call).
extern constinit thread_local ThreadData* current_thread_data;
ThreadData* make_thread_data();
}  // namespace detail

// The calling thread's data, made on first use.
inline ThreadData& thread_data() {
    ThreadData* data = detail::current_thread_data;
    if (data == nullptr) [[unlikely]] data = detail::make_thread_data();
    return *data;
}

// The calling thread's data when it has any, else null, for the library's
// callbacks: they reach Python only on a thread that called into the
// module. A library that calls back from a thread of its own reaches
// nothing there, and that thread gets no data (nor a release of Python
// objects at its exit, which would wait for the interpreter lock that the
// thread running the library holds).
inline ThreadData* existing_thread_data() { return detail::current_thread_data; }

// The calling thread's library binding, or null with RuntimeError set when
// no library is loaded on this thread.
ApiTable* loaded_api();

}  // namespace tarvik
