#include "services/return_codes.h"

#include <cstdio>
#include <iterator>

#include "core/errors.h"

namespace tarvik {

namespace {

constexpr int32_t kLowestCode = -16;

// Indexed by code - kLowestCode: -16 first, 1 last.
constexpr const char* kReturnCodeTexts[] = {
    /* -16 TqAPIERR_UNSUPPORTED_API */
    "This API version is outdated and does not support this tape. Please download the latest API version.",
    /* -15 TqAPIERR_NSODALLOC_ERROR */ "Startup pTqSOD allocation error",
    /* -14 TqAPIERR_INITALLOC_ERROR */ "Startup initial allocation error",
    /* -13 TqAPIERR_NOT_SUPPORTED */ "General error",
    /* -12 TqAPIERR_SAVE_STATE_IN_PROGRESS */ "Save state -- a state save is currently in progress",
    /* -11 TqAPIERR_ZEROED_DATA_FOR_SESSION */ "Symbol spin -- there is a session, but data is all zero",
    /* -10 TqAPIERR_NODATA_FOR_REPEXG */
    "Symbol spin -- MMQuotes. There is session data, but no entry for the specified rep. exg",
    /* -9 TqAPIERR_NODATATYPE_FOR_SESSION */
    "Symbol spin -- There's a session, but no trade/quote/mmquote data for session",
    /* -8 TqAPIERR_NOSESSION_FOR_SYMBOL */ "Symbol spin -- no session or session does not have data type",
    /* -7 TqAPIERR_NOSYMBOLS_FOR_LSTEXG */
    "Symbol spin -- no symbols of the type (options/not options) for the exchange specified",
    /* -6 TqAPIERR_NOLISTED_EXG */ "Symbol spin -- listed exchange does not exist in current tape",
    /* -5 TqAPIERR_INITIALIZE_MEMORY_FAILED */
    "Could not initialize memory. This can occur when calling processTape with a saved state file and the "
    "memory address used to save the state has been used by another dll or within your process.",
    /* -4 TqAPIERR_OPEN_TAPE_FILE_FAILED */ "Could not open the file specified as parameter 1.",
    /* -3 TqAPIERR_EXCEPTION */ "An exception occurred.",
    /* -2 TqAPIERR_BAD_PARAMETERS shares the text of -1 */
    "Function was called from thread other than callback thread.",
    /* -1 TqAPIERR_NOT_CALLBACK_THREAD */ "Function was called from thread other than callback thread.",
    /* 0 TqAPIERR_NO_ERROR */ "Tape completed normally.",
    /* 1 TqAPIERR_USER_STOPPED */ "TqCALLBACKRETURN_STOP was returned from callback function.",
};

static_assert(std::size(kReturnCodeTexts) == 18);

void flush_python_stdout() {
    PyObject* python_stdout = PySys_GetObject("stdout");  // borrowed
    if (python_stdout == nullptr || python_stdout == Py_None) return;
    PyObject* result = PyObject_CallMethod(python_stdout, "flush", nullptr);
    if (result == nullptr) PyErr_Clear();
    Py_XDECREF(result);
}

}  // namespace

const char* return_code_text(int32_t code) {
    if (code < kLowestCode || code > 1) return nullptr;
    return kReturnCodeTexts[code - kLowestCode];
}

PyObject* ProcessReturnValue(PyObject*, PyObject* args) {
    int code;
    if (!PyArg_ParseTuple(args, "i", &code)) return raise_invalid_parameters();
    // The process's own standard output, not sys.stdout: redirecting output
    // inside Python does not capture this line. Whatever Python has buffered
    // for sys.stdout is flushed first so lines come out in the order written.
    flush_python_stdout();
    if (const char* text = return_code_text(code)) {
        std::fputs(text, stdout);
    } else {
        std::fprintf(stdout, "Unknown return value: (%d)", code);
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
    Py_RETURN_NONE;
}

}  // namespace tarvik
