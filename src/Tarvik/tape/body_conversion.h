// Message body conversion: fills the body record of the run's message
// object that the message kind names; the other bodies keep what earlier
// messages left in them.
#pragma once

#include "core/thread_state.h"

namespace tarvik {

void fill_exg_quote(ThreadState& state, const TarvikMessageRecord* message);
void fill_mm_quote(ThreadState& state, const TarvikMessageRecord* message);
void fill_trade(ThreadState& state, const TarvikMessageRecord* message);
void fill_category(ThreadState& state, const TarvikMessageRecord* message);
void fill_symbol_change(ThreadState& state, const TarvikMessageRecord* message);
void fill_symbol_spin(ThreadState& state, const TarvikMessageRecord* message);

}  // namespace tarvik
