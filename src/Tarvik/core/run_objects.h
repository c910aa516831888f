// The reusable objects of one tape run: made when ProcessTape starts,
// refilled for every message, released when the run ends.
#pragma once

#include "tape/thread_state.h"

namespace tarvik {

// Makes the main object set, the state strings and the spin object set.
// On failure releases whatever was made and returns false with the
// exception set.
bool make_run_objects(ThreadState& state);

// At the end of a run: the members that show objects without a reference
// of their own take one, so that objects a program keeps stay valid after
// the run lets go. These are the message's extension and the string objects
// that show the caches' strs (message strings 0 and 2 to 6, the state and
// spin strings).
void adopt_borrowed_members(ThreadState& state);

// The message path found the header's ptqOptionHdr changed by the program:
// `held` (the slot's own reference to what the program stored) is released,
// and when the slot showed the run's option header object before (`previous`),
// the reserve reference the program's store released is taken again.
void reclaim_option_slot(PyObject* held, PyObject* previous);

// Releases every run object and sets its field to null.
void release_run_objects(ThreadState& state);

inline bool run_in_progress(const ThreadState& state) { return state.message != nullptr; }

}  // namespace tarvik
