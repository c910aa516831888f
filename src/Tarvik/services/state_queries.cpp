#include "services/state_queries.h"

#include "core/errors.h"
#include "core/object_cache.h"
#include "core/run_objects.h"
#include "core/thread_data.h"
#include "records/record_copy.h"

namespace tarvik {

namespace {

constexpr int kNoPutOrCall = 2;

// What every query is asked: an exchange and a symbol, or an option contract.
struct Query {
    int listedExg = 0;
    const char* symbol = nullptr;
    int expiration = 0;
    int strike = 0;
    int putOrCall = kNoPutOrCall;
};

// The string record the library keeps the symbol's state under: an option
// contract's date-and-strike record (filed under listed exchange 10) or the
// symbol's own record. Null when the thread has not met it.
TqStringRecord* find_record(SymbolIndex& index, const Query& query) {
    const uint8_t exchange = static_cast<uint8_t>(query.listedExg);
    if (query.expiration != 0 && query.strike != 0 && query.putOrCall != kNoPutOrCall) {
        std::string key = OptionContractKey(query.symbol, query.expiration, query.putOrCall != 0, query.strike);
        return FindSymbolRecord(index, key.c_str(), exchange);
    }
    return FindSymbolRecord(index, query.symbol, exchange);
}

// Parses a query's arguments (with a leading reporting exchange when one is
// asked for) and finds the symbol's string record, which is null when the
// thread has not met the symbol or has no library to ask. False with
// TypeError set when the arguments are refused.
bool prepare(PyObject* args, ThreadData& data, int* reporting_exchange, TqStringRecord** record) {
    Query q;
    bool parsed = reporting_exchange == nullptr
                      ? PyArg_ParseTuple(args, "is|iii", &q.listedExg, &q.symbol, &q.expiration, &q.strike,
                                         &q.putOrCall)
                      : PyArg_ParseTuple(args, "iis|iii", reporting_exchange, &q.listedExg, &q.symbol, &q.expiration,
                                         &q.strike, &q.putOrCall);
    if (!parsed) {
        raise_invalid_parameters();
        return false;
    }
    *record = data.api.loaded() ? find_record(data.state, q) : nullptr;
    return true;
}

// A new record object of a state type, or null with the exception set.
template <typename Object>
Object* make_result(PyTypeObject& type) {
    return reinterpret_cast<Object*>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&type)));
}

// StateGetExgQuotes and StateGetLastTrade: ask the library for the record,
// copy it into a new result object.
template <typename Record, typename Object, typename Entry>
PyObject* query(PyObject* args, Entry ApiTable::* entry_point, PyTypeObject& type,
                void (*copy)(Object*, const Record&)) {
    ThreadData& data = thread_data();
    TqStringRecord* symbol;
    if (!prepare(args, data, nullptr, &symbol)) return nullptr;
    if (symbol == nullptr) Py_RETURN_NONE;
    Record state;
    if ((data.api.*entry_point)(&state, symbol) != 0) Py_RETURN_NONE;
    Object* result = make_result<Object>(type);
    if (result == nullptr) return nullptr;
    copy(result, state);
    return reinterpret_cast<PyObject*>(result);
}

}  // namespace

PyObject* StateGetExgQuotes(PyObject*, PyObject* args) {
    return query<TarvikStateExgQuotesRecord, TarvikStateExgQuotesObject>(args, &ApiTable::StateGetExgQuotes,
                                                                          TarvikStateExgQuotesType,
                                                                          copy_state_exg_quotes);
}

PyObject* StateGetLastTrade(PyObject*, PyObject* args) {
    return query<TarvikStateTradeRecord, TarvikStateTradeObject>(args, &ApiTable::StateGetLastTrade,
                                                                  TarvikStateTradeType, copy_state_trade);
}

PyObject* StateGetMMQuotes(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    int reporting_exchange;
    TqStringRecord* symbol;
    if (!prepare(args, data, &reporting_exchange, &symbol)) return nullptr;
    // The market-maker strings of a result are the run's objects.
    if (symbol == nullptr || !run_in_progress(data.state)) Py_RETURN_NONE;
    TarvikStateMMQuotesRecord state;
    if (data.api.StateGetMMQuotes(static_cast<uint16_t>(reporting_exchange), &state, symbol) != 0) Py_RETURN_NONE;
    auto* result = make_result<TarvikStateMMQuotesObject>(TarvikStateMMQuotesType);
    if (result == nullptr) return nullptr;
    copy_state_mm_quotes_head(result, state);
    const int count = state_mm_quotes_to_fill(state);
    for (int i = 0; i < count; ++i) {
        const TarvikStateMMQuoteRecord& quote = state.StateMMQuotes[i];
        TarvikStateMMQuoteObject* item = result->items[i];
        copy_state_mm_quote(item, quote);
        if (quote.ptqStringMarketMaker == nullptr) {
            set_member(item->ptqStringMarketMaker, nullptr);
            continue;
        }
        TqStringObject* maker = data.state.stateStrings[i];
        show_cached_string(maker, *quote.ptqStringMarketMaker,
                           GetStringObject(data.state, quote.ptqStringMarketMaker));
        set_member(item->ptqStringMarketMaker, maker);
    }
    return reinterpret_cast<PyObject*>(result);
}

}  // namespace tarvik
