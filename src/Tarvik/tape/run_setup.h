// Makes the objects of a tape run (core/run_objects.h) from the record types.
#pragma once

#include "core/run_objects.h"

namespace tarvik {

// Makes the main object set, the state strings and the spin object set,
// points the fill targets at them and notes their borrowed members. On
// failure releases whatever was made and returns false with the exception set.
bool make_run_objects(RunObjects& run);

}  // namespace tarvik
