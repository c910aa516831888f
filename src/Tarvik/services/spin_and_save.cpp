#include "services/spin_and_save.h"

#include <array>
#include <optional>
#include <utility>

#include "core/errors.h"
#include "core/library_pin.h"
#include "core/owned_ref.h"
#include "core/thread_data.h"
#include "records/record_copy.h"
#include "core/callback_errors.h"
#include "tarvik/constants.h"
#include "tape/filters.h"
#include "tape/header_filler.h"
#include "core/object_cache.h"
#include "core/run_objects.h"

namespace tarvik {

namespace {

constexpr char kSpinOutsideRun[] = "SpinSymbols can only be called from inside a ProcessTape callback";
constexpr int32_t kContinue = TqCALLBACKRETURN_CONTINUE;
constexpr int32_t kStop = TqCALLBACKRETURN_STOP;

// The library records the spin strings show for the current spin message.
struct SpinShown {
    TqStringRecord* records[kHeaderStringCount] = {};
};

// The spin path's policy for the header filler (tape/header_filler.h): the
// run's spin strings, the shown records of this spin message, and the spin
// message's own option header object, which the header holds a reference
// to. The symbol, or the option contract, is filed in SymbolNameIndex.
struct SpinHeader {
    ThreadState& state;
    SpinShown& shown_records;

    static constexpr bool kShowsOptionFirst = true;

    TqStringObject* string(MessageString role) const { return state.spin_string(role); }
    void shown(MessageString role, TqStringRecord* record) const { shown_records.records[header_slot(role)] = record; }
    void unshown(MessageString) const {}
    TqOptionHdrObject* option() const { return state.spinOption; }
    void show_option(TarvikHeaderObject* header, PyObject* option) const { set_member(header->ptqOptionHdr, option); }
    void show_no_option(TarvikHeaderObject*) const {}

    void index_symbol(uint16_t exchange, TqStringRecord* symbol) const {
        if (symbol != nullptr) IndexSymbolName(state, exchange, symbol);
    }

    void index_option(TqStringRecord* root, const TqOptionHdrRecord* option) const {
        if (root != nullptr) IndexOptionContract(state, root, option);
    }

    void copy_times(TarvikHeaderObject* header, const TarvikHeaderRecord& record) const {
        copy_header_times(header, record);
    }
};

void write_back_spin(ThreadState& state, const SpinShown& shown, TarvikSystemRecord* system) {
    write_back_user_data(system, state.spinSystem);
    for (int role = 0; role < kHeaderStringCount; ++role) {
        if (TqStringRecord* record = shown.records[role]) write_back_user_data(record, state.spinStrings[role]);
    }
    forget_library_text(state.spinSystem);
}

// The callable of the innermost spin under way on this thread (null for
// none), borrowed from its SpinSymbols call's arguments. Each spin calls
// its own: the slot holds the callable last given, which after a spin
// inside a spin is the inner one's. A spin inside a spin fills the same
// spin objects as the spin around it.
thread_local PyObject* spin_callable = nullptr;

// The spin objects' user-data words, kept aside across a spin inside a
// spin: what the outer callable set is written back to the outer spin's
// own records, not the inner spin's last words.
class SpinUserData {
public:
    explicit SpinUserData(const ThreadState& state) : redecisions_(state.redecisions) {
        if (state.spinSystem != nullptr) system_ = state.spinSystem->head.UserData;
        for (int role = 0; role < kHeaderStringCount; ++role)
            if (const TqStringObject* s = state.spinStrings[role]) strings_[role] = {s->record.UserData1, s->record.UserData2};
    }
    // A filter set inside the inner spin decided records again: those the
    // outer spin message shows take the new decisions, not the words kept
    // from before (filters.cpp).
    void restore(ThreadState& state) const {
        if (state.spinSystem != nullptr) state.spinSystem->head.UserData = system_;
        const bool redecided = state.redecisions != redecisions_;
        for (int role = 0; role < kHeaderStringCount; ++role) {
            if (TqStringObject* s = state.spinStrings[role]) {
                s->record.UserData1 = strings_[role].first;
                s->record.UserData2 = strings_[role].second;
                TqStringRecord* shown = state.spinShownRecords != nullptr ? state.spinShownRecords[role] : nullptr;
                if (redecided && shown != nullptr && state.decidedSymbols.contains(shown))
                    s->record.UserData2 = shown->UserData2;
            }
        }
    }

private:
    uint64_t redecisions_;
    int32_t system_ = 0;
    std::array<std::pair<int32_t, int32_t>, kHeaderStringCount> strings_{};
};

// Once per spin message: the spin's own object set is filled and handed to
// the callable given to SpinSymbols; the message callback's objects stay
// untouched.
int32_t spin_callback(TarvikSystemRecord* system, TarvikMessageRecord* message) {
    ThreadData* found = existing_thread_data();
    if (found == nullptr) return kStop;  // not a thread of this module: no spin of its own
    ThreadData& data = *found;
    ThreadState& state = data.state;
    if (state.spinMessage == nullptr || spin_callable == nullptr) return kStop;  // no run or spin on this thread

    SpinShown shown;
    try {
        if (withheld(state, message)) return kContinue;
        fill_header(SpinHeader{state, shown}, state.spinMessage->coreHeader, message->coreHeader, nullptr);
    } catch (const std::exception& failure) {
        return stop_for_native_failure(state, failure);
    }
    copy_symbol_spin(state.spinMessage->coreData->SymbolSpin, message->coreData.SymbolSpin);
    copy_system(state.spinSystem, *system);
    state.spinMessage->MessageType = message->MessageType;
    set_member(state.spinMessage->ptarvik3Ext, nullptr);

    // A filter set by the callable decides these records again (filters.cpp).
    TqStringRecord* const* outer_shown = std::exchange(state.spinShownRecords, shown.records);
    OwnedRef answer(PyObject_Call(spin_callable, state.spinArguments, nullptr));
    state.spinShownRecords = outer_shown;
    write_back_spin(state, shown, system);
    if (!answer) {
        if (!PyErr_Occurred()) return kContinue;
        // Ctrl-C ends the spin and reaches the code that asked for it.
        if (callback_exception_ends_the_call()) return kStop;
        report_callback_exception(state);
        return kContinue;
    }
    const long value = PyLong_AsLong(answer.get());
    if (refuse_answer_past_32_bits(answer.get(), value, "SpinSymbols")) {
        report_callback_exception(state);
        return kContinue;
    }
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "the SpinSymbols callback returned %.100s, but it must return an int",
                     Py_TYPE(answer.get())->tp_name);
        report_callback_exception(state);
        return kContinue;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

PyObject* SpinSymbols(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    int listed_exchange, flags, spin_id, user_data;
    PyObject* callable;
    if (!PyArg_ParseTuple(args, "iiiOi", &listed_exchange, &flags, &spin_id, &callable, &user_data)) {
        return raise_invalid_parameters();
    }
    if (!PyCallable_Check(callable)) return raise_not_callable();
    if (!data.api.loaded()) return raise_library_not_loaded();
    if (!run_in_progress(data.state)) {
        PyErr_SetString(PyExc_RuntimeError, kSpinOutsideRun);
        return nullptr;
    }
    store_callable(data.SpinCallback, callable);
    sTarvikSpinSymbols_t spin = data.api.SpinSymbols;
    int32_t result;
    {
        std::optional<SpinUserData> outer;
        PyObject* const outer_callable = spin_callable;
        if (outer_callable != nullptr) outer.emplace(data.state);
        LibraryPin pin(spin);  // the program's callable runs inside the spin
        spin_callable = callable;
        result = spin(static_cast<uint16_t>(listed_exchange), flags, spin_id, spin_callback, user_data);
        spin_callable = outer_callable;
        if (outer) outer->restore(data.state);
    }
    if (PyErr_Occurred()) return nullptr;  // an interrupt that ended the spin
    return PyLong_FromLong(result);
}

PyObject* SaveState(PyObject*, PyObject* args) {
    const char* path;
    int flags;
    if (!PyArg_ParseTuple(args, "si", &path, &flags)) return raise_invalid_parameters();
    ApiTable& api = thread_data().api;
    if (!api.loaded()) return raise_library_not_loaded();
    return PyLong_FromLong(api.SaveState(path, flags));
}

}  // namespace tarvik
