// The module's front door: the definition, its one execution step and
// PyInit_Tarvik, the shared library's only export.
#include <Python.h>

#include "constants/constants.h"
#include "module/method_table.h"
#include "records/records.h"

namespace tarvik {

namespace {

// The name of the maker of the Tarvik library.
constexpr char kAuthor[] = "Tarvik Replay Labs";
constexpr int kYear = 2026;

// Fills a new module object. Registration failures other than making a type
// ready can only come from exhausted memory; they leave an exception pending
// and the import machinery then fails the import.
int execute_module(PyObject* module) {
    PyModule_AddFunctions(module, kMethodTable);
    if (ready_record_types() < 0) return -1;
    bind_record_types(module);
    PyModule_AddStringConstant(module, "__author__", kAuthor);
    PyModule_AddIntConstant(module, "year", kYear);
    add_constants(module);
    return 0;
}

// The caches hold Python objects per operating-system thread, whichever
// interpreter made them, so the module refuses to load in a second
// interpreter.
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModuleDefinition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "TarvikPython",
    .m_doc = "The Tarvik Python module",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = kSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tarvik

PyMODINIT_FUNC PyInit_Tarvik(void) { return PyModuleDef_Init(&tarvik::kModuleDefinition); }
