#include "core/run_objects.h"

#include "core/make_object.h"

namespace tarvik {

namespace {

template <typename Object>
void release(Object*& field) {
    Py_XDECREF(as_object(field));
    field = nullptr;
}

template <typename Object, std::size_t N>
void release_all(std::array<Object*, N>& fields) {
    for (Object*& field : fields) release(field);
}

}  // namespace

void reclaim_option_slot(PyObject* held, PyObject* previous) {
    Py_XINCREF(previous);  // the run's option header object, or nothing
    Py_XDECREF(held);      // last: it may run the program's code
}

void RunObjects::adopt_borrowed_members() {
    for (PyObject** member : borrowedMembers) {
        if (member != nullptr) Py_XINCREF(*member);
    }
    // The option slot's reserve: it stays with a slot that still shows the
    // run's object, went with a program's store that replaced that object,
    // and is returned otherwise.
    if (headerOption != nullptr && shownOption == nullptr) Py_DECREF(as_object(headerOption));
    shownOption = nullptr;
}

void RunObjects::release_run_objects() {
    borrowedMembers.fill(nullptr);
    release(system);
    release(message);
    release(headerOption);
    Py_CLEAR(arguments);
    release_all(messageStrings);
    release_all(stateStrings);
    release(oldOption);
    release(spinSystem);
    release(spinMessage);
    release(spinOption);
    release_all(spinStrings);
    Py_CLEAR(spinArguments);
    release(extension);
    for (PyObject*& value : conditionValues) Py_CLEAR(value);
    fill = FillTargets{};
}

}  // namespace tarvik
