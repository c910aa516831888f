#include "records/records.h"

#include <iterator>

#include "records/message_records.h"
#include "records/state_records.h"
#include "records/value_records.h"

namespace tarvik {

namespace {

// The order in which the types are made ready and bound. Each is bound under
// its short name, the last part of its tp_name.
PyTypeObject* const kRecordTypes[] = {
    &TqDateType,
    &TqTimeType,
    &TqPriceType,
    &StringTableItemType,
    &TarvikSystemType,
    &TarvikDataType,
    &TqStringType,
    &TqOptionHdrType,
    &TarvikHeaderType,
    &Tarvik3ExtType,
    &TarvikMessageType,
    &TarvikQuoteType,
    &TarvikExgQuoteType,
    &TarvikMMQuoteType,
    &TqCTAnalysisType,
    &TarvikTradeType,
    &TarvikSymbolChangeType,
    &TarvikSymbolSpinType,
    &TarvikCategoryType,
    &TarvikCategoryDataType,
    &TqCategoryFieldType,
    &TarvikStateExgQuoteType,
    &TarvikStateMMQuoteType,
    &TarvikStateExgQuotesType,
    &TarvikStateMMQuotesType,
    &TarvikStateTradeType,
    &TarvikTapeFileType,
    &TarvikAPIDLLFileType,
};

static_assert(std::size(kRecordTypes) == 28);

}  // namespace

int ready_record_types() {
    for (PyTypeObject* type : kRecordTypes) {
        if (PyType_Ready(type) < 0) return -1;
    }
    return 0;
}

// PyModule_AddType takes a reference of its own; for a static type that is
// a no-op on its immortal count. A failure (memory exhausted) leaves its
// exception pending and the import fails with it.
void bind_record_types(PyObject* module) {
    for (PyTypeObject* type : kRecordTypes) {
        if (PyModule_AddType(module, type) < 0) return;
    }
}

}  // namespace tarvik
