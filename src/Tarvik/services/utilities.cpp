#include "services/utilities.h"

#include <cstring>

#include "core/errors.h"
#include "core/thread_data.h"
#include "records/value_records.h"
#include "tarvik/constants.h"

namespace tarvik {

namespace {

// Only the low 8 bits of a price type reach the library.
uint8_t price_type(int value) { return static_cast<uint8_t>(value); }

// Decodes library text of at most size bytes, stopping at the first NUL.
PyObject* decode_text(const char* text, std::size_t size) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strnlen(text, size)), nullptr);
}

}  // namespace

PyObject* PriceToDouble(PyObject*, PyObject* args) {
    int price, type;
    if (!PyArg_ParseTuple(args, "ii", &price, &type)) return raise_invalid_parameters();
    ApiTable* api = loaded_api();
    if (api == nullptr) return nullptr;
    return PyFloat_FromDouble(api->PriceToDouble(price, price_type(type)));
}

PyObject* PriceConvert(PyObject*, PyObject* args) {
    int price, type, new_type;
    if (!PyArg_ParseTuple(args, "iii", &price, &type, &new_type)) return raise_invalid_parameters();
    ApiTable* api = loaded_api();
    if (api == nullptr) return nullptr;
    int32_t converted = api->PriceConvert(price, price_type(type), price_type(new_type));
    return PyLong_FromLong(converted);
}

PyObject* PriceFormat(PyObject*, PyObject* args) {
    int price, type, width = 0, commas = 0;
    if (!PyArg_ParseTuple(args, "ii|ip", &price, &type, &width, &commas)) return raise_invalid_parameters();
    ApiTable* api = loaded_api();
    if (api == nullptr) return nullptr;
    char text[kPriceFormatBufferSize] = {};
    int32_t length = api->PriceFormat(text, price, price_type(type), width, static_cast<uint8_t>(commas != 0));
    if (length < 1) Py_RETURN_NONE;
    return decode_text(text, sizeof text);
}

PyObject* GetTapeName(PyObject*, PyObject*) {
    ApiTable* api = loaded_api();
    if (api == nullptr) return nullptr;
    char name[kTapeNameBufferSize] = {};
    if (api->GetTapeName(name, sizeof name) < 0) Py_RETURN_NONE;
    return decode_text(name, sizeof name);
}

PyObject* GetSymbolAtom32(PyObject*, PyObject*) {
    sTarvikGetSymbolAtom32_t get_atom = thread_data().api.GetSymbolAtom32;
    if (get_atom == nullptr) return PyLong_FromLong(TqAPIERR_BAD_PARAMETERS);
    return PyLong_FromLong(get_atom());
}

PyObject* GetDefinedString(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    int table, index;
    if (!PyArg_ParseTuple(args, "ii", &table, &index)) return raise_invalid_parameters();
    // The cache has one map per table id 0..255; no table lies outside.
    if (table < 0 || table >= kExchangeSlots) Py_RETURN_NONE;
    if (PyObject* cached = data.state.find_defined_string(table, index)) return Py_NewRef(cached);

    if (!data.api.loaded()) return raise_library_not_loaded();
    const char* text = data.api.GetDefinedString(table, index);
    // Not known yet (the tape's strings load with its initialising status):
    // nothing is cached, so a later call asks again.
    if (text == nullptr) Py_RETURN_NONE;
    PyObject* string = PyUnicode_FromString(text);
    if (string == nullptr) return nullptr;
    data.state.keep_defined_string(table, index, string);
    return string;
}

namespace {

// DateFromNDays and DateFromYMD: the library completes the date record
// inside a TqDate (or subclass) object in place. It answers a negative
// result code when it rejects the date (an impossible day, a day number out
// of its range); the record then stays as the library left it.
PyObject* complete_date(PyObject* args, sTarvikDateFromNDays_t ApiTable::* complete) {
    PyObject* argument;
    if (!PyArg_ParseTuple(args, "O", &argument)) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    TqDateObject* date = as_date_object(argument);
    if (date == nullptr) Py_RETURN_FALSE;
    ApiTable* api = loaded_api();
    if (api == nullptr) return nullptr;
    if ((api->*complete)(&date->record) < 0) Py_RETURN_FALSE;
    Py_RETURN_TRUE;
}

}  // namespace

PyObject* DateFromNDays(PyObject*, PyObject* args) { return complete_date(args, &ApiTable::DateFromNDays); }

PyObject* DateFromYMD(PyObject*, PyObject* args) { return complete_date(args, &ApiTable::DateFromYMD); }

}  // namespace tarvik
