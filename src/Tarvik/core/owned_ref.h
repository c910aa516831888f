// A strong reference with one owner: released when the owner goes away,
// handed over with release(). Borrowed references stay raw PyObject*.
#pragma once

#include <Python.h>

#include <utility>

namespace tarvik {

class OwnedRef {
public:
    OwnedRef() = default;
    // Takes over a new reference (which may be null).
    explicit OwnedRef(PyObject* object) : object_(object) {}
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    // Takes a new reference to a borrowed one.
    static OwnedRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Gives up ownership without releasing.
    PyObject* release() { return std::exchange(object_, nullptr); }

    // Replaces the held reference with a new one, releasing the old one last.
    void reset(PyObject* object = nullptr) {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

// Stores a new reference to `callable` in one of the thread's callable
// slots (the ProcessTape callable, the spin and listing callables),
// releasing the previous one last: its release may run the program's code,
// which then finds the slot already holding the new callable.
inline void store_callable(PyObject*& slot, PyObject* callable) {
    PyObject* previous = std::exchange(slot, Py_NewRef(callable));
    Py_XDECREF(previous);
}

}  // namespace tarvik
