// Columnar reads for Python (tarvik_engine.read_tape, iter_tape), called
// through ctypes; batches cross as Arrow C data interface structs.
//
//   int   tarvik_columns_check(const char* options_json, char** error)
//   void* tarvik_columns_open(const char* options_json, char** error)
//   int   tarvik_columns_schema(void* reader, int kind, ArrowSchema* out)
//   int   tarvik_columns_next(void* reader, int wait_ms, int* kind, ArrowArray* array,
//                             ArrowSchema* schema, int* code, char** error)
//   void  tarvik_columns_close(void* reader)
//   void  tarvik_columns_free(char* text)
//
// check answers 0, or -1 with a message, for the options a reader would be
// opened with, starting no replay. open answers null with a message on bad
// options. next answers 1 with a
// batch, 2 when none came within wait_ms (the caller sees to its signals
// and asks again), 0 at the end of the day, -1 on failure with the
// engine's result code and a message. Messages are freed with tarvik_columns_free.
#include <arrow/c/bridge.h>

#include <cstdlib>
#include <cstring>

#include "tarvik/c_text.h"
#include "tape_columns.h"

using namespace tarvik::columnar;

using tarvik::c_text_copy;

#define TARVIK_COLUMNS_EXPORT extern "C" __attribute__((visibility("default")))

TARVIK_COLUMNS_EXPORT int tarvik_columns_check(const char* options_json, char** error) {
    try {
        check_tape_file(columnar_options_from_json(options_json));
        return 0;
    } catch (const std::exception& e) {
        *error = c_text_copy(tarvik::failure_text(e));
        return -1;
    }
}

TARVIK_COLUMNS_EXPORT void* tarvik_columns_open(const char* options_json, char** error) {
    try {
        return new TapeColumns(columnar_options_from_json(options_json));
    } catch (const std::exception& e) {
        *error = c_text_copy(tarvik::failure_text(e));
        return nullptr;
    }
}

TARVIK_COLUMNS_EXPORT int tarvik_columns_schema(void* reader, int kind, ArrowSchema* out) {
    if (kind < 0 || kind >= kTapeKindCount) return -1;
    const auto schema = static_cast<TapeColumns*>(reader)->schema(static_cast<TapeKind>(kind));
    return arrow::ExportSchema(*schema, out).ok() ? 0 : -1;
}

TARVIK_COLUMNS_EXPORT int tarvik_columns_next(void* reader, int wait_ms, int* kind, ArrowArray* array,
                                             ArrowSchema* schema, int* code, char** error) {
    try {
        TapeKind k;
        std::shared_ptr<arrow::RecordBatch> batch;
        switch (static_cast<TapeColumns*>(reader)->next(k, batch, std::chrono::milliseconds(wait_ms))) {
            case TapeColumns::Next::End: return 0;
            case TapeColumns::Next::NotYet: return 2;
            case TapeColumns::Next::Batch: break;
        }
        const arrow::Status status = arrow::ExportRecordBatch(*batch, array, schema);
        if (!status.ok()) throw std::runtime_error(status.ToString());
        *kind = static_cast<int>(k);
        return 1;
    } catch (const TapeReadError& e) {
        *code = e.code();
        *error = c_text_copy(e.what());
        return -1;
    } catch (const std::exception& e) {
        *code = failure_code(e);
        *error = c_text_copy(tarvik::failure_text(e));
        return -1;
    }
}

TARVIK_COLUMNS_EXPORT void tarvik_columns_close(void* reader) { delete static_cast<TapeColumns*>(reader); }

TARVIK_COLUMNS_EXPORT void tarvik_columns_free(char* text) { std::free(text); }
