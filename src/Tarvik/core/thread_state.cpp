#include "tape/thread_state.h"

#include <cstdlib>

#include <sys/mman.h>

namespace tarvik {

ThreadState::~ThreadState() {
    for (PyObject** table : symbolObjectTables) std::free(table);
    if (optionEntries != nullptr) munmap(optionEntries, kAtomSlots * sizeof(OptionObjectEntry));
    for (auto& [address, entry] : optionOverflow) delete entry;
}

}  // namespace tarvik
