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

bool make_condition_values(ThreadState& state) {
    for (int value = 0; value < kConditionValues; ++value) {
        state.conditionValues[value] = PyLong_FromLong(value);
        if (state.conditionValues[value] == nullptr) return false;
    }
    return true;
}

void aim_fill_targets(ThreadState& state) {
    FillTargets& fill = state.fill;
    TarvikHeaderObject* header = state.message->coreHeader;
    TarvikDataObject* data = state.message->coreData;
    fill.systemDate = state.system->tqDate;
    fill.systemTime = state.system->tqTime;
    fill.header = header;
    fill.sessionDate = header->tqSessionDate;
    fill.exgTimestamp = header->tqExgTimestamp;
    fill.exgQuote = data->ExgQuote;
    fill.exgCoreQuote = data->ExgQuote->coreQuote;
    fill.mmQuote = data->MMQuote;
    fill.mmCoreQuote = data->MMQuote->coreQuote;
    fill.trade = data->Trade;
    fill.tradeAnalysis = data->Trade->tqAnalysis;
    fill.category = data->Category;
    fill.symbolChange = data->SymbolChange;
    fill.symbolSpin = data->SymbolSpin;
}

}  // namespace

void reclaim_option_slot(PyObject* held, PyObject* previous) {
    Py_XINCREF(previous);  // the run's option header object, or nothing
    Py_XDECREF(held);      // last: it may run the program's code
}

void adopt_borrowed_members(ThreadState& state) {
    if (state.message != nullptr) Py_XINCREF(state.message->ptarvik3Ext);
    // The option slot's reserve: it stays with a slot that still shows the
    // run's object, went with a program's store that replaced that object,
    // and is returned otherwise.
    if (state.headerOption != nullptr && state.shownOption == nullptr) {
        Py_DECREF(reinterpret_cast<PyObject*>(state.headerOption));
    }
    state.shownOption = nullptr;
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
                (state.arguments = pair(state.system, state.message)) != nullptr && make_condition_values(state);
    if (!made) {
        release_run_objects(state);
        return false;
    }
    aim_fill_targets(state);
    Py_INCREF(reinterpret_cast<PyObject*>(state.headerOption));  // the option slot's reserve
    state.shownOption = nullptr;
    return true;
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
    for (PyObject*& value : state.conditionValues) Py_CLEAR(value);
    state.fill = FillTargets{};
}

}  // namespace tarvik
