// The header filler of the message and the spin paths: fills a header
// object, and the option header object it shows, from the library's header
// record with the strs of the thread's caches. What differs between the two
// paths is a policy, a small value type inlined into each path's own copy
// of the filler:
//
//   ThreadState& state;
//   static constexpr bool kShowsOptionFirst;
//       true: the header shows the option header object before filling it,
//       whether or not its strings are found (the spin path); false: only
//       once they are found, and show_no_option() when they are not (the
//       message path).
//   TqStringObject* string(MessageString role) const;
//       the string object that shows header string `role`.
//   void shown(MessageString role, TqStringRecord* record) const;
//   void unshown(MessageString role) const;
//       note which library record header string `role` shows, for the
//       write-back, or that it shows none.
//   TqOptionHdrObject* option() const;
//   void show_option(TarvikHeaderObject* header, PyObject* option) const;
//       stores the option header object, or null, in ptqOptionHdr.
//   void show_no_option(TarvikHeaderObject* header) const;
//   void index_symbol(uint16_t exchange, TqStringRecord* symbol) const;
//   void index_option(TqStringRecord* root, const TqOptionHdrRecord* option) const;
//       file the symbol or the option contract where the path keeps them.
//   void copy_times(TarvikHeaderObject* header, const TarvikHeaderRecord& record) const;
#pragma once

#include <cstdint>

#include "core/make_object.h"
#include "core/message_strings.h"
#include "core/object_cache.h"
#include "core/thread_state.h"
#include "records/record_copy.h"

namespace tarvik {

// Shows header string `role` on `member`, filled from `record` with `text`;
// or unsets the member when there is no record or no text.
template <typename Policy>
[[gnu::always_inline]] inline void show_header_string(Policy policy, MessageString role, PyObject*& member,
                                                      TqStringRecord* record, PyObject* text) {
    if (record == nullptr || text == nullptr) {
        set_member(member, nullptr);
        policy.unshown(role);
        return;
    }
    TqStringObject* string = policy.string(role);
    show_cached_string(string, *record, text);
    set_member(member, string);
    policy.shown(role, record);
}

// An option contract's header: the option header object's numbers and
// strings, and the root symbol.
template <typename Policy>
void fill_option_header(Policy policy, TarvikHeaderObject* header, const TarvikHeaderRecord& record) {
    const TqOptionHdrRecord* option = record.ptqOptionHdr;
    TqStringRecord* root = record.ptqStringSymbol;
    TqOptionHdrObject* object = policy.option();
    if constexpr (Policy::kShowsOptionFirst) policy.show_option(header, as_object(object));
    copy_option(object, *option);
    OptionObjectEntry* entry = GetOptionObjects(policy.state, root, option);
    if constexpr (!Policy::kShowsOptionFirst) {
        if (entry == nullptr) {
            policy.show_no_option(header);
            return;
        }
        policy.show_option(header, as_object(object));
    }
    show_header_string(policy, MessageString::kSymbol, header->ptqStringSymbol, root, entry ? entry->root : nullptr);
    policy.index_option(root, option);
    show_header_string(policy, MessageString::kUnderlying, object->ptqsUnderlying, option->ptqsUnderlying,
                       entry ? entry->underlying : nullptr);
    show_header_string(policy, MessageString::kSeriesChain, object->ptqsSeriesChain, option->ptqsSeriesChain,
                       entry ? entry->seriesChain : nullptr);
    show_header_string(policy, MessageString::kSpecialSettle, object->ptqsSpecialSettle, option->ptqsSpecialSettle,
                       entry ? entry->specialSettle : nullptr);
    show_header_string(policy, MessageString::kDateAndStrike, object->ptqsDateAndStrike, option->ptqsDateAndStrike,
                       GetDateAndStrikeObject(policy.state, option->ptqsDateAndStrike));
}

// `symbol_text` is the symbol's str when the caller has read it from the
// cache already, else null.
template <typename Policy>
void fill_header(Policy policy, TarvikHeaderObject* header, const TarvikHeaderRecord& record, PyObject* symbol_text) {
    if (record.ptqOptionHdr != nullptr) [[unlikely]] {
        fill_option_header(policy, header, record);
    } else {
        policy.show_option(header, nullptr);
        TqStringRecord* symbol = record.ptqStringSymbol;
        if (symbol_text == nullptr) {
            symbol_text = GetSymbolObject(policy.state, symbol, static_cast<uint8_t>(record.ListedExg));
        }
        show_header_string(policy, MessageString::kSymbol, header->ptqStringSymbol, symbol, symbol_text);
        policy.index_symbol(record.ListedExg, symbol);
    }
    copy_header_numbers(header, record);
    policy.copy_times(header, record);
}

}  // namespace tarvik
