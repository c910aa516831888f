#include "engine/run.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include "engine/dates.h"
#include "engine/engine_constants.h"
#include "engine/version.h"

namespace tarvik::engine {
namespace {

thread_local Run* t_current_run = nullptr;

// Makes a run the calling thread's current one for the length of a scope.
class CurrentRunScope {
public:
    explicit CurrentRunScope(Run* run) : previous_(t_current_run) { t_current_run = run; }
    ~CurrentRunScope() { t_current_run = previous_; }
    CurrentRunScope(const CurrentRunScope&) = delete;
    CurrentRunScope& operator=(const CurrentRunScope&) = delete;

private:
    Run* previous_;
};

// The load address of the engine, shown as the system record's Module.
int64_t library_base() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&library_base), &info) == 0) return 0;
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(info.dli_fbase));
}

// A callback's answer as replay() passes it on.
int32_t settle(int32_t answer) {
    return answer == TqCALLBACKRETURN_STOP      ? TqAPIERR_USER_STOPPED
           : answer == TqCALLBACKRETURN_RESTART ? Run::kRestartRequested
                                                : TqAPIERR_NO_ERROR;
}

// How long the real-time stream may stay silent before the run gives up.
constexpr std::chrono::milliseconds kLiveIdle{60'000};

}  // namespace

Run::Run(int32_t control_flags, int32_t user_data, TarvikMessageCallback callback)
    : control_flags_(control_flags), callback_(callback), exclusions_(control_flags) {
    system_.UserData = user_data;
    system_.DLLVersion = kEngineVersion;
    system_.ThreadInstance = static_cast<int64_t>(reinterpret_cast<intptr_t>(this));
}

Run* Run::current() { return t_current_run; }

bool Run::check_crc() const { return (control_flags_ & TqCF_EXCLUDE_CRC_CHECK) == 0; }

int32_t Run::process_file(const char* path) {
    if (path == nullptr || callback_ == nullptr) return TqAPIERR_BAD_PARAMETERS;
    if (path[0] == '\0') return process_live();
    if (int32_t result = source_.map_file(path)) return result;
    const TapeBytes& bytes = source_.bytes();
    if (is_snapshot(bytes.data(), bytes.size())) return process_snapshot();
    char resolved[PATH_MAX];
    source_.set_path(::realpath(path, resolved) != nullptr ? resolved : path);
    return process(bytes.data(), bytes.size());
}

int32_t Run::process_memory(const unsigned char* data, std::size_t size) {
    if (data == nullptr || callback_ == nullptr) return TqAPIERR_BAD_PARAMETERS;
    return process(data, size);
}

int32_t Run::process(const unsigned char* data, std::size_t size) {
    if (int32_t result = source_.open_memory(data, size, check_crc())) return result;
    start_day();
    return run_day(false);
}

int32_t Run::process_live() {
    const char* path = std::getenv("TARVIK_REALTIME_TAPE");
    if (path == nullptr || path[0] == '\0') return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    std::chrono::milliseconds idle_limit;
    if (!parse_idle_limit(std::getenv("TARVIK_REALTIME_IDLE_MS"), kLiveIdle, idle_limit))
        return TqAPIERR_BAD_PARAMETERS;
    if (int32_t result = source_.open_live(path, idle_limit, check_crc())) return result;
    start_day();
    return run_day(false);
}

void Run::start_day() {
    const TapeTables& tables = source_.tables();
    directory_.build(tables, (control_flags_ & TqCF_EXCLUDE_OPRA) != 0);
    if (wanted_symbols_) directory_.skip_unwanted(tables, wanted_symbols_);
    book_.reset(tables);
    std::size_t max_fields = 1;
    for (const CategoryDef& category : tables.categories) max_fields = std::max(max_fields, category.fields.size());
    category_fields_.assign(max_fields, TqCategoryFieldRecord{});

    system_.tqDate.NDays = tables.header.date_ndays;
    date_from_ndays(system_.tqDate);
    system_.tqTime = time_from_micros(0, tables.header.time_zone);
    last_time_ = system_.tqTime;
    system_.TapeDisplay = tables.header.display.c_str();
    system_.Module = library_base();
    std::memcpy(system_.PermissionSet, tables.header.permission_set, 4);
    message_.coreHeader.tqSessionDate = system_.tqDate;
}

int32_t Run::run_day(bool resumed) {
    CurrentRunScope scope(this);
    strings_ready_ = true;  // from the initialising status on
    int32_t answer = deliver_status(TARVIKSTATUS_INITIALIZING, 0);
    if (answer == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
    restart_ = answer == TqCALLBACKRETURN_RESTART;
    if (resumed && !restart_) {
        answer = deliver_status(TARVIKSTATUS_LOADED_STATE, 0);
        if (answer == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
        restart_ = answer == TqCALLBACKRETURN_RESTART;
    }
    for (;;) {
        if (restart_) {
            resumed = false;
            if (int32_t r = restart_day()) return r;
            if (restart_) continue;
        }
        const int32_t result = resumed ? replay_events() : replay();
        resumed = false;
        if (result != kRestartRequested) {
            saves_.flush();
            return result;
        }
        restart_ = true;
    }
}

// The day from its start again, with a fresh state: 0 (restart_ set again
// when the client asks for yet another restart), or the code to return.
int32_t Run::restart_day() {
    restart_ = false;
    resume_index_ = 0;
    saves_.drop_scheduled();
    book_.reset(source_.tables());
    source_.rewind();
    const int32_t answer = deliver_status(TARVIKSTATUS_RESTARTING_TAPE, 0);
    if (answer == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
    restart_ = answer == TqCALLBACKRETURN_RESTART;
    return 0;
}

int32_t Run::announce_symbols() {
    const TapeTables& tables = source_.tables();
    system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    for (std::size_t i = 0; i < directory_.size(); ++i) {
        if (directory_[static_cast<uint32_t>(i)].skipped) continue;
        set_header(static_cast<uint32_t>(i), 0, tables.symbols[i].session, 0);
        message_.MessageType = TqMSG_SYMBOLCHANGE;
        message_.ptarvik3Ext = nullptr;
        std::memset(&message_.coreData, 0, sizeof message_.coreData);
        message_.coreData.SymbolChange.Status = TqSS_ADD;
        message_.coreData.SymbolChange.StatusChar = 'A';
        const int32_t answer = call();
        if (answer == TqCALLBACKRETURN_STOP || answer == TqCALLBACKRETURN_RESTART) return answer;
        system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    }
    return TqCALLBACKRETURN_CONTINUE;
}

int32_t Run::replay() {
    if (int32_t r = settle(deliver_status(TARVIKSTATUS_TAPEOPEN, 0))) return r;
    if (int32_t r = settle(announce_symbols())) return r;
    if (int32_t r = settle(deliver_status(TARVIKSTATUS_RUNNING, 0))) return r;
    return replay_events();
}

int32_t Run::replay_events() {
    EventBlock block;
    for (;;) {
        if (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) return TqAPIERR_USER_STOPPED;
        const std::size_t block_start = source_.position();
        const int32_t got = source_.next_block(block);
        if (got == 0) break;
        if (got == LiveTape::kStillWaiting) {
            // The live tape has nothing new yet: the client hears so before
            // the engine blocks, and again every little while it waits (a
            // client may release its interpreter meanwhile and take it back
            // at the next message).
            if (int32_t r = settle(deliver_status(TARVIKSTATUS_WAITFORCOREACCESS, TqCSRUNMODE_SRC_DISK_FILE))) return r;
            continue;
        }
        if (got < 0 || resume_index_ > block.count) {
            const int32_t code = got < 0 ? got : TqAPIERR_EXCEPTION;
            if (settle(deliver_status(TARVIKSTATUS_ERROR, code)) == TqAPIERR_USER_STOPPED) return TqAPIERR_USER_STOPPED;
            return code;
        }
        if (int32_t r = replay_block(block, block_start)) return r;
    }
    return end_of_events();
}

// The end of the events is the last safe point before the day completes.
int32_t Run::end_of_events() {
    const std::size_t end = source_.position();
    if (int32_t r = saves_.finish(*this, end)) return r;
    if (int32_t r = settle(deliver_status(TARVIKSTATUS_COMPLETE, 0))) return r;
    return saves_.finish(*this, end);
}

int32_t Run::tape_name(char* buffer, int32_t size) const {
    if (buffer == nullptr || size <= 0) return TqAPIERR_BAD_PARAMETERS;
    const std::string& path = source_.path();
    const std::size_t n = std::min(path.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}

}  // namespace tarvik::engine
