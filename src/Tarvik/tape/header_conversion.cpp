#include "tape/header_conversion.h"

#include "records/record_copy.h"
#include "tape/object_cache.h"

namespace tarvik {

namespace {

// Positions in ThreadState::shownRecords and the message strings behind them.
enum ShownString { kSymbol = 0, kDateAndStrike = 1, kUnderlying = 2, kSeriesChain = 3, kSpecialSettle = 4 };
constexpr int kFirstHeaderString = 2;  // message strings 2 to 6

// Shows message string 2 + role on `member`, filled from `record` with
// `text`; or unsets the member when there is no record or no text.
[[gnu::always_inline]] inline void show(ThreadState& state, ShownString role, PyObject*& member, TqStringRecord* record, PyObject* text) {
    if (record == nullptr || text == nullptr) {
        set_member(member, nullptr);
        state.shownRecords[role] = nullptr;
        return;
    }
    TqStringObject* string = state.messageStrings[kFirstHeaderString + role];
    show_cached_string(string, *record, text);
    set_member(member, string);
    state.shownRecords[role] = record;
}

void fill_option_header(ThreadState& state, TarvikHeaderObject* header, const TarvikMessageRecord* message) {
    const TqOptionHdrRecord* option = message->coreHeader.ptqOptionHdr;
    TqStringRecord* root = message->coreHeader.ptqStringSymbol;
    TqOptionHdrObject* object = state.headerOption;
    copy_option(object, *option);
    OptionObjectEntry* entry = GetOptionObjects(state, root, option);
    if (entry == nullptr) {
        set_member(header->ptqOptionHdr, nullptr);
        show(state, kSymbol, header->ptqStringSymbol, nullptr, nullptr);
        state.shownRecords.fill(nullptr);
        return;
    }
    set_member(header->ptqOptionHdr, object);
    show(state, kSymbol, header->ptqStringSymbol, root, entry->root);
    show(state, kUnderlying, object->ptqsUnderlying, option->ptqsUnderlying, entry->underlying);
    show(state, kSeriesChain, object->ptqsSeriesChain, option->ptqsSeriesChain, entry->seriesChain);
    show(state, kSpecialSettle, object->ptqsSpecialSettle, option->ptqsSpecialSettle, entry->specialSettle);
    show(state, kDateAndStrike, object->ptqsDateAndStrike, option->ptqsDateAndStrike,
         GetDateAndStrikeObject(state, option->ptqsDateAndStrike));
}

}  // namespace

void fill_system(ThreadState& state, const TarvikSystemRecord* system) { copy_system(state.system, *system); }

void fill_message_tail(ThreadState& state, const TarvikMessageRecord* message) {
    TarvikMessageObject* object = state.message;
    object->MessageType = message->MessageType;
    if (message->ptarvik3Ext != nullptr) {
        copy_extension(state.extension, *message->ptarvik3Ext);
        set_member(object->ptarvik3Ext, state.extension);
    } else {
        set_member(object->ptarvik3Ext, nullptr);
    }
}

void fill_header(ThreadState& state, const TarvikMessageRecord* message) {
    TarvikHeaderObject* header = state.message->coreHeader;
    const TarvikHeaderRecord& record = message->coreHeader;
    if (record.ptqOptionHdr != nullptr) {
        fill_option_header(state, header, message);
    } else {
        set_member(header->ptqOptionHdr, nullptr);
        state.shownRecords.fill(nullptr);
        TqStringRecord* symbol = record.ptqStringSymbol;
        show(state, kSymbol, header->ptqStringSymbol, symbol,
             GetSymbolObject(state, symbol, static_cast<uint8_t>(record.ListedExg)));
    }
    copy_header_numbers(header, record);
    copy_header_times(header, record);
}

void forget_message_text(ThreadState& state) {
    forget_library_text(state.system);
    if (state.textFields != 0) {
        forget_library_text(state.message->coreData->Category, state.textFields);
        state.textFields = 0;
    }
}

void write_back(ThreadState& state, TarvikSystemRecord* system) {
    write_back_user_data(system, state.system);
    for (int role = kSymbol; role <= kSpecialSettle; ++role) {
        if (TqStringRecord* record = state.shownRecords[role]) {
            write_back_user_data(record, state.messageStrings[kFirstHeaderString + role]);
        }
    }
    forget_message_text(state);
}

}  // namespace tarvik
