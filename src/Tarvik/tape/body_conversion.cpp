#include "tape/body_conversion.h"

#include <cstring>

#include "core/object_cache.h"
#include "records/record_copy.h"

namespace tarvik {

namespace {

// Whether `text` is what the str `shown` reads. Category names and string
// values, and a symbol change's old names, mostly repeat the previous
// message's: a str that already reads the text is kept instead of making
// an equal one. Only plain ASCII strs are compared; anything else is made
// anew.
bool reads(PyObject* shown, const char* text) {
    if (shown == nullptr || !PyUnicode_CheckExact(shown) || !PyUnicode_IS_COMPACT_ASCII(shown)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(shown);
    const char* data = static_cast<const char*>(PyUnicode_DATA(shown));
    // The slots are read-only to the program and hold only strs made here
    // from NUL-terminated text, so `data` has no NUL: strncmp returns 0 only
    // when the text is at least `length` long, and only then is
    // text[length] read.
    return std::strncmp(text, data, static_cast<std::size_t>(length)) == 0 && text[length] == '\0';
}

// Stores in `slot` (which owns its str) a str of `text`: the one already
// there when it reads the same, else a new one (null when memory runs out).
void show_text(PyObject*& slot, const char* text) {
    if (reads(slot, text)) return;
    PyObject* made = text_object(text);
    set_member(slot, made);
    Py_XDECREF(made);  // the slot holds its own reference
}

// Shows `string` on `member` with a str of the record's text; or unsets the
// member when the record is null.
void show_new_text(PyObject*& member, TqStringObject* string, const TqStringRecord* record) {
    if (record == nullptr) {
        set_member(member, nullptr);
        return;
    }
    copy_string_numbers(string, *record);
    show_text(string->String, string_text(record));
    set_member(member, string);
}

}  // namespace

void fill_exg_quote(ThreadState& state, const TarvikMessageRecord* message) {
    copy_exg_quote(state.fill.exgQuote, state.fill.exgCoreQuote, message->coreData.ExgQuote);
}

void fill_mm_quote(ThreadState& state, const TarvikMessageRecord* message) {
    TarvikMMQuoteObject* quote = state.fill.mmQuote;
    const TarvikMMQuoteBody& body = message->coreData.MMQuote;
    copy_mm_quote_numbers(quote, state.fill.mmCoreQuote, body);
    const TqStringRecord* maker = body.ptqStringMarketMaker;
    if (maker == nullptr) {
        set_member(quote->ptqStringMarketMaker, nullptr);
        return;
    }
    TqStringObject* string = state.message_string(MessageString::kMarketMaker);
    show_cached_string(string, *maker, GetStringObject(state, maker));
    set_member(quote->ptqStringMarketMaker, string);
}

void fill_trade(ThreadState& state, const TarvikMessageRecord* message) {
    copy_trade(state.fill.trade, state.fill.tradeAnalysis, state.conditionValues.data(), message->coreData.Trade);
}

void fill_category(ThreadState& state, const TarvikMessageRecord* message) {
    TarvikCategoryObject* category = state.fill.category;
    const TarvikCategoryBody& body = message->coreData.Category;
    show_new_text(category->ptqStringCategory, state.message_string(MessageString::kCategory), body.ptqStringCategory);
    const int count = body.ptqFields == nullptr ? 0 : category_fields_to_fill(body);
    category->NFields = static_cast<uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        TqCategoryFieldObject* field = category->fields[i];
        const TqCategoryFieldRecord& record = body.ptqFields[i];
        bool string_value = record.Set != 0 && record.FieldType == TqCFT_TqSTRING;
        const TqStringRecord* value = copy_category_field(field, record);
        if (string_value) {
            if (value == nullptr) {
                set_member(field->data->ptqString->String, nullptr);
            } else {
                show_text(field->data->ptqString->String, string_text(value));
            }
        }
    }
    state.textFields = static_cast<uint16_t>(count);
}

void fill_symbol_change(ThreadState& state, const TarvikMessageRecord* message) {
    TarvikSymbolChangeObject* change = state.fill.symbolChange;
    const TarvikSymbolChangeBody& body = message->coreData.SymbolChange;
    show_new_text(change->ptqsSymbolOld, state.message_string(MessageString::kOldSymbol), body.ptqsSymbolOld);
    const TqOptionHdrRecord* old_option = body.ptqOptionHdrOld;
    if (old_option == nullptr) {
        set_member(change->ptqOptionHdrOld, nullptr);
    } else {
        TqOptionHdrObject* option = state.oldOption;
        show_new_text(option->ptqsDateAndStrike, state.message_string(MessageString::kOldDateAndStrike),
                      old_option->ptqsDateAndStrike);
        show_new_text(option->ptqsUnderlying, state.message_string(MessageString::kOldUnderlying),
                      old_option->ptqsUnderlying);
        show_new_text(option->ptqsSeriesChain, state.message_string(MessageString::kOldSeriesChain),
                      old_option->ptqsSeriesChain);
        show_new_text(option->ptqsSpecialSettle, state.message_string(MessageString::kOldSpecialSettle),
                      old_option->ptqsSpecialSettle);
        copy_option(option, *old_option);  // numbers and expiration date
        set_member(change->ptqOptionHdrOld, option);
    }
    copy_symbol_change_numbers(change, body);
}

void fill_symbol_spin(ThreadState& state, const TarvikMessageRecord* message) {
    copy_symbol_spin(state.fill.symbolSpin, message->coreData.SymbolSpin);
}

}  // namespace tarvik
