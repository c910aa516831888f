// The six value records: TqDate, TqTime, TqPrice, StringTableItem, TqString
// and TqOptionHdr. Their payloads mirror the library's small records byte
// for byte, so the filling code copies whole records into them
// (record_copy.h).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "tarvik/library.h"

namespace tarvik {

extern PyTypeObject TqDateType;
extern PyTypeObject TqTimeType;
extern PyTypeObject TqPriceType;
extern PyTypeObject StringTableItemType;
extern PyTypeObject TqStringType;
extern PyTypeObject TqOptionHdrType;

// The payload is one library date record; the library's date functions
// write straight into it. `reserved` takes the 4 reserved bytes that follow
// a date or time in the library's system record and header, which the
// message path copies along (copy_with_reserved); nothing reads it.
struct TqDateObject {
    PyObject_HEAD
    TqDateRecord record;
    uint32_t reserved;
};
static_assert(sizeof(TqDateObject::record) == 12);
static_assert(offsetof(TqDateObject, reserved) == offsetof(TqDateObject, record) + 12);

struct TqTimeObject {
    PyObject_HEAD
    TqTimeRecord record;
    uint32_t reserved;
};
static_assert(sizeof(TqTimeObject::record) == 12);
static_assert(offsetof(TqTimeObject, reserved) == offsetof(TqTimeObject, record) + 12);

struct TqPriceObject {
    PyObject_HEAD
    TqPriceRecord record;
};
static_assert(sizeof(TqPriceObject::record) == 8);

struct StringTableItemObject {
    PyObject_HEAD
    StringTableItemRecord record;
};
static_assert(sizeof(StringTableItemObject::record) == 8);

// The library string's two user-data words and atom (bytes 0 to 9 of the
// string record), then the text as a str of its own.
struct TqStringObject {
    PyObject_HEAD
    TqStringRecord record;
    PyObject* String;  // owned, may be null
};
static_assert(sizeof(TqStringObject::record) == 12);
static_assert(offsetof(TqStringObject, String) == offsetof(TqStringObject, record) + 16);

// Option-header bytes 32 to 47: exgUnderlying to tqStrikeMatch.
struct OptionNumbers {
    uint16_t exgUnderlying;
    uint16_t contractUnit;
    int32_t strikePrice;
    int32_t strikePriceEst;
    uint8_t PutCall;
    uint8_t expirationCycle;
    uint8_t oicStrikeAge;
    uint8_t tqStrikeMatch;
};
inline constexpr std::size_t kOptionNumbersOffset = offsetof(TqOptionHdrRecord, exgUnderlying);
static_assert(sizeof(OptionNumbers) == 16);
static_assert(kOptionNumbersOffset == 32);
static_assert(offsetof(TqOptionHdrRecord, tqExpirationDate) == kOptionNumbersOffset + sizeof(OptionNumbers));
static_assert(offsetof(OptionNumbers, contractUnit) == offsetof(TqOptionHdrRecord, contractUnit) - kOptionNumbersOffset);
static_assert(offsetof(OptionNumbers, strikePrice) == offsetof(TqOptionHdrRecord, strikePrice) - kOptionNumbersOffset);
static_assert(offsetof(OptionNumbers, strikePriceEst) ==
              offsetof(TqOptionHdrRecord, strikePriceEst) - kOptionNumbersOffset);
static_assert(offsetof(OptionNumbers, PutCall) == offsetof(TqOptionHdrRecord, PutCall) - kOptionNumbersOffset);
static_assert(offsetof(OptionNumbers, expirationCycle) ==
              offsetof(TqOptionHdrRecord, expirationCycle) - kOptionNumbersOffset);
static_assert(offsetof(OptionNumbers, oicStrikeAge) == offsetof(TqOptionHdrRecord, oicStrikeAge) - kOptionNumbersOffset);
static_assert(offsetof(OptionNumbers, tqStrikeMatch) ==
              offsetof(TqOptionHdrRecord, tqStrikeMatch) - kOptionNumbersOffset);

// The four string members are writable from Python; every one of them holds
// a reference of its own (any object, or null), so they are typed PyObject*
// and code that reads them checks the type first (as_string_object).
struct TqOptionHdrObject {
    PyObject_HEAD
    PyObject* ptqsDateAndStrike;
    PyObject* ptqsUnderlying;
    PyObject* ptqsSeriesChain;
    PyObject* ptqsSpecialSettle;
    OptionNumbers numbers;
    TqDateObject* tqExpirationDate;  // owned child
};

// The TqString an object member shows, or null when it shows none or a
// program stored something else there.
inline TqStringObject* as_string_object(PyObject* member) {
    if (member == nullptr || !PyObject_TypeCheck(member, &TqStringType)) return nullptr;
    return reinterpret_cast<TqStringObject*>(member);
}

inline TqOptionHdrObject* as_option_object(PyObject* member) {
    if (member == nullptr || !PyObject_TypeCheck(member, &TqOptionHdrType)) return nullptr;
    return reinterpret_cast<TqOptionHdrObject*>(member);
}

inline TqDateObject* as_date_object(PyObject* object) {
    if (object == nullptr || !PyObject_TypeCheck(object, &TqDateType)) return nullptr;
    return reinterpret_cast<TqDateObject*>(object);
}

}  // namespace tarvik
