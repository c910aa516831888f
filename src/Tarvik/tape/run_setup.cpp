#include "tape/run_setup.h"

#include "core/make_object.h"
#include "records/message_records.h"
#include "records/value_records.h"

namespace tarvik {

namespace {

template <typename Object, std::size_t N>
bool make_all(std::array<Object*, N>& fields, PyTypeObject& type) {
    for (Object*& field : fields) {
        if (!make_object(field, type)) return false;
    }
    return true;
}

PyObject* pair(TarvikSystemObject* system, TarvikMessageObject* message) {
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(system), reinterpret_cast<PyObject*>(message));
}

bool make_condition_values(RunObjects& run) {
    for (int value = 0; value < kConditionValues; ++value) {
        run.conditionValues[value] = PyLong_FromLong(value);
        if (run.conditionValues[value] == nullptr) return false;
    }
    return true;
}

void aim_fill_targets(RunObjects& run) {
    FillTargets& fill = run.fill;
    TarvikHeaderObject* header = run.message->coreHeader;
    TarvikDataObject* data = run.message->coreData;
    fill.systemDate = run.system->tqDate;
    fill.systemTime = run.system->tqTime;
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

// The members the message and spin paths fill with borrowed references:
// the extension, and the string objects that show the caches' strs
// (the cached message strings, the state and spin strings).
void note_borrowed_members(RunObjects& run) {
    std::size_t next = 0;
    auto note = [&](PyObject*& member) { run.borrowedMembers[next++] = &member; };
    note(run.message->ptarvik3Ext);
    for (MessageString role : kCachedMessageStrings) note(run.message_string(role)->String);
    for (TqStringObject* string : run.stateStrings) note(string->String);
    for (TqStringObject* string : run.spinStrings) note(string->String);
}

}  // namespace

bool make_run_objects(RunObjects& run) {
    bool made = make_object(run.system, TarvikSystemType) && make_object(run.message, TarvikMessageType) &&
                make_object(run.headerOption, TqOptionHdrType) && make_object(run.extension, Tarvik3ExtType) &&
                make_all(run.messageStrings, TqStringType) && make_all(run.stateStrings, TqStringType) &&
                make_object(run.oldOption, TqOptionHdrType) && make_object(run.spinSystem, TarvikSystemType) &&
                make_object(run.spinMessage, TarvikMessageType) && make_object(run.spinOption, TqOptionHdrType) &&
                make_all(run.spinStrings, TqStringType) &&
                (run.spinArguments = pair(run.spinSystem, run.spinMessage)) != nullptr &&
                (run.arguments = pair(run.system, run.message)) != nullptr && make_condition_values(run);
    if (!made) {
        run.release_run_objects();
        return false;
    }
    aim_fill_targets(run);
    note_borrowed_members(run);
    Py_INCREF(reinterpret_cast<PyObject*>(run.headerOption));  // the option slot's reserve
    run.shownOption = nullptr;
    return true;
}

}  // namespace tarvik
