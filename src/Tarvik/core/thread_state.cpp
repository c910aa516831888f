#include "core/thread_state.h"

namespace tarvik {

void ThreadState::end_run() {
    // 1. The run's objects that show a cached str (or the extension)
    //    without a reference of their own take one, while the caches still
    //    hold theirs: a program may keep those objects past the run.
    adopt_borrowed_members();
    // 2. The run's objects go. From here no run is in progress, so code that
    //    their release runs (a program's object stored in a member) finds no
    //    run to fill and the caches still whole.
    release_run_objects();
    // 3. The strs and names filed for the run's library records, which die
    //    with the run: after 1, so that nothing shows a released str.
    forget_run_strings();
    forget_symbol_names();
    // 4. The filter's decisions were written into those same records.
    forget_symbol_decisions();
    // 5. The tape's string tables go with the tape.
    empty_defined_strings();
    stopping = false;
}

void ThreadState::release_python_objects() {
    forget_callback();
    forget_run_strings();
    forget_symbol_names();
    empty_defined_strings();
    release_date_and_strike_strings();
}

}  // namespace tarvik
