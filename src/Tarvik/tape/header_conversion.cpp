#include "tape/header_conversion.h"

#include "core/object_cache.h"
#include "core/run_objects.h"
#include "records/record_copy.h"
#include "tape/header_filler.h"

namespace tarvik {

namespace {

// The message path's policy for the header filler (tape/header_filler.h):
// the run's message strings, the shown records for the write-back (the
// write-back sink for a string shown empty), and the option header object
// shown through the run's reserve, without reference counting.
struct MessageHeader {
    ThreadState& state;

    static constexpr bool kShowsOptionFirst = false;

    TqStringObject* string(MessageString role) const { return state.message_string(role); }
    void shown(MessageString role, TqStringRecord* record) const { state.shown_record(role) = record; }
    void unshown(MessageString role) const { state.shown_record(role) = &state.writeBackSink; }
    TqOptionHdrObject* option() const { return state.headerOption; }

    // Shows the run's option header object (or nothing) on the header's
    // writable ptqOptionHdr. The run holds a reference to that object on
    // behalf of the slot (see shownOption), so the message path only stores
    // pointers; reference counts change only after the program stored
    // something else.
    [[gnu::always_inline]] void show_option(TarvikHeaderObject* header, PyObject* shown) const {
        PyObject* held = header->ptqOptionHdr;
        PyObject* previous = state.shownOption;
        header->ptqOptionHdr = shown;
        state.shownOption = shown;
        if (held != previous) [[unlikely]] reclaim_option_slot(held, previous);
    }

    // An option whose strings the caches cannot give shows nothing.
    void show_no_option(TarvikHeaderObject* header) const {
        show_option(header, nullptr);
        set_member(header->ptqStringSymbol, nullptr);
        state.shownRecords.fill(&state.writeBackSink);
    }

    void index_symbol(uint16_t, TqStringRecord*) const {}
    void index_option(TqStringRecord*, const TqOptionHdrRecord*) const {}

    void copy_times(TarvikHeaderObject*, const TarvikHeaderRecord& record) const {
        copy_header_times(state.fill.sessionDate, state.fill.exgTimestamp, record);
    }
};

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
    fill_header(MessageHeader{state}, state.fill.header, message->coreHeader, symbol_text);
}

void forget_category_text(ThreadState& state) {
    forget_library_text(state.message->coreData->Category, state.textFields);
    state.textFields = 0;
}

}  // namespace tarvik
