#include "tape/run_objects.h"

#include "records/message_records.h"
#include "records/record_copy.h"
#include "records/value_records.h"

namespace tarvik {

namespace {

// Calls a record type with no arguments, as a program would.
template <typename Object>
bool make(Object*& field, PyTypeObject& type) {
    field = reinterpret_cast<Object*>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&type)));
    return field != nullptr;
}

template <typename Object, std::size_t N>
bool make_all(std::array<Object*, N>& fields, PyTypeObject& type) {
    for (Object*& field : fields) {
        if (!make(field, type)) return false;
    }
    return true;
}

template <typename Object>
void release(Object*& field) {
    Py_XDECREF(reinterpret_cast<PyObject*>(field));
    field = nullptr;
}

template <typename Object, std::size_t N>
void release_all(std::array<Object*, N>& fields) {
    for (Object*& field : fields) release(field);
}

PyObject* pair(TarvikSystemObject* system, TarvikMessageObject* message) {
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(system), reinterpret_cast<PyObject*>(message));
}

}  // namespace

void adopt_cached_texts(ThreadState& state) {
    constexpr int kCachedMessageStrings[] = {0, 2, 3, 4, 5, 6};
    for (int i : kCachedMessageStrings) {
        if (state.messageStrings[i] != nullptr) adopt_cached_text(state.messageStrings[i]);
    }
    for (TqStringObject* string : state.stateStrings) {
        if (string != nullptr) adopt_cached_text(string);
    }
    for (TqStringObject* string : state.spinStrings) {
        if (string != nullptr) adopt_cached_text(string);
    }
}

bool make_run_objects(ThreadState& state) {
    bool made = make(state.system, TarvikSystemType) && make(state.message, TarvikMessageType) &&
                make(state.headerOption, TqOptionHdrType) && make(state.extension, Tarvik3ExtType) &&
                make_all(state.messageStrings, TqStringType) && make_all(state.stateStrings, TqStringType) &&
                make(state.oldOption, TqOptionHdrType) && make(state.spinSystem, TarvikSystemType) &&
                make(state.spinMessage, TarvikMessageType) && make(state.spinOption, TqOptionHdrType) &&
                make_all(state.spinStrings, TqStringType) &&
                (state.spinArguments = pair(state.spinSystem, state.spinMessage)) != nullptr &&
                (state.arguments = pair(state.system, state.message)) != nullptr;
    if (!made) release_run_objects(state);
    return made;
}

void release_run_objects(ThreadState& state) {
    release(state.system);
    release(state.message);
    release(state.headerOption);
    Py_CLEAR(state.arguments);
    release_all(state.messageStrings);
    release_all(state.stateStrings);
    release(state.oldOption);
    release(state.spinSystem);
    release(state.spinMessage);
    release(state.spinOption);
    release_all(state.spinStrings);
    Py_CLEAR(state.spinArguments);
    release(state.extension);
}

}  // namespace tarvik
