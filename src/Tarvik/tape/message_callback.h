// The callbacks ProcessTape hands to the library.
#pragma once

#include "tarvik/library.h"

namespace tarvik {

// Once per message: gates it, refills the run's two objects, calls the
// program's callable and answers the library with its result.
int32_t message_callback(TarvikSystemRecord* system, TarvikMessageRecord* message);

// Once per symbol of the spin that follows a loaded state: decides the
// symbol with the filter and files its name; no Python code runs.
int32_t loaded_state_spin_callback(TarvikSystemRecord* system, TarvikMessageRecord* message);

}  // namespace tarvik
