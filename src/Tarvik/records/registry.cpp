#include "records/records.h"

#include <iterator>

#include "records/message_records.h"
#include "records/state_records.h"
#include "records/value_records.h"

namespace tarvik {

namespace {

struct RecordTypeEntry {
    const char* name;
    PyTypeObject* type;
};

// The order in which the types are made ready and bound.
const RecordTypeEntry kRecordTypes[] = {
    {"TqDate", &TqDateType},
    {"TqTime", &TqTimeType},
    {"TqPrice", &TqPriceType},
    {"StringTableItem", &StringTableItemType},
    {"TarvikSystem", &TarvikSystemType},
    {"TarvikData", &TarvikDataType},
    {"TqString", &TqStringType},
    {"TqOptionHdr", &TqOptionHdrType},
    {"TarvikHeader", &TarvikHeaderType},
    {"Tarvik3Ext", &Tarvik3ExtType},
    {"TarvikMessage", &TarvikMessageType},
    {"TarvikQuote", &TarvikQuoteType},
    {"TarvikExgQuote", &TarvikExgQuoteType},
    {"TarvikMMQuote", &TarvikMMQuoteType},
    {"TqCTAnalysis", &TqCTAnalysisType},
    {"TarvikTrade", &TarvikTradeType},
    {"TarvikSymbolChange", &TarvikSymbolChangeType},
    {"TarvikSymbolSpin", &TarvikSymbolSpinType},
    {"TarvikCategory", &TarvikCategoryType},
    {"TarvikCategoryData", &TarvikCategoryDataType},
    {"TqCategoryField", &TqCategoryFieldType},
    {"TarvikStateExgQuote", &TarvikStateExgQuoteType},
    {"TarvikStateMMQuote", &TarvikStateMMQuoteType},
    {"TarvikStateExgQuotes", &TarvikStateExgQuotesType},
    {"TarvikStateMMQuotes", &TarvikStateMMQuotesType},
    {"TarvikStateTrade", &TarvikStateTradeType},
    {"TarvikTapeFile", &TarvikTapeFileType},
    {"TarvikAPIDLLFile", &TarvikAPIDLLFileType},
};

static_assert(std::size(kRecordTypes) == 28);

}  // namespace

int ready_record_types() {
    for (const RecordTypeEntry& entry : kRecordTypes) {
        if (PyType_Ready(entry.type) < 0) return -1;
    }
    return 0;
}

// PyModule_AddObjectRef takes a reference of its own; for a static type
// that is a no-op on its immortal count. A failure (memory exhausted) leaves
// its exception pending and the import fails with it.
void bind_record_types(PyObject* module) {
    for (const RecordTypeEntry& entry : kRecordTypes) {
        if (PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(entry.type)) < 0) return;
    }
}

}  // namespace tarvik
