// Typed writes of library records into record objects. Each helper copies
// whole blocks whose layouts the record headers prove equal, so filling code
// never does offset arithmetic of its own. None of them allocates.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "records/message_records.h"
#include "records/state_records.h"
#include "records/value_records.h"
#include "tarvik/constants.h"
#include "tarvik/library.h"

namespace tarvik {

// Stores a new strong reference to `value` (null unsets the slot) and
// releases the old one last, so that the old object's finalizer sees the
// slot already updated. Storing the object already there does nothing.
inline void set_member(PyObject*& slot, PyObject* value) {
    if (slot == value) return;
    PyObject* old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

template <typename Object>
inline void set_member(PyObject*& slot, Object* value) {
    set_member(slot, reinterpret_cast<PyObject*>(value));
}

// Copies `size` bytes of `record`, from byte `offset` on, into `block`.
// The offsets come from offsetof on the library structs.
template <typename Block, typename Record>
inline void copy_block(Block& block, const Record& record, std::size_t offset, std::size_t size = sizeof(Block)) {
    std::memcpy(&block, reinterpret_cast<const unsigned char*>(&record) + offset, size);
}

// ---------------------------------------------------------------------------
// Value records
// ---------------------------------------------------------------------------

inline void copy_date(TqDateObject* date, const TqDateRecord& record) {
    date->record = record;
}

inline void copy_time(TqTimeObject* time, const TqTimeRecord& record) {
    time->record = record;
}

// A date or time of the system record or the header, at byte `offset` of
// `whole`, with the 4 reserved bytes after it: one 16-byte move instead of
// an 8- and a 4-byte one, on a path that copies four of them per message.
// The object's reserved word takes the 4 bytes.
template <typename Object, typename Whole>
inline void copy_with_reserved(Object* object, const Whole& whole, std::size_t offset) {
    constexpr std::size_t size = sizeof(Object::record) + sizeof(Object::reserved);
    static_assert(offsetof(Object, reserved) == offsetof(Object, record) + sizeof(Object::record));
    std::memcpy(reinterpret_cast<unsigned char*>(object) + offsetof(Object, record),
                reinterpret_cast<const unsigned char*>(&whole) + offset, size);
}

inline void copy_price(TqPriceObject* price, const TqPriceRecord& record) {
    price->record.Price = record.Price;
    price->record.PriceType = record.PriceType;
}

inline void copy_string_table_item(StringTableItemObject* item, const StringTableItemRecord& record) {
    item->record = record;
}

// UserData1, UserData2 and Atom of a library string.
inline void copy_string_numbers(TqStringObject* string, const TqStringRecord& record) {
    string->record.UserData1 = record.UserData1;
    string->record.UserData2 = record.UserData2;
    string->record.Atom = record.Atom;
}

// Shows a library string whose str the thread's caches own: while a run
// lasts the caches keep every such str alive, so the string object stores
// it without a reference of its own and the per-message path touches no
// reference count. When the run ends, adopt_cached_text gives the object
// its own reference before the caches let go.
inline void show_cached_string(TqStringObject* string, const TqStringRecord& record, PyObject* text) {
    copy_string_numbers(string, record);
    string->String = text;
}

inline void adopt_cached_text(TqStringObject* string) { Py_XINCREF(string->String); }

// After a callback: the program's user data back into the library string.
inline void write_back_user_data(TqStringRecord* record, const TqStringObject* string) {
    record->UserData1 = string->record.UserData1;
    record->UserData2 = string->record.UserData2;
}

// exgUnderlying to tqStrikeMatch: option-header bytes 32 to 47.
inline void copy_option_numbers(TqOptionHdrObject* option, const TqOptionHdrRecord& record) {
    copy_block(option->numbers, record, kOptionNumbersOffset);
}

// The numbers and the expiration date of an option header.
inline void copy_option(TqOptionHdrObject* option, const TqOptionHdrRecord& record) {
    copy_option_numbers(option, record);
    copy_date(option->tqExpirationDate, record.tqExpirationDate);
}

// ---------------------------------------------------------------------------
// System record
// ---------------------------------------------------------------------------

static_assert(offsetof(TarvikSystemRecord, reserved20) == offsetof(TarvikSystemRecord, tqDate) + sizeof(TqDateRecord));
static_assert(offsetof(TarvikSystemRecord, reserved36) == offsetof(TarvikSystemRecord, tqTime) + sizeof(TqTimeRecord));

// Bytes 0 to 7, the date and time children, then bytes 40 to 91 in one
// block. PermissionSetEnd is not part of the block and stays zero.
// `date` and `time` are the system object's own children, passed by the
// message path that keeps them at hand.
inline void copy_system(TarvikSystemObject* system, TqDateObject* date, TqTimeObject* time,
                        const TarvikSystemRecord& record) {
    copy_block(system->head, record, offsetof(TarvikSystemRecord, UserData));
    copy_with_reserved(date, record, offsetof(TarvikSystemRecord, tqDate));
    copy_with_reserved(time, record, offsetof(TarvikSystemRecord, tqTime));
    copy_block(system->status, record, kSystemStatusOffset, kSystemStatusSize);
}

inline void copy_system(TarvikSystemObject* system, const TarvikSystemRecord& record) {
    copy_system(system, system->tqDate, system->tqTime, record);
}

// The library's texts are valid only during the callback that delivered
// them; once it returns the members read None instead of stale memory.
inline void forget_library_text(TarvikSystemObject* system) {
    system->status.StatusDisplay = nullptr;
    system->status.TapeDisplay = nullptr;
}

inline void write_back_user_data(TarvikSystemRecord* record, const TarvikSystemObject* system) {
    record->UserData = system->head.UserData;
}

// ---------------------------------------------------------------------------
// Message record: header, tail and extension
// ---------------------------------------------------------------------------

// ListedExg to PermissionID: message bytes 48 to 55.
inline void copy_header_numbers(TarvikHeaderObject* header, const TarvikHeaderRecord& record) {
    copy_block(header->numbers, record, kHeaderNumbersOffset);
}

static_assert(offsetof(TarvikHeaderRecord, reserved28) ==
              offsetof(TarvikHeaderRecord, tqSessionDate) + sizeof(TqDateRecord));
static_assert(offsetof(TarvikHeaderRecord, reserved44) ==
              offsetof(TarvikHeaderRecord, tqExgTimestamp) + sizeof(TqTimeRecord));

// The session date and the exchange timestamp, into the header's children.
inline void copy_header_times(TqDateObject* session_date, TqTimeObject* timestamp, const TarvikHeaderRecord& record) {
    copy_with_reserved(session_date, record, offsetof(TarvikHeaderRecord, tqSessionDate));
    copy_with_reserved(timestamp, record, offsetof(TarvikHeaderRecord, tqExgTimestamp));
}

inline void copy_header_times(TarvikHeaderObject* header, const TarvikHeaderRecord& record) {
    copy_header_times(header->tqSessionDate, header->tqExgTimestamp, record);
}

inline void copy_extension(Tarvik3ExtObject* extension, const Tarvik3ExtRecord& record) {
    extension->record = record;
}

// ---------------------------------------------------------------------------
// Message bodies
// ---------------------------------------------------------------------------

inline void copy_quote(TarvikQuoteObject* quote, const TarvikQuoteRecord& record) {
    quote->record = record;
}

// BestAskPrice to ClosingQuoteFlag: message bytes 96 to 139.
inline void copy_exg_quote_best(TarvikExgQuoteObject* quote, const TarvikExgQuoteBody& body) {
    copy_block(quote->best, body, kExgQuoteBestOffset);
}

// `core` is the quote's coreQuote child.
inline void copy_exg_quote(TarvikExgQuoteObject* quote, TarvikQuoteObject* core, const TarvikExgQuoteBody& body) {
    copy_quote(core, body.coreQuote);
    copy_exg_quote_best(quote, body);
}

// Everything but the market-maker string, which comes from the caches.
inline void copy_mm_quote_numbers(TarvikMMQuoteObject* quote, TarvikQuoteObject* core, const TarvikMMQuoteBody& body) {
    copy_quote(core, body.coreQuote);
    quote->MarketMakerType = body.MarketMakerType;
    quote->QuoteType = body.QuoteType;
}

inline void copy_analysis(TqCTAnalysisObject* analysis, const TqCTAnalysisRecord& record) {
    analysis->record = record;
}

// Stores the four extended conditions into the slots of ExtTradeConditions.
// The list is the program's to change: only the slots that still exist are
// written, and whatever they hold is simply replaced. Replacing a slot may
// release an object of the program's whose finalizer changes the list, so
// its length is read again for every slot. `values` holds the int objects 0
// to 255 (owned by the caller), so a slot that already shows the right
// value is left alone and nothing is allocated. A trade's conditions seldom
// change from one trade to the next: when all four slots show theirs
// already, one test over the four says so.
inline void fill_trade_conditions(TarvikTradeObject* trade, const uint8_t (&conditions)[kTradeConditionSlots],
                                  PyObject* const* values) {
    PyObject* list = trade->ExtTradeConditions;
    if (PyList_GET_SIZE(list) >= kTradeConditionSlots) [[likely]] {
        PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
        uintptr_t differ = 0;
        for (Py_ssize_t i = 0; i < kTradeConditionSlots; ++i) {
            differ |= reinterpret_cast<uintptr_t>(items[i]) ^ reinterpret_cast<uintptr_t>(values[conditions[i]]);
        }
        if (differ == 0) [[likely]] return;
    }
    for (Py_ssize_t i = 0; i < kTradeConditionSlots && i < PyList_GET_SIZE(list); ++i) {
        PyObject* condition = values[conditions[i]];
        if (PyList_GET_ITEM(list, i) != condition) PyList_SetItem(list, i, Py_NewRef(condition));
    }
}

// The whole trade body: Price to Size, ExgSequence, RecordsBack, the
// analysis child, TotalVolume to NetChange and the four conditions.
inline void copy_trade(TarvikTradeObject* trade, TqCTAnalysisObject* analysis, PyObject* const* condition_values,
                       const TarvikTradeBody& body) {
    copy_analysis(analysis, body.tqAnalysis);
    copy_block(trade->head, body, offsetof(TarvikTradeBody, Price));
    trade->ExgSequence = body.ExgSequence;
    trade->RecordsBack = body.RecordsBack;
    copy_block(trade->totals, body, kTradeTotalsOffset, kTradeTotalsSize);
    fill_trade_conditions(trade, body.ExtTradeConditions, condition_values);
}

// Status, StatusChar and ListedExgOld; the old symbol and option header
// are shown with set_member.
inline void copy_symbol_change_numbers(TarvikSymbolChangeObject* change, const TarvikSymbolChangeBody& body) {
    change->Status = body.Status;
    change->StatusChar = body.StatusChar;
    change->ListedExgOld = body.ListedExgOld;
}

inline void copy_symbol_spin(TarvikSymbolSpinObject* spin, const TarvikSymbolSpinBody& body) {
    spin->record = body;
}

// How many field objects a category body fills: NFields, never more than
// the category's 256 field objects.
inline int category_fields_to_fill(const TarvikCategoryBody& body) {
    return std::min<int>(body.NFields, kCategoryFieldCapacity);
}

// One category field: its text addresses, Set and FieldType and, when Set,
// the data member that FieldType names. A TqCFT_TqSTRING value gets its
// numbers here; its text (a str from the caches) is the caller's to show on
// field->data->ptqString. Returns the string record of such a value (null
// for every other kind, or when the library gave none).
inline const TqStringRecord* copy_category_field(TqCategoryFieldObject* field, const TqCategoryFieldRecord& record) {
    field->FieldName = record.FieldName;
    field->FieldInfo = record.FieldInfo;
    field->Set = record.Set;
    field->FieldType = record.FieldType;
    if (record.Set == 0) return nullptr;
    TarvikCategoryDataObject* data = field->data;
    const TqCategoryFieldRecord::Value& value = record.value;
    switch (record.FieldType) {
        case TqCFT_64BIT: data->i64Bit = value.i64Bit; break;
        case TqCFT_32BIT: data->i32Bit = value.i32Bit; break;
        case TqCFT_STRINGZ: data->StringZ = value.StringZ; break;
        case TqCFT_DOUBLE: data->Double = value.Double; break;
        case TqCFT_PRICE: copy_price(data->tqPrice, value.tqPrice); break;
        case TqCFT_DATE: copy_date(data->tqDate, value.tqDate); break;
        case TqCFT_TIME: copy_time(data->tqTime, value.tqTime); break;
        case TqCFT_TqSTRING:
            if (value.ptqString == nullptr) return nullptr;
            copy_string_numbers(data->ptqString, *value.ptqString);
            return value.ptqString;
        case TqCFT_STRING_IDX:
        case TqCFT_STRING_MAP: copy_string_table_item(data->stringTableItem, value.stringTableItem); break;
        default: break;
    }
    return nullptr;
}

inline void forget_library_text(TqCategoryFieldObject* field) {
    field->FieldName = nullptr;
    field->FieldInfo = nullptr;
    field->data->StringZ = nullptr;
}

// The first `filled` fields (as category_fields_to_fill gave them).
inline void forget_library_text(TarvikCategoryObject* category, int filled) {
    const int count = std::clamp(filled, 0, kCategoryFieldCapacity);
    for (int i = 0; i < count; ++i) forget_library_text(category->fields[i]);
}

// ---------------------------------------------------------------------------
// State records
// ---------------------------------------------------------------------------

// The head, then the first StateQuoteCount entries (never past 24).
inline void copy_state_exg_quotes(TarvikStateExgQuotesObject* quotes, const TarvikStateExgQuotesRecord& record) {
    copy_block(quotes->head, record, 0);
    const int count = std::min<int>(record.StateQuoteCount, kStateExgQuoteCapacity);
    for (int i = 0; i < count; ++i) {
        quotes->items[i]->record = record.StateExgQuotes[i];
    }
}

// How many entries a market-maker state record fills (never past 512).
inline int state_mm_quotes_to_fill(const TarvikStateMMQuotesRecord& record) {
    return std::min<int>(record.StateQuoteCount, kStateMMQuoteCapacity);
}

inline void copy_state_mm_quotes_head(TarvikStateMMQuotesObject* quotes, const TarvikStateMMQuotesRecord& record) {
    copy_block(quotes->head, record, 0);
}

// One entry's numbers; its market-maker string is shown with set_member.
inline void copy_state_mm_quote(TarvikStateMMQuoteObject* quote, const TarvikStateMMQuoteRecord& entry) {
    copy_block(quote->prices, entry, 0);
    quote->MarketMakerType = entry.MarketMakerType;
    quote->QuoteType = entry.QuoteType;
}

inline void copy_state_trade(TarvikStateTradeObject* trade, const TarvikStateTradeRecord& record) {
    trade->record = record;
}

// ---------------------------------------------------------------------------
// Listing records (the path and permission texts are new strs, stored by
// the caller with set_member or by taking them over)
// ---------------------------------------------------------------------------

inline void copy_tape_file(TarvikTapeFileObject* file, const TarvikTapeFileRecord& record) {
    file->FileAttributes = record.FileAttributes;
    file->FileSize = record.FileSize;
    copy_date(file->TapeDate, record.TapeDate);
}

inline void copy_library_file(TarvikAPIDLLFileObject* file, const TarvikAPIDLLFileRecord& record) {
    file->FileAttributes = record.FileAttributes;
    file->FileSize = record.FileSize;
    copy_date(file->BuildDate, record.BuildDate);
    copy_time(file->BuildTime, record.BuildTime);
    copy_block(file->version, record, kLibraryVersionOffset);
}

}  // namespace tarvik
