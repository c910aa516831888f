#include "tape/thread_state.h"

#include <cstdlib>

namespace tarvik {

ThreadState::~ThreadState() {
    for (PyObject** table : symbolObjectTables) std::free(table);
    for (OptionObjectEntry* entry : optionEntries) delete entry;
    for (auto& [address, entry] : optionOverflow) delete entry;
}

}  // namespace tarvik
