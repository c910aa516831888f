#include "tape/header_conversion.h"

#include "records/record_copy.h"
#include "core/object_cache.h"
#include "core/run_objects.h"

namespace tarvik {

namespace {

// Shows message string 2 + role on `member`, filled from `record` with
// `text`; or unsets the member when there is no record or no text.
[[gnu::always_inline]] inline void show(ThreadState& state, ShownString role, PyObject*& member, TqStringRecord* record, PyObject* text) {
    if (record == nullptr || text == nullptr) {
        set_member(member, nullptr);
        state.shownRecords[role] = &state.writeBackSink;
        return;
    }
    TqStringObject* string = state.messageStrings[kFirstHeaderString + role];
    show_cached_string(string, *record, text);
    set_member(member, string);
    state.shownRecords[role] = record;
}

// Shows the run's option header object (or nothing) on the header's
// writable ptqOptionHdr. The run holds a reference to that object on behalf
// of the slot (see shownOption), so the message path only stores pointers;
// reference counts change only after the program stored something else.
[[gnu::always_inline]] inline void show_option(ThreadState& state, TarvikHeaderObject* header, PyObject* shown) {
    PyObject* held = header->ptqOptionHdr;
    PyObject* previous = state.shownOption;
    header->ptqOptionHdr = shown;
    state.shownOption = shown;
    if (held != previous) [[unlikely]] reclaim_option_slot(held, previous);
}

void fill_option_header(ThreadState& state, TarvikHeaderObject* header, const TarvikMessageRecord* message) {
    const TqOptionHdrRecord* option = message->coreHeader.ptqOptionHdr;
    TqStringRecord* root = message->coreHeader.ptqStringSymbol;
    TqOptionHdrObject* object = state.headerOption;
    copy_option(object, *option);
    OptionObjectEntry* entry = GetOptionObjects(state, root, option);
    if (entry == nullptr) {
        show_option(state, header, nullptr);
        set_member(header->ptqStringSymbol, nullptr);
        state.shownRecords.fill(&state.writeBackSink);
        return;
    }
    show_option(state, header, reinterpret_cast<PyObject*>(object));
    show(state, kSymbol, header->ptqStringSymbol, root, entry->root);
    show(state, kUnderlying, object->ptqsUnderlying, option->ptqsUnderlying, entry->underlying);
    show(state, kSeriesChain, object->ptqsSeriesChain, option->ptqsSeriesChain, entry->seriesChain);
    show(state, kSpecialSettle, object->ptqsSpecialSettle, option->ptqsSpecialSettle, entry->specialSettle);
    show(state, kDateAndStrike, object->ptqsDateAndStrike, option->ptqsDateAndStrike,
         GetDateAndStrikeObject(state, option->ptqsDateAndStrike));
}

void fill_header(ThreadState& state, const TarvikMessageRecord* message, PyObject* symbol_text) {
    TarvikHeaderObject* header = state.fill.header;
    const TarvikHeaderRecord& record = message->coreHeader;
    if (record.ptqOptionHdr != nullptr) [[unlikely]] {
        fill_option_header(state, header, message);
    } else {
        show_option(state, header, nullptr);
        TqStringRecord* symbol = record.ptqStringSymbol;
        if (symbol_text == nullptr) symbol_text = GetSymbolObject(state, symbol, static_cast<uint8_t>(record.ListedExg));
        show(state, kSymbol, header->ptqStringSymbol, symbol, symbol_text);
    }
    copy_header_numbers(header, record);
    copy_header_times(state.fill.sessionDate, state.fill.exgTimestamp, record);
}

}  // namespace

void fill_system_and_header(ThreadState& state, const TarvikSystemRecord* system, const TarvikMessageRecord* message,
                            PyObject* symbol_text) {
    copy_system(state.system, state.fill.systemDate, state.fill.systemTime, *system);
    TarvikMessageObject* object = state.message;
    object->MessageType = message->MessageType;
    // The run's extension object is shown without a reference of its own
    // (the member is read-only, and the run holds the object): the run's
    // end gives the message one when it still shows it.
    PyObject* extension = nullptr;
    if (message->ptarvik3Ext != nullptr) {
        copy_extension(state.extension, *message->ptarvik3Ext);
        extension = reinterpret_cast<PyObject*>(state.extension);
    }
    object->ptarvik3Ext = extension;
    PrefetchDateAndStrikeSlot(state, message);
    fill_header(state, message, symbol_text);
}

void forget_category_text(ThreadState& state) {
    forget_library_text(state.message->coreData->Category, state.textFields);
    state.textFields = 0;
}

}  // namespace tarvik
