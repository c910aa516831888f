#include "tape/filters.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/thread_data.h"
#include "records/value_records.h"

namespace tarvik {

namespace {

// The UTF-8 bytes of a str, or nothing (with no error left pending) when it
// cannot be encoded or holds a NUL, which no library symbol can contain.
bool symbol_name(PyObject* object, std::string_view* name) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (std::memchr(text, '\0', static_cast<std::size_t>(size)) != nullptr) return false;
    *name = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

// A listed exchange given with a name: any int that fits 32 bits.
bool listed_exchange(PyObject* object, int64_t* exchange) {
    if (!PyLong_Check(object)) return false;
    long value = PyLong_AsLong(object);
    if ((value == -1 && PyErr_Occurred()) || value < INT32_MIN || value > INT32_MAX) {
        PyErr_Clear();
        return false;
    }
    *exchange = static_cast<int32_t>(value);
    return true;
}

// Adds one accepted form (str, (str,), (str, int)) to the list. A tuple of
// another length is skipped as a list item and refused at the top level.
bool add_entry(FilterList& list, PyObject* item, bool in_list) {
    std::string_view name;
    int64_t exchange = AnyListedExg;
    if (PyUnicode_Check(item)) {
        if (!symbol_name(item, &name)) return false;
    } else if (PyTuple_Check(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size != 1 && size != 2) return in_list;
        PyObject* first = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(first) || !symbol_name(first, &name)) return false;
        if (size == 2 && !listed_exchange(PyTuple_GET_ITEM(item, 1), &exchange)) return false;
    } else {
        return false;
    }
    list[std::string(name)] = exchange;  // a name holds its last value
    return true;
}

void redecide_run_symbols(ThreadState& state);

// FilterSymbols and ExcludeSymbols: the same procedure on their own list.
PyObject* set_symbol_list(PyObject* args, FilterList& list, FilterMode mode) {
    ThreadState& state = thread_data().state;
    list.clear();
    state.filterMode = FilterNone;
    PyObject* argument;
    if (!PyArg_ParseTuple(args, "O", &argument)) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    if (PyList_Check(argument)) {
        Py_ssize_t count = PyList_GET_SIZE(argument);
        for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(argument); ++i) {
            if (!add_entry(list, PyList_GET_ITEM(argument, i), true)) Py_RETURN_FALSE;
        }
    } else if (!add_entry(list, argument, false)) {
        Py_RETURN_FALSE;
    }
    state.filterMode = mode;
    redecide_run_symbols(state);
    Py_RETURN_TRUE;
}

// Byte-wise order with each byte taken as signed 8 bits; a prefix sorts first.
int compare_names(std::string_view a, std::string_view b) {
    std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        auto x = static_cast<signed char>(a[i]), y = static_cast<signed char>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool in_range(const ThreadState& state, std::string_view name, uint16_t exchange) {
    if (state.RangeListedExg != 0 && state.RangeListedExg != exchange) return false;
    if (!state.RangeStart.empty() && compare_names(name, state.RangeStart) < 0) return false;
    if (!state.RangeEnd.empty() && !name.empty() && compare_names(name, state.RangeEnd) > 0) return false;
    return true;
}

// A name absent from a list is absent whatever the exchange.
bool listed_for(const FilterList& list, std::string_view name, uint16_t exchange) {
    auto found = list.find(std::string(name));
    if (found == list.end()) return false;
    return found->second == AnyListedExg || found->second == static_cast<int64_t>(exchange);
}

// The filter's decision for one symbol name on one listed exchange.
bool delivers(const ThreadState& state, std::string_view name, uint16_t exchange) {
    switch (state.filterMode) {
        case FilterInclude: return listed_for(state.IncludeList, name, exchange);
        case FilterExclude: return !listed_for(state.ExcludeList, name, exchange);
        case FilterRange: return in_range(state, name, exchange);
        default: return true;
    }
}

// The strings that the message and the spin message under way show hold
// copies of their records' words, which their ends write back: a decision
// made meanwhile (a filter set, or a spin deciding a symbol the message
// shows) goes into the copies too, or the write-back would undo it.
void show_decision(ThreadState& state, const TqStringRecord* symbol) {
    auto show = [&state, symbol](MessageString role) {
        if (state.shown_record(role) != symbol) return;
        if (TqStringObject* shown = state.message_string(role)) shown->record.UserData2 = symbol->UserData2;
    };
    show(MessageString::kSymbol);
    for (MessageString role : kOptionStrings) show(role);
    if (state.spinShownRecords != nullptr)
        for (int slot = 0; slot < kHeaderStringCount; ++slot)
            if (state.spinShownRecords[slot] == symbol && state.spinStrings[slot] != nullptr)
                state.spinStrings[slot]->record.UserData2 = symbol->UserData2;
}

void decide(ThreadState& state, TqStringRecord* symbol, uint16_t exchange) {
    symbol->UserData2 = delivers(state, string_text(symbol), exchange) ? 1 : 0;
    state.decidedSymbols.insert_or_assign(symbol, exchange);
    show_decision(state, symbol);
}

// A filter set during a run: the symbols the run has decided so far are
// decided again at once by the new filter; the others are decided at their
// next message. So a new filter changes the fate of the symbols it names
// and of no other.
void redecide_run_symbols(ThreadState& state) {
    if (state.filterMode == FilterNone) return;
    ++state.redecisions;
    for (const auto& [symbol, exchange] : state.decidedSymbols) {
        symbol->UserData2 = delivers(state, string_text(symbol), exchange) ? 1 : 0;
        show_decision(state, symbol);
    }
}

}  // namespace

PyObject* FilterSymbols(PyObject*, PyObject* args) {
    ThreadState& state = thread_data().state;
    return set_symbol_list(args, state.IncludeList, FilterInclude);
}

PyObject* ExcludeSymbols(PyObject*, PyObject* args) {
    ThreadState& state = thread_data().state;
    return set_symbol_list(args, state.ExcludeList, FilterExclude);
}

PyObject* FilterSymbolsRange(PyObject*, PyObject* args) {
    ThreadState& state = thread_data().state;
    state.filterMode = FilterNone;
    const char* start;
    const char* end;
    int exchange = 0;
    if (!PyArg_ParseTuple(args, "ss|i", &start, &end, &exchange)) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    state.RangeStart = start;
    state.RangeEnd = end;
    state.RangeListedExg = exchange;
    state.filterMode = FilterRange;
    redecide_run_symbols(state);
    Py_RETURN_TRUE;
}

void ApplySymbolFilter(ThreadState& state, const TarvikMessageRecord* message) {
    TqStringRecord* symbol = message->coreHeader.ptqStringSymbol;
    if (state.filterMode == FilterNone || symbol == nullptr) return;
    decide(state, symbol, message->coreHeader.ListedExg);
}

bool withheld_or_undecided(ThreadState& state, const TarvikMessageRecord* message) {
    TqStringRecord* symbol = message->coreHeader.ptqStringSymbol;
    if (symbol == nullptr) return true;
    if (!state.decidedSymbols.contains(symbol)) decide(state, symbol, message->coreHeader.ListedExg);
    return symbol->UserData2 != 1;
}

}  // namespace tarvik
