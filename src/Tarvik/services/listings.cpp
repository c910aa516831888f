#include "services/listings.h"

#include <cstring>

#include "core/callback_errors.h"
#include "core/errors.h"
#include "core/library_pin.h"
#include "core/object_cache.h"
#include "core/owned_ref.h"
#include "core/thread_data.h"
#include "records/record_copy.h"

namespace tarvik {

namespace {

// A new str of a fixed-size text field (replacement characters for bytes
// that are not UTF-8), or null when memory runs out.
template <std::size_t N>
PyObject* field_text(const char (&field)[N]) {
    return text_object(field, strnlen(field, N));
}

// Calls the slot's callable with one listed file and prints whatever it
// raised: the listing always goes on to the next file.
void hand_to_program(ThreadState& state, PyObject* slot, PyObject* file) {
    OwnedRef callable = OwnedRef::borrow(slot);  // the callable may replace the slot
    if (callable && file != nullptr) {
        OwnedRef result(PyObject_CallOneArg(callable.get(), file));
    }
    if (PyErr_Occurred()) report_callback_exception(state);
}

int32_t tape_item_callback(void*, const void* item) {
    ThreadData* found = existing_thread_data();
    if (found == nullptr) return 0;  // not a thread of this module: no listing of its own
    ThreadData& data = *found;
    const auto& record = *static_cast<const TarvikTapeFileRecord*>(item);
    OwnedRef file(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&TarvikTapeFileType)));
    if (file) {
        auto* tape = reinterpret_cast<TarvikTapeFileObject*>(file.get());
        copy_tape_file(tape, record);
        tape->PathnameStrZ = field_text(record.PathnameStrZ);
        tape->PermSet = field_text(record.PermSet);
    }
    hand_to_program(data.state, data.TapeListCallback, file.get());
    return 0;
}

int32_t library_item_callback(void*, const void* item) {
    ThreadData* found = existing_thread_data();
    if (found == nullptr) return 0;  // not a thread of this module: no listing of its own
    ThreadData& data = *found;
    const auto& record = *static_cast<const TarvikAPIDLLFileRecord*>(item);
    OwnedRef file(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&TarvikAPIDLLFileType)));
    if (file) {
        auto* library = reinterpret_cast<TarvikAPIDLLFileObject*>(file.get());
        copy_library_file(library, record);
        library->PathnameStrZ = field_text(record.PathnameStrZ);
    }
    hand_to_program(data.state, data.LibraryListCallback, file.get());
    return 0;
}

// ListTapes and ListAPIDLLs: the same steps on their own slot and entry.
template <typename List>
PyObject* list_files(PyObject* args, PyObject*& slot, List ApiTable::* list, TarvikItemCallback item_callback) {
    ThreadData& data = thread_data();
    int flags;
    PyObject* callable;
    if (!PyArg_ParseTuple(args, "iO", &flags, &callable)) return raise_invalid_parameters();
    if (!PyCallable_Check(callable)) return raise_not_callable();
    if (!data.api.loaded()) return raise_library_not_loaded();
    store_callable(slot, callable);
    List list_entry = data.api.*list;
    int32_t result;
    begin_callback_errors(data.state);
    {
        LibraryPin pin(list_entry);  // the program's callable runs inside the listing
        result = list_entry(flags, item_callback, nullptr);
    }
    end_callback_errors(data.state);
    return PyLong_FromLong(result);
}

}  // namespace

PyObject* ListTapes(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    return list_files(args, data.TapeListCallback, &ApiTable::ListTapes, tape_item_callback);
}

PyObject* ListAPIDLLs(PyObject*, PyObject* args) {
    ThreadData& data = thread_data();
    return list_files(args, data.LibraryListCallback, &ApiTable::ListAPIDLLs, library_item_callback);
}

}  // namespace tarvik
