#include "engine/mapped_copy.h"

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>

namespace tarvik::engine {
namespace {

struct Guard {
    sigjmp_buf jump;
    const char* begin;
    const char* end;
};

// The copy under way on this thread, if any.
thread_local Guard* volatile t_guard = nullptr;

struct sigaction g_previous {};
std::once_flag g_installed;

void on_bus_error(int signal, siginfo_t* info, void* context) {
    Guard* guard = t_guard;
    const char* at = static_cast<const char*>(info->si_addr);
    if (guard != nullptr && at >= guard->begin && at < guard->end) siglongjmp(guard->jump, 1);
    // Not a copy's: what would have happened without this handler.
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
    } else if ((g_previous.sa_flags & SA_SIGINFO) == 0 && g_previous.sa_handler != SIG_DFL &&
               g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
    } else {
        // The fault recurs on return, and ends the process as by default.
        struct sigaction by_default {};
        by_default.sa_handler = SIG_DFL;
        sigemptyset(&by_default.sa_mask);
        sigaction(SIGBUS, &by_default, nullptr);
    }
}

void install() {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_previous);
}

// Unloading the library takes its handler away with it.
struct Uninstall {
    ~Uninstall() {
        struct sigaction now {};
        if (sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) != 0 &&
            now.sa_sigaction == on_bus_error)
            sigaction(SIGBUS, &g_previous, nullptr);
    }
} g_uninstall;

}  // namespace

bool copy_mapped(void* to, const void* from, std::size_t size) {
    std::call_once(g_installed, install);
    Guard guard;
    guard.begin = static_cast<const char*>(from);
    guard.end = guard.begin + size;
    if (sigsetjmp(guard.jump, 1) != 0) {
        t_guard = nullptr;
        return false;
    }
    t_guard = &guard;
    std::memcpy(to, from, size);
    t_guard = nullptr;
    return true;
}

}  // namespace tarvik::engine
