#include "module/method_table.h"

#include <iterator>

#include "core/doc_links.h"
#include "services/listings.h"
#include "services/loader.h"
#include "services/permissions.h"
#include "services/return_codes.h"
#include "services/spin_and_save.h"
#include "services/state_queries.h"
#include "services/utilities.h"
#include "tape/filters.h"
#include "tape/process_tape.h"

namespace tarvik {

namespace {

// The docstring texts below, like the record types' docstrings, stay
// exactly as they are, odd wording and typos included: programs and tests
// compare them, so a "fix" would break them.
//
// Docstrings, one line of text per literal. Each starts with the function's
// signature in the interpreter's own form, ended by "--" and a blank line:
// the interpreter serves that part as __text_signature__ (so that
// inspect.signature and editors see the parameters) and strips it from
// __doc__, which keeps the text that follows it. Positional-only parameters
// take the docstring's names; LoadTarvik and ProcessTape take keywords, so
// theirs are the names they accept.

constexpr char kStateGetLastTradeDoc[] =
    "StateGetLastTrade(ListedExg, Symbol, Expiration_NDays=0, StrikePrice=0, PutOrCall=2, /)\n--\n\n"
    "StateGetLastTrade(ListedExg, Symbol[, Expiration_NDays, StrikePrice, PutOrCall]) -> TarvikStateTrade\n"
    "Returns the current Memory State of a Symbol's Open, High, Low, Last, Volume Data.\n"
    "Can only be called from inside your TarvikCallback function.";

constexpr char kStateGetMMQuotesDoc[] =
    "StateGetMMQuotes(ReportingExg, ListedExg, Symbol, Expiration_NDays=0, StrikePrice=0, PutOrCall=2, /)\n--\n\n"
    "StateGetMMQuotes(ReportingExg, ListedExg, Symbol[, Expiration_NDays, StrikePrice, PutOrCall]) -> TarvikStateMMQuotes\n"
    "Returns the current Memory State of a Symbol's Market Marker Quotes.\n"
    "Can only be called from inside your TarvikCallback function.";

constexpr char kStateGetExgQuotesDoc[] =
    "StateGetExgQuotes(ListedExg, Symbol, Expiration_NDays=0, StrikePrice=0, PutOrCall=2, /)\n--\n\n"
    "StateGetExgQuotes(ListedExg, Symbol[, Expiration_NDays, StrikePrice, PutOrCall]) -> TarvikStateExgQuotes\n"
    "Returns the current Memory State of a Symbol's Exchange Quotes.\n"
    "Can only be called from inside your TarvikCallback function.";

constexpr char kSpinSymbolsDoc[] =
    "SpinSymbols(ListedExg, controlFlags, spinID, SpinCallback, tempUserData, /)\n--\n\n"
    "SpinSymbols(ListedExg, controlFlags, spinID, SpinCallback, tempUserData)\n"
    "Starts a SymbolSpin which iterates over each symbol in each of the requested Listed Exchanges.\n"
    "ListedExg:    Specify the ListedExchange that you wish to iterate or use TqSPIN_ALL_EXGS(-1) to iterate all ListedExchanges\n"
    "controlFlags: TqSPIN_NON_OPTIONS(0) for regular symbols or TqSPIN_OPTIONS(1) for options. To iterate both symbols and options, call this function twice, passing 0 and 1 for this parameter.\n"
    "spinID:       Assigned to the TarvikMessage.coreData.SymbolSpin.SpinID and is reserved for your use.\n"
    "SpinCallback: Callback function to be used during symbol spin. Parameters are TarvikSystem and TarvikMessage.\n"
    "tempUserData: Temporarily assigned to TarvikSystem.UserData during callback. TarvikSystem.UserData can be changed during the callback";

constexpr char kListAPIDLLsDoc[] =
    "ListAPIDLLs(controlFlags, apiCallback, /)\n--\n\n"
    "ListAPIDLLs(controlFlags, apiCallback)\n"
    "Searches computer for TarvikAPI .dll files on windows or .so files on linuxcontrolFlags: should be 0. reserved for future use.\n"
    "apiCallback:  Callback function. Parameter is TarvikAPIDLLFile.";

constexpr char kListTapesDoc[] =
    "ListTapes(controlFlags, apiCallback, /)\n--\n\n"
    "ListTapes(controlFlags, apiCallback)\n"
    "Searches computer for Tarvik tape filescontrolFlags: TqLTF_SEARCH_LOCAL(0) to search local drives. TqLTF_SEARCH_NETWORK(1) to search local and network drives. TqLTF_SEARCH_REMOVEABLE(2) to search local and removable drives\n"
    "apiCallback:  Callback function. Parameter is TarvikTapeFile.";

constexpr char kProcessReturnValueDoc[] =
    "ProcessReturnValue(returnValue, /)\n--\n\n"
    "ProcessReturnValue(returnValue)\n"
    "Prints string corresponding to the return value from processTape()";

constexpr char kPriceFormatDoc[] =
    "PriceFormat(Price, PriceType, expandWidth=0, bCommas=False, /)\n--\n\n"
    "PriceFormat(Price, PriceType[, expandWidth[, bCommas]]) -> str\n"
    "Returns string of price.\n"
    "Price:       Price to format.\n"
    "PriceType:   PriceType that Price is using.\n"
    "expandWidth: Minimum length of string. will space pad. default 0.\n"
    "bCommas:     Use comma to separate thousands.";

constexpr char kPriceConvertDoc[] =
    "PriceConvert(Price, PriceType, PriceTypeNew, /)\n--\n\n"
    "PriceConvert(Price, PriceType, PriceTypeNew) -> int\n"
    "Returns a price converted from one price type to another.\n"
    "Price:        Price to be converted\n"
    "PriceType:    Original PriceType.\n"
    "PriceTypeNew: Price Type to convert iPrice into.";

constexpr char kPriceToDoubleDoc[] =
    "PriceToDouble(Price, PriceType, /)\n--\n\n"
    "PriceToDouble(Price, PriceType) -> float\n"
    "Returns floating point price from integer Price and integer PriceType..";

constexpr char kPriceToFloatDoc[] =
    "PriceToFloat(Price, PriceType, /)\n--\n\n"
    "PriceToFloat(Price, PriceType) -> float\n"
    "Returns floating point price from integer Price and integer PriceType. Alias of PriceToDouble. Implented to match Python floating point type name.";

constexpr char kGetTapeNameDoc[] =
    "GetTapeName()\n--\n\n"
    "GetTapeName() -> str\n"
    "Returns the full path filename of the Tarvik tape being processed. Returns empty string if processing real-time. Returns path to tape if processing state file.";

constexpr char kGetSymbolAtom32Doc[] =
    "GetSymbolAtom32()\n--\n\n"
    "GetSymbolAtom32() -> int\n"
    "Returns the full atom when the value in the TqString is TqATOM_MAX_16BIT(65535)";

constexpr char kExcludeOpraExchDoc[] =
    "ExcludeOpraExch(removeKey, /)\n--\n\n"
    "ExcludeOpraExch(removeKey)\n"
    "Removes a permission ID from being processed from the tape. This can significantly improve performance.\n"
    "removeKey: This key is a bitwise OR combination of a control flag and a permission ID. \n"
    "           The control flag to remove a permission ID is TqPERMID_REMOVE(0x00100000).\n"
    "           A list of permission IDs can be found in the TqST_PERMID string table.";

constexpr char kGetDefinedStringDoc[] =
    "GetDefinedString(ixTable, ixString, /)\n--\n\n"
    "GetDefinedString(ixTable,ixString) -> str\n"
    "Converts a string index into string.\n"
    "NOTE: These strings are a part of the tape, not the dll.\n"
    "NOTE: Defined strings are loaded after TARVIKSTATUS_INITIALIZING status callback.\n"
    "ixTable:  Identifier of table. For possible values see: " TARVIK_DOC_STRING_TABLES " " "\n"
    "ixString: A zero-based number that indexes into one of the String Tables.";

constexpr char kSaveStateDoc[] =
    "SaveState(stateFilename, controlFlags, /)\n--\n\n"
    "SaveState(stateFilename,controlFlags)\n"
    "Creates a Tarvik Tape \"Bookmark\" that ProcessTape can use as a starting point. Returns 0 on success or -12 if state is currently being saved.\n"
    "stateFilename: Filename of state file to create.\n"
    "controlFlags:  TqSAVESTATE_GRADUALLY(0) Save completes in multiple passes - Tarvik writes out memory block to file in 1MB increments.\n"
    "               TqSAVESTATE_ONEPASS(1) Save completes in one pass - Tarvik writes out entire memory block to file at one time.\n"
    "               TqSAVESTATE_CANCEL(2) Abort a scheduled Save State -- can be done at TqCSSAVESTATE_CAPTURE time ";

constexpr char kAPIVersionDoc[] =
    "APIVersion()\n--\n\n"
    "APIVersion() -> int \n"
    "Returns the Tarvik API version expressed as a 4 byte integer. GetMajorVersion, GetMinorVersion,and GetBuildVersion functions can be used to compute the major, minor, and build values. This is not the version of the Python wrapper.";

constexpr char kUnloadTarvikDoc[] =
    "UnloadTarvik()\n--\n\n"
    "UnloadTarvik()\n"
    "Unloads the Tarvik Library.";

constexpr char kLoadTarvikDoc[] =
    "LoadTarvik(StringTarvikLib)\n--\n\n"
    "LoadTarvik(TarvikFilename) -> int\n"
    "Loads the Tarvik dynamic library. Returns version of TarvikAPI if successful, 0 on failure";

constexpr char kProcessTapeDoc[] =
    "ProcessTape(filename, pMemoryAddr, controlFlags, UserData, callbackFunction)\n--\n\n"
    "ProcessTape(filename,baseMemory,controlFlags,userData,callbackFunction)\n"
    "Starts processing Tarvik data. Returns 0 after successfully completing a day.\n"
    "filename:         The full path filename name of the Tarvik Tape to process. Alternatively an empty string(\"\") will process the real-time stream.\n"
    "baseMemory:       Specifies the base memory address for Tarvik to process data. It is recommended to use 0.\n"
    "controlFlags:     bitwise flags to control processing of tape.\n"
    "                  TqCF_EXCLUDE_QUOTES(0x00000001) Exclude Exchange Quotes\n"
    "                  TqCF_EXCLUDE_QUOTES2(0x00000002) Exclude Market Maker Quotes\n"
    "                  TqCF_EXCLUDE_OPRA(0x00000004) Exclude all options from OPRA\n"
    "userData:         The value of user data is copied to TarvikSystem.UserData and is available to reference or change during your callback function.\n"
    "callbackFunction: The callback function that will be called for all messages when processing the Tarvik Tape.\n"
    "                  Parameters are TarvikSystem and TarvikMessage.";

constexpr char kDateFromNDaysDoc[] =
    "DateFromNDays(TqDate, /)\n--\n\n"
    "DateFromNDays(TqDate) -> boolean\n"
    "Using a populated NDays member, populates all other fields.\n"
    "This function modifies the object passed in. Returns True on success or False on Failure";

constexpr char kDateFromYMDDoc[] =
    "DateFromYMD(TqDate, /)\n--\n\n"
    "DateFromYMD(TqDate) -> boolean\n"
    "Using populated Year, Month, and Day members, populates all other fields.\n"
    "This function modifies the object passed in. Returns True on success or False on Failure";

constexpr char kFilterSymbolsDoc[] =
    "FilterSymbols(symbols, /)\n--\n\n"
    "FilterSymbols([Symbol1,Symbol2,Symbol3,...])\n"
    "FilterSymbols([(Symbol1,ListedExg1),(Symbol2,ListedExg2),(Symbol3,ListedExg3),...])\n"
    "Only sends selected symbols to callback, improving performance. Must be called prior to ProcessTape.\n"
    "Arguements can either be a list of symbol strings. or a list of tuples of a symbol string and listed exchange. Symbols should be in Tarvik format";

constexpr char kExcludeSymbolsDoc[] =
    "ExcludeSymbols(symbols, /)\n--\n\n"
    "ExcludeSymbols([Symbol1,Symbol2,Symbol3,...])\n"
    "Blocks selected symbols from being sent to callback, improving performance. Must be called prior to ProcessTape.\n"
    "Arguements can either be a list of symbol strings. or a list of tuples of a symbol string and listed exchange. Symbols should be in Tarvik format";

constexpr char kFilterSymbolsRangeDoc[] =
    "FilterSymbolsRange(StartSymbol, EndSymbol, ListedExg=0, /)\n--\n\n"
    "FilterSymbolsRange(StartSymbol,EndSymbol[,ListedExg])\n"
    "Sets alphabetical range of symbols to send to callback, improving performance. Can only be called once per thread. Must be called prior to ProcessTape.\n"
    "StartSymbol: First symbol in range to process. Can be an empty string for no starting symbol.\n"
    "EndSymbol: Last symbol in range to process. Can be an empty string for no ending symbol.\n"
    "ListedExg: Only send specified listed exchange to callback. Default all listed exchanges.";

constexpr char kGetMajorVersionDoc[] =
    "GetMajorVersion(version, /)\n--\n\n"
    "GetMajorVersion(version) -> int\n"
    "Return the major version from 4 byte version";

constexpr char kGetMinorVersionDoc[] =
    "GetMinorVersion(version, /)\n--\n\n"
    "GetMinorVersion(version) -> int\n"
    "Return the minor version from 4 byte version";

constexpr char kGetBuildVersionDoc[] =
    "GetBuildVersion(version, /)\n--\n\n"
    "GetBuildVersion(version) -> int\n"
    "Return the build version from 4 byte version";

constexpr char kRemovePermissionDoc[] =
    "RemovePermission(permissionID, /)\n--\n\n"
    "RemovePermission(permissionID) -> int\n"
    "Removes a permission ID from being processed from the tape. This can significantly improve performance.\n"
    "permissionID: permission ID to be removed.\n"
    "              A list of permission IDs can be found in the TqST_PERMID string table.";

template <PyObject* (*Function)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace

// The module's 29 functions, in the order they are added.
PyMethodDef kMethodTable[] = {
    {"StateGetLastTrade", StateGetLastTrade, METH_VARARGS, kStateGetLastTradeDoc},
    {"StateGetMMQuotes", StateGetMMQuotes, METH_VARARGS, kStateGetMMQuotesDoc},
    {"StateGetExgQuotes", StateGetExgQuotes, METH_VARARGS, kStateGetExgQuotesDoc},
    {"SpinSymbols", SpinSymbols, METH_VARARGS, kSpinSymbolsDoc},
    {"ListAPIDLLs", ListAPIDLLs, METH_VARARGS, kListAPIDLLsDoc},
    {"ListTapes", ListTapes, METH_VARARGS, kListTapesDoc},
    {"ProcessReturnValue", ProcessReturnValue, METH_VARARGS, kProcessReturnValueDoc},
    {"PriceFormat", PriceFormat, METH_VARARGS, kPriceFormatDoc},
    {"PriceConvert", PriceConvert, METH_VARARGS, kPriceConvertDoc},
    {"PriceToDouble", PriceToDouble, METH_VARARGS, kPriceToDoubleDoc},
    {"PriceToFloat", PriceToDouble, METH_VARARGS, kPriceToFloatDoc},
    {"GetTapeName", GetTapeName, METH_NOARGS, kGetTapeNameDoc},
    {"GetSymbolAtom32", GetSymbolAtom32, METH_NOARGS, kGetSymbolAtom32Doc},
    {"ExcludeOpraExch", ExcludeOpraExch, METH_VARARGS, kExcludeOpraExchDoc},
    {"GetDefinedString", GetDefinedString, METH_VARARGS, kGetDefinedStringDoc},
    {"SaveState", SaveState, METH_VARARGS, kSaveStateDoc},
    {"APIVersion", APIVersion, METH_NOARGS, kAPIVersionDoc},
    {"UnloadTarvik", UnloadTarvik, METH_NOARGS, kUnloadTarvikDoc},
    {"LoadTarvik", with_keywords<LoadTarvik>(), METH_VARARGS | METH_KEYWORDS, kLoadTarvikDoc},
    {"ProcessTape", with_keywords<ProcessTape>(), METH_VARARGS | METH_KEYWORDS, kProcessTapeDoc},
    {"DateFromNDays", DateFromNDays, METH_VARARGS, kDateFromNDaysDoc},
    {"DateFromYMD", DateFromYMD, METH_VARARGS, kDateFromYMDDoc},
    {"FilterSymbols", FilterSymbols, METH_VARARGS, kFilterSymbolsDoc},
    {"ExcludeSymbols", ExcludeSymbols, METH_VARARGS, kExcludeSymbolsDoc},
    {"FilterSymbolsRange", FilterSymbolsRange, METH_VARARGS, kFilterSymbolsRangeDoc},
    {"GetMajorVersion", GetMajorVersion, METH_VARARGS, kGetMajorVersionDoc},
    {"GetMinorVersion", GetMinorVersion, METH_VARARGS, kGetMinorVersionDoc},
    {"GetBuildVersion", GetBuildVersion, METH_VARARGS, kGetBuildVersionDoc},
    {"RemovePermission", RemovePermission, METH_VARARGS, kRemovePermissionDoc},
    {nullptr, nullptr, 0, nullptr},
};

static_assert(std::size(kMethodTable) == kFunctionCount + 1);

}  // namespace tarvik
