#include "records/state_records.h"

#include "core/doc_links.h"
#include "records/record_type.h"

namespace tarvik {

namespace {

constexpr Py_ssize_t at(std::size_t block, std::size_t field) { return static_cast<Py_ssize_t>(block + field); }

template <typename Object>
PyObject* discard(Object* self) {
    Py_DECREF(self);
    return nullptr;
}

// ---------------------------------------------------------------------------
// TarvikStateExgQuote
// ---------------------------------------------------------------------------

constexpr std::size_t kExgEntry = offsetof(TarvikStateExgQuoteObject, record);

PyMemberDef kStateExgQuoteMembers[] = {
    {"AskPrice", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, AskPrice)), Py_READONLY,
     "Current ask price of ReportingExg"},
    {"BidPrice", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, BidPrice)), Py_READONLY,
     "Current bid price of ReportingExg"},
    {"AskSize", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, AskSize)), Py_READONLY,
     "Current ask size of ReportingExg"},
    {"BidSize", Py_T_INT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, BidSize)), Py_READONLY,
     "Current bid size of ReportingExg"},
    {"ReportingExg", Py_T_USHORT, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, ReportingExg)), Py_READONLY,
     "The reporting exchange for this quote. Can be compared against BestAskExg or BestBidExg to determine NBBO"},
    {"QuoteCondition", Py_T_UBYTE, at(kExgEntry, offsetof(TarvikStateExgQuoteRecord, QuoteCondition)), Py_READONLY,
     "Quote condition assigned by exchange. For values see: " TARVIK_DOC_QUOTE_CONDITIONS},
    {nullptr},
};

PyObject* new_state_exg_quote(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikStateExgQuoteObject>(type);
    if (self == nullptr) return nullptr;
    self->record = TarvikStateExgQuoteRecord{};
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// TarvikStateMMQuote
// ---------------------------------------------------------------------------

constexpr std::size_t kPrices = offsetof(TarvikStateMMQuoteObject, prices);

PyMemberDef kStateMMQuoteMembers[] = {
    {"AskPrice", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, AskPrice)), Py_READONLY,
     "Current ask price from the market maker identified as ptqStringMarketMaker"},
    {"BidPrice", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, BidPrice)), Py_READONLY,
     "Current bsk price from the market maker identified as ptqStringMarketMaker"},
    {"AskSize", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, AskSize)), Py_READONLY,
     "Current ask size from the market maker identified as ptqStringMarketMaker"},
    {"BidSize", Py_T_INT, at(kPrices, offsetof(StateQuotePrices, BidSize)), Py_READONLY,
     "Current bid size from the market maker identified as ptqStringMarketMaker"},
    {"ptqStringMarketMaker", _Py_T_OBJECT, offsetof(TarvikStateMMQuoteObject, ptqStringMarketMaker), Py_READONLY,
     "TqString containing either the Market Marker or D0,D1,D2... for level of depth"},
    {"MarketMakerType", Py_T_UBYTE, offsetof(TarvikStateMMQuoteObject, MarketMakerType), Py_READONLY,
     "Identify the type of Market Maker"},
    {"QuoteType", Py_T_UBYTE, offsetof(TarvikStateMMQuoteObject, QuoteType), Py_READONLY,
     "Identify a special type of quote"},
    {nullptr},
};

void dealloc_state_mm_quote(PyObject* op) {
    auto* self = reinterpret_cast<TarvikStateMMQuoteObject*>(op);
    Py_CLEAR(self->ptqStringMarketMaker);
    Py_TYPE(op)->tp_free(op);
}

PyObject* new_state_mm_quote(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikStateMMQuoteObject>(type);
    if (self == nullptr) return nullptr;
    self->prices = StateQuotePrices{};
    self->ptqStringMarketMaker = nullptr;
    self->MarketMakerType = 0;
    self->QuoteType = 0;
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// Lists of entries, shared by TarvikStateExgQuotes and TarvikStateMMQuotes
// ---------------------------------------------------------------------------

// Fills `items` with new entries of `type` and returns a new list holding
// them too; null with the exception set when any of them cannot be made
// (the entries made so far stay in `items` for the deallocator).
template <typename Item, std::size_t N>
PyObject* new_entry_list(Item* (&items)[N], PyTypeObject& type) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(N));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        if (!make_child(items[i], type)) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(items[i]));
    }
    return list;
}

// ---------------------------------------------------------------------------
// TarvikStateExgQuotes
// ---------------------------------------------------------------------------

constexpr std::size_t kExgHead = offsetof(TarvikStateExgQuotesObject, head);

PyMemberDef kStateExgQuotesMembers[] = {
    {"StateQuoteCount", Py_T_USHORT, at(kExgHead, offsetof(StateExgQuotesHead, StateQuoteCount)), Py_READONLY,
     "Number of items in StateExgQuotes"},
    {"PriceType", Py_T_UBYTE, at(kExgHead, offsetof(StateExgQuotesHead, PriceType)), Py_READONLY,
     "Price type to use for all prices in StateExgQuotes"},
    {"NasdaqBidTick", Py_T_UBYTE, at(kExgHead, offsetof(StateExgQuotesHead, NasdaqBidTick)), Py_READONLY,
     "NasdaqBidTick"},
    {"BestAskExg", Py_T_USHORT, at(kExgHead, offsetof(StateExgQuotesHead, BestAskExg)), Py_READONLY,
     "The ReportingExg in one of the items in StateExgQuotes that has the best ask"},
    {"BestBidExg", Py_T_USHORT, at(kExgHead, offsetof(StateExgQuotesHead, BestBidExg)), Py_READONLY,
     "The ReportingExg in one of the items in StateExgQuotes that has the best bid"},
    {"StateExgQuotes", _Py_T_OBJECT, offsetof(TarvikStateExgQuotesObject, StateExgQuotes), Py_READONLY,
     "List of TarvikStateExgQuote"},
    {nullptr},
};

void dealloc_state_exg_quotes(PyObject* op) {
    auto* self = reinterpret_cast<TarvikStateExgQuotesObject*>(op);
    for (TarvikStateExgQuoteObject*& item : self->items) Py_CLEAR(item);
    Py_CLEAR(self->StateExgQuotes);
    Py_TYPE(op)->tp_free(op);
}

PyObject* new_state_exg_quotes(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikStateExgQuotesObject>(type);
    if (self == nullptr) return nullptr;
    self->head = StateExgQuotesHead{};
    self->StateExgQuotes = new_entry_list(self->items, TarvikStateExgQuoteType);
    if (self->StateExgQuotes == nullptr) return discard(self);
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// TarvikStateMMQuotes
// ---------------------------------------------------------------------------

constexpr std::size_t kMMHead = offsetof(TarvikStateMMQuotesObject, head);

PyMemberDef kStateMMQuotesMembers[] = {
    {"StateQuoteCount", Py_T_USHORT, at(kMMHead, offsetof(StateMMQuotesHead, StateQuoteCount)), Py_READONLY,
     "Number of items in StateMMQuotes"},
    {"PriceType", Py_T_UBYTE, at(kMMHead, offsetof(StateMMQuotesHead, PriceType)), Py_READONLY,
     "Price type to use for all prices in StateMMQuotes"},
    {"NasdaqBidTick", Py_T_UBYTE, at(kMMHead, offsetof(StateMMQuotesHead, NasdaqBidTick)), Py_READONLY,
     "NasdaqBidTick"},
    {"StateMMQuotes", _Py_T_OBJECT, offsetof(TarvikStateMMQuotesObject, StateMMQuotes), Py_READONLY,
     "List of TarvikStateMMQuote"},
    {nullptr},
};

void dealloc_state_mm_quotes(PyObject* op) {
    auto* self = reinterpret_cast<TarvikStateMMQuotesObject*>(op);
    for (TarvikStateMMQuoteObject*& item : self->items) Py_CLEAR(item);
    Py_CLEAR(self->StateMMQuotes);
    Py_TYPE(op)->tp_free(op);
}

PyObject* new_state_mm_quotes(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikStateMMQuotesObject>(type);
    if (self == nullptr) return nullptr;
    self->head = StateMMQuotesHead{};
    self->StateMMQuotes = new_entry_list(self->items, TarvikStateMMQuoteType);
    if (self->StateMMQuotes == nullptr) return discard(self);
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// TarvikStateTrade
// ---------------------------------------------------------------------------

constexpr std::size_t kTrade = offsetof(TarvikStateTradeObject, record);

PyMemberDef kStateTradeMembers[] = {
    {"TotalVolume", Py_T_ULONGLONG, at(kTrade, offsetof(TarvikStateTradeRecord, TotalVolume)), Py_READONLY,
     "Total Volume"},
    {"TickVolume", Py_T_UINT, at(kTrade, offsetof(TarvikStateTradeRecord, TickVolume)), Py_READONLY, "Tick Volume"},
    {"PriceType", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, PriceType)), Py_READONLY, "Price Type"},
    {"PriceFlags", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, PriceFlags)), Py_READONLY,
     "Price Flags"},
    {"ConditionFlags", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, ConditionFlags)), Py_READONLY,
     "Condition Flags"},
    {"VolumeType", Py_T_UBYTE, at(kTrade, offsetof(TarvikStateTradeRecord, VolumeType)), Py_READONLY,
     "Volume Type"},
    {"Open", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Open)), Py_READONLY, "Open"},
    {"High", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, High)), Py_READONLY, "High"},
    {"Low", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Low)), Py_READONLY, "Low"},
    {"Last", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Last)), Py_READONLY, "Last"},
    {"NetChange", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, NetChange)), Py_READONLY, "Net Change"},
    {"Price", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Price)), Py_READONLY, "Price"},
    {"Threshold", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Threshold)), Py_READONLY, "Threshold"},
    {"Tick", Py_T_INT, at(kTrade, offsetof(TarvikStateTradeRecord, Tick)), Py_READONLY, "Tick"},
    {nullptr},
};

PyObject* new_state_trade(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikStateTradeObject>(type);
    if (self == nullptr) return nullptr;
    self->record = TarvikStateTradeRecord{};
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// TarvikTapeFile
// ---------------------------------------------------------------------------

PyMemberDef kTapeFileMembers[] = {
    {"PathnameStrZ", _Py_T_OBJECT, offsetof(TarvikTapeFileObject, PathnameStrZ), Py_READONLY, "Full path to the tape"},
    {"FileAttributes", Py_T_UINT, offsetof(TarvikTapeFileObject, FileAttributes), Py_READONLY, "File attributes"},
    {"FileSize", Py_T_ULONGLONG, offsetof(TarvikTapeFileObject, FileSize), Py_READONLY,
     "Size of the tape file in bytes"},
    {"TapeDate", _Py_T_OBJECT, offsetof(TarvikTapeFileObject, TapeDate), Py_READONLY, "Date of the tape file"},
    {"PermSet", _Py_T_OBJECT, offsetof(TarvikTapeFileObject, PermSet), Py_READONLY, "Permission set of the tape file"},
    {nullptr},
};

void dealloc_tape_file(PyObject* op) {
    auto* self = reinterpret_cast<TarvikTapeFileObject*>(op);
    Py_CLEAR(self->PathnameStrZ);
    Py_CLEAR(self->TapeDate);
    Py_CLEAR(self->PermSet);
    Py_TYPE(op)->tp_free(op);
}

PyObject* new_tape_file(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikTapeFileObject>(type);
    if (self == nullptr) return nullptr;
    self->PathnameStrZ = nullptr;
    self->FileAttributes = 0;
    self->FileSize = 0;
    self->PermSet = nullptr;
    if (!make_child(self->TapeDate, TqDateType)) return discard(self);
    return reinterpret_cast<PyObject*>(self);
}

// ---------------------------------------------------------------------------
// TarvikAPIDLLFile
// ---------------------------------------------------------------------------

constexpr std::size_t kVersion = offsetof(TarvikAPIDLLFileObject, version);

PyMemberDef kLibraryFileMembers[] = {
    {"PathnameStrZ", _Py_T_OBJECT, offsetof(TarvikAPIDLLFileObject, PathnameStrZ), Py_READONLY,
     "Full path to the DLL"},
    {"FileAttributes", Py_T_UINT, offsetof(TarvikAPIDLLFileObject, FileAttributes), Py_READONLY, "File attributes"},
    {"FileSize", Py_T_ULONGLONG, offsetof(TarvikAPIDLLFileObject, FileSize), Py_READONLY,
     "Size of the DLL file in bytes"},
    {"BuildDate", _Py_T_OBJECT, offsetof(TarvikAPIDLLFileObject, BuildDate), Py_READONLY, "Build date of the DLL"},
    {"BuildTime", _Py_T_OBJECT, offsetof(TarvikAPIDLLFileObject, BuildTime), Py_READONLY, "Build time of the DLL"},
    {"verMajor", Py_T_UBYTE, at(kVersion, offsetof(LibraryVersion, verMajor)), Py_READONLY,
     "Major version of the DLL"},
    {"verMinor", Py_T_UBYTE, at(kVersion, offsetof(LibraryVersion, verMinor)), Py_READONLY,
     "Minor version of the DLL"},
    {"verBuild", Py_T_USHORT, at(kVersion, offsetof(LibraryVersion, verBuild)), Py_READONLY,
     "Build version of the DLL"},
    {nullptr},
};

void dealloc_library_file(PyObject* op) {
    auto* self = reinterpret_cast<TarvikAPIDLLFileObject*>(op);
    Py_CLEAR(self->PathnameStrZ);
    Py_CLEAR(self->BuildDate);
    Py_CLEAR(self->BuildTime);
    Py_TYPE(op)->tp_free(op);
}

PyObject* new_library_file(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = alloc_record<TarvikAPIDLLFileObject>(type);
    if (self == nullptr) return nullptr;
    self->PathnameStrZ = nullptr;
    self->FileAttributes = 0;
    self->FileSize = 0;
    self->version = LibraryVersion{};
    if (!make_child(self->BuildDate, TqDateType) || !make_child(self->BuildTime, TqTimeType)) return discard(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace

PyTypeObject TarvikStateExgQuoteType = record_type("Tarvik.TarvikStateExgQuote", "TarvikStateExgQuote Object",
                                                   sizeof(TarvikStateExgQuoteObject), kStateExgQuoteMembers,
                                                   new_state_exg_quote, dealloc_plain_record);
PyTypeObject TarvikStateMMQuoteType = record_type("Tarvik.TarvikStateMMQuote", "TarvikStateMMQuote Object",
                                                  sizeof(TarvikStateMMQuoteObject), kStateMMQuoteMembers,
                                                  new_state_mm_quote, dealloc_state_mm_quote);
PyTypeObject TarvikStateExgQuotesType = record_type("Tarvik.TarvikStateExgQuotes", "TarvikStateExgQuotes Object",
                                                    sizeof(TarvikStateExgQuotesObject), kStateExgQuotesMembers,
                                                    new_state_exg_quotes, dealloc_state_exg_quotes);
PyTypeObject TarvikStateMMQuotesType = record_type("Tarvik.TarvikStateMMQuotes", "TarvikStateMMQuotes Object",
                                                   sizeof(TarvikStateMMQuotesObject), kStateMMQuotesMembers,
                                                   new_state_mm_quotes, dealloc_state_mm_quotes);
PyTypeObject TarvikStateTradeType = record_type("Tarvik.TarvikStateTrade", "TarvikStateTrade Object",
                                                sizeof(TarvikStateTradeObject), kStateTradeMembers, new_state_trade,
                                                dealloc_plain_record);
PyTypeObject TarvikTapeFileType = record_type("Tarvik.TarvikTapeFile", "TarvikTapeFile Object",
                                              sizeof(TarvikTapeFileObject), kTapeFileMembers, new_tape_file,
                                              dealloc_tape_file);
PyTypeObject TarvikAPIDLLFileType = record_type("Tarvik.TarvikAPIDLLFile", "TarvikAPIDLLFile Object",
                                                sizeof(TarvikAPIDLLFileObject), kLibraryFileMembers,
                                                new_library_file, dealloc_library_file);

}  // namespace tarvik
