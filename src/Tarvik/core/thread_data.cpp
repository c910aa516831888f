#include "core/thread_data.h"

#include "core/errors.h"

namespace tarvik {

ApiTable* loaded_api() {
    ApiTable& api = thread_data().api;
    if (!api.loaded()) {
        raise_library_not_loaded();
        return nullptr;
    }
    return &api;
}

}  // namespace tarvik

namespace tarvik::detail {

constinit thread_local ThreadData* current_thread_data = nullptr;

namespace {

// The Python objects the thread's data still holds after its last run: the
// callables of ProcessTape, SpinSymbols and the listings, and the caches'
// strs. Needs the interpreter lock.
void release_python_objects(ThreadData& data) {
    Py_CLEAR(data.SpinCallback);
    Py_CLEAR(data.LibraryListCallback);
    Py_CLEAR(data.TapeListCallback);
    data.state.release_python_objects();
}

// ThreadState holds over a megabyte of fixed tables, so the data lives on
// the heap; its owner, made with it, deletes it at thread exit. A thread
// that ends while the interpreter runs gives its Python objects back first,
// so that a pool of short-lived threads holds none of them; once the
// interpreter is finalising or gone (the main thread's own exit comes after
// that) no Python object is touched and they stay where they are.
struct ThreadDataOwner {
    ThreadData* data = nullptr;
    ~ThreadDataOwner() {
        if (data != nullptr && Py_IsInitialized() && !Py_IsFinalizing()) {
            const PyGILState_STATE gil = PyGILState_Ensure();
            release_python_objects(*data);
            PyGILState_Release(gil);
        }
        current_thread_data = nullptr;
        delete data;
    }
};

}  // namespace

ThreadData* make_thread_data() {
    thread_local ThreadDataOwner owner;
    owner.data = new ThreadData;
    current_thread_data = owner.data;
    return owner.data;
}

}  // namespace tarvik::detail
