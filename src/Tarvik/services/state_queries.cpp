#include "services/state_queries.h"

#include <cstdio>

#include "module/errors.h"
#include "module/thread_data.h"
#include "records/record_copy.h"
#include "tape/object_cache.h"
#include "tape/run_objects.h"

namespace tarvik {

namespace {

constexpr std::size_t kKeySize = 256;
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
TqStringRecord* find_record(const ThreadState& state, const Query& query) {
    const char* name = query.symbol;
    char key[kKeySize];
    if (query.expiration != 0 && query.strike != 0 && query.putOrCall != kNoPutOrCall) {
        int length = std::snprintf(key, sizeof key, "%s%d%c%d", query.symbol, query.expiration,
                                   query.putOrCall == 0 ? 'C' : 'P', query.strike);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof key) name = key;
    }
    return FindSymbolRecord(state, name, static_cast<uint8_t>(query.listedExg));
}

// A new record object of a state type, or null with the exception set.
template <typename Object>
Object* make_result(PyTypeObject& type) {
    return reinterpret_cast<Object*>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&type)));
}

}  // namespace

PyObject* StateGetExgQuotes(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    Query q;
    if (!PyArg_ParseTuple(args, "is|iii", &q.listedExg, &q.symbol, &q.expiration, &q.strike, &q.putOrCall)) {
        return raise_invalid_parameters();
    }
    TqStringRecord* record = find_record(data.state, q);
    if (record == nullptr || !data.api.loaded()) Py_RETURN_NONE;
    TarvikStateExgQuotesRecord state;
    if (entry<sTarvikStateGetExgQuotes_t>(data.api.StateGetExgQuotes)(&state, record) != 0) Py_RETURN_NONE;
    auto* result = make_result<TarvikStateExgQuotesObject>(TarvikStateExgQuotesType);
    if (result == nullptr) return nullptr;
    copy_state_exg_quotes(result, state);
    return reinterpret_cast<PyObject*>(result);
}

PyObject* StateGetMMQuotes(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    int reporting_exchange;
    Query q;
    if (!PyArg_ParseTuple(args, "iis|iii", &reporting_exchange, &q.listedExg, &q.symbol, &q.expiration, &q.strike,
                          &q.putOrCall)) {
        return raise_invalid_parameters();
    }
    // The market-maker strings of a result are the run's objects.
    if (!run_in_progress(data.state)) Py_RETURN_NONE;
    TqStringRecord* record = find_record(data.state, q);
    if (record == nullptr || !data.api.loaded()) Py_RETURN_NONE;
    TarvikStateMMQuotesRecord state;
    auto get_quotes = entry<sTarvikStateGetMMQuotes_t>(data.api.StateGetMMQuotes);
    if (get_quotes(static_cast<uint16_t>(reporting_exchange), &state, record) != 0) Py_RETURN_NONE;
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
        show_string(maker, *quote.ptqStringMarketMaker, GetStringObject(data.state, quote.ptqStringMarketMaker));
        set_member(item->ptqStringMarketMaker, maker);
    }
    return reinterpret_cast<PyObject*>(result);
}

PyObject* StateGetLastTrade(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    Query q;
    if (!PyArg_ParseTuple(args, "is|iii", &q.listedExg, &q.symbol, &q.expiration, &q.strike, &q.putOrCall)) {
        return raise_invalid_parameters();
    }
    TqStringRecord* record = find_record(data.state, q);
    if (record == nullptr || !data.api.loaded()) Py_RETURN_NONE;
    TarvikStateTradeRecord state;
    if (entry<sTarvikStateGetLastTrade_t>(data.api.StateGetLastTrade)(&state, record) != 0) Py_RETURN_NONE;
    auto* result = make_result<TarvikStateTradeObject>(TarvikStateTradeType);
    if (result == nullptr) return nullptr;
    copy_state_trade(result, state);
    return reinterpret_cast<PyObject*>(result);
}

}  // namespace tarvik
