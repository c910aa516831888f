#include "records/value_records.h"

#include <cstring>

#include "core/doc_links.h"
#include "records/record_type.h"

namespace tarvik {

namespace {

// tp_init of TqDate and TqTime, which share it: both payloads are 12 record bytes.
static_assert(sizeof(TqDateRecord) == sizeof(TqTimeRecord));
static_assert(offsetof(TqDateObject, record) == offsetof(TqTimeObject, record));

int init_date_or_time(PyObject* self, PyObject*, PyObject*) {
    std::memset(&reinterpret_cast<TqDateObject*>(self)->record, 0, sizeof(TqDateRecord));
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// TqDate
// ---------------------------------------------------------------------------

constexpr std::size_t kDate = offsetof(TqDateObject, record);

constexpr PyMemberDef kDateMembers[] = {
    {"NDays", Py_T_UINT, at(kDate, offsetof(TqDateRecord, NDays)), 0,
     "Number of days since Jan 1, 1883. Julian date"},
    {"Year", Py_T_USHORT, at(kDate, offsetof(TqDateRecord, Year)), 0, "Current year."},
    {"Month", Py_T_UBYTE, at(kDate, offsetof(TqDateRecord, Month)), 0, "Month of year.  1-12 (not zero based)"},
    {"Day", Py_T_UBYTE, at(kDate, offsetof(TqDateRecord, Day)), 0, "Day of month. 1-31 (not zero based)"},
    {"DSTIndicator", Py_T_UBYTE, at(kDate, offsetof(TqDateRecord, DSTIndicator)), 0,
     "Daylight Savings Indicator. Values are: TqDATE_DST_UNKNOWN(0), TqDATE_DST_ON(1), TqDATE_DST_OFF(2), "
     "TqDATE_DST_ONTODAY(3), and TqDATE_DST_OFFTODAY(4)"},
    {"DayOfWeek", Py_T_UBYTE, at(kDate, offsetof(TqDateRecord, DayOfWeek)), 0,
     "Day of Week. Values are: TqDOW_SUNDAY(0) through TqDOW_SATURDAY(6)"},
    // Days 256 to 366 need the record's two bytes at offset 10 (low first).
    {"DayOfYear", Py_T_USHORT, at(kDate, offsetof(TqDateRecord, DayOfYear)), 0, "Day Of Year"},
    {nullptr},
};

constexpr RecordDescriptor kDateDescriptor = {"Tarvik.TqDate",  "TqDate Object", sizeof(TqDateObject), kDateMembers, {},
                                              init_date_or_time};

PyTypeObject TqDateType = record_type<kDateDescriptor>();

// ---------------------------------------------------------------------------
// TqTime
// ---------------------------------------------------------------------------

constexpr std::size_t kTime = offsetof(TqTimeObject, record);

constexpr PyMemberDef kTimeMembers[] = {
    {"MsOfDay", Py_T_UINT, at(kTime, offsetof(TqTimeRecord, MsOfDay)), 0,
     "Number of milliseconds since start of day -- midnight"},
    {"Millisecond", Py_T_USHORT, at(kTime, offsetof(TqTimeRecord, Millisecond)), 0, "Millisecond of second 0-999"},
    {"Second", Py_T_UBYTE, at(kTime, offsetof(TqTimeRecord, Second)), 0, "Second of minute 0-59"},
    {"Minute", Py_T_UBYTE, at(kTime, offsetof(TqTimeRecord, Minute)), 0, "Mnute of hour 0-59"},
    {"Hour", Py_T_UBYTE, at(kTime, offsetof(TqTimeRecord, Hour)), 0, "Hour of day. 0-23"},
    {"TimeZone", Py_T_BYTE, at(kTime, offsetof(TqTimeRecord, TimeZone)), 0, "+/- hours to GMT."},
    {"MsResolution", Py_T_USHORT, at(kTime, offsetof(TqTimeRecord, MsResolution)), 0, "Millisecond Resolution"},
    {nullptr},
};

constexpr RecordDescriptor kTimeDescriptor = {"Tarvik.TqTime",  "TqTime Object", sizeof(TqTimeObject), kTimeMembers, {},
                                              init_date_or_time};

PyTypeObject TqTimeType = record_type<kTimeDescriptor>();

// ---------------------------------------------------------------------------
// TqPrice
// ---------------------------------------------------------------------------

constexpr std::size_t kPrice = offsetof(TqPriceObject, record);

constexpr PyMemberDef kPriceMembers[] = {
    {"Price", Py_T_INT, at(kPrice, offsetof(TqPriceRecord, Price)), 0, "Price"},
    {"PriceType", Py_T_UBYTE, at(kPrice, offsetof(TqPriceRecord, PriceType)), 0,
     "Price Type. For information on how to compute decimal price see: " TARVIK_DOC_PRICE_TYPES},
    {nullptr},
};

constexpr RecordDescriptor kPriceDescriptor = {"Tarvik.TqPrice", "TqPrice Object", sizeof(TqPriceObject),
                                               kPriceMembers};

PyTypeObject TqPriceType = record_type<kPriceDescriptor>();

// ---------------------------------------------------------------------------
// StringTableItem
// ---------------------------------------------------------------------------

constexpr std::size_t kItem = offsetof(StringTableItemObject, record);

constexpr PyMemberDef kStringTableItemMembers[] = {
    {"ixTable", Py_T_UINT, at(kItem, offsetof(StringTableItemRecord, ixTable)), 0,
     "Identifier of Table. For values see: " TARVIK_DOC_STRING_TABLES},
    {"idString", Py_T_UINT, at(kItem, offsetof(StringTableItemRecord, idString)), 0, "The index within the table"},
    {nullptr},
};

constexpr RecordDescriptor kStringTableItemDescriptor = {"Tarvik.StringTableItem", "StringTableItem Object",
                                                         sizeof(StringTableItemObject), kStringTableItemMembers};

PyTypeObject StringTableItemType = record_type<kStringTableItemDescriptor>();

// ---------------------------------------------------------------------------
// TqString
// ---------------------------------------------------------------------------

constexpr std::size_t kString = offsetof(TqStringObject, record);

constexpr PyMemberDef kStringMembers[] = {
    {"UserData1", Py_T_INT, at(kString, offsetof(TqStringRecord, UserData1)), 0, "First  32-bit user data space"},
    {"UserData2", Py_T_INT, at(kString, offsetof(TqStringRecord, UserData2)), 0, "Second 32-bit user data space"},
    {"Atom", Py_T_USHORT, at(kString, offsetof(TqStringRecord, Atom)), Py_READONLY,
     "Unique/sequential/nonzero/constant 16 bit number assigned to the String"},
    {"String", Py_T_OBJECT_EX, offsetof(TqStringObject, String), Py_READONLY, "String"},
    {nullptr},
};

constexpr RecordDescriptor kStringDescriptor = {"Tarvik.TqString", "TqString Object", sizeof(TqStringObject),
                                                kStringMembers};

PyTypeObject TqStringType = record_type<kStringDescriptor>();

// ---------------------------------------------------------------------------
// TqOptionHdr
// ---------------------------------------------------------------------------

constexpr std::size_t kOption = offsetof(TqOptionHdrObject, numbers);

constexpr PyMemberDef kOptionHdrMembers[] = {
    {"ptqsDateAndStrike", _Py_T_OBJECT, offsetof(TqOptionHdrObject, ptqsDateAndStrike), 0,
     "String contains 2 alpha characters (expire code and strike code)"},
    {"ptqsUnderlying", _Py_T_OBJECT, offsetof(TqOptionHdrObject, ptqsUnderlying), 0, "Underlying Symbol"},
    {"ptqsSeriesChain", _Py_T_OBJECT, offsetof(TqOptionHdrObject, ptqsSeriesChain), 0, "Series Chain"},
    {"ptqsSpecialSettle", _Py_T_OBJECT, offsetof(TqOptionHdrObject, ptqsSpecialSettle), 0, "Special Settlement"},
    {"exgUnderlying", Py_T_USHORT, at(kOption, offsetof(OptionNumbers, exgUnderlying)), Py_READONLY,
     "Exchange code of the underlying symbol"},
    {"contractUnit", Py_T_USHORT, at(kOption, offsetof(OptionNumbers, contractUnit)), Py_READONLY,
     "Default is 100 (shares,units, etc)"},
    {"strikePrice", Py_T_INT, at(kOption, offsetof(OptionNumbers, strikePrice)), Py_READONLY,
     "OPRA sourced strike price. implied 3 decimal places. i.e.\t35000 == 35.000 == 35"},
    {"strikePriceEst", Py_T_INT, at(kOption, offsetof(OptionNumbers, strikePriceEst)), Py_READONLY,
     "If non-zero, the tarvik server includes the estimated strike price for this option contract"},
    {"PutCall", Py_T_UBYTE, at(kOption, offsetof(OptionNumbers, PutCall)), Py_READONLY, "1 == put, 0 == call"},
    {"expirationCycle", Py_T_UBYTE, at(kOption, offsetof(OptionNumbers, expirationCycle)), Py_READONLY,
     "1 == January cycle, 2 == February cycle, 3 == March cycle"},
    {"oicStrikeAge", Py_T_UBYTE, at(kOption, offsetof(OptionNumbers, oicStrikeAge)), Py_READONLY,
     "Number from 0-7. Incremented each trading day the strikePrice is received from OPRA"},
    {"tqStrikeMatch", Py_T_UBYTE, at(kOption, offsetof(OptionNumbers, tqStrikeMatch)), Py_READONLY,
     "Number from 0-15 indicating the likelihood that the strikePrice is correct"},
    {"tqExpirationDate", Py_T_OBJECT_EX, offsetof(TqOptionHdrObject, tqExpirationDate), Py_READONLY,
     "The date this option contract expires"},
    {nullptr},
};

constexpr MadeMember kOptionHdrMade[] = {
    child(offsetof(TqOptionHdrObject, tqExpirationDate), TqDateType),
};

constexpr RecordDescriptor kOptionHdrDescriptor = {"Tarvik.TqOptionHdr", "TqOptionHdr Object",
                                                   sizeof(TqOptionHdrObject), kOptionHdrMembers, kOptionHdrMade};

PyTypeObject TqOptionHdrType = record_type<kOptionHdrDescriptor>();

}  // namespace tarvik
