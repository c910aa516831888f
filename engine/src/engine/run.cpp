#include "engine/run.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include "engine/engine_constants.h"
#include "engine/crc32.h"
#include "engine/dates.h"
#include "engine/prices.h"
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

constexpr const char* kStatusDisplay[kStatusCount] = {
    "Running",     "Initializing",  "Complete",    "Synchronizing", "Error",    "Waiting for core access",
    "Restarting tape", "Loaded state", "Saving state", "Symbol spin",  "Tape open",
};

const char* status_display(int32_t status) {
    return status >= 0 && status < kStatusCount ? kStatusDisplay[status] : "Unknown status";
}

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
constexpr uint64_t kMillionths = 1'000'000;

}  // namespace

Run::Run(int32_t control_flags, int32_t user_data, TarvikMessageCallback callback)
    : control_flags_(control_flags), callback_(callback), excluded_permissions_(65536, 0) {
    system_.UserData = user_data;
    system_.DLLVersion = kEngineVersion;
    system_.ThreadInstance = static_cast<int64_t>(reinterpret_cast<intptr_t>(this));
    skip_kind_[TqMSG_EXGQUOTE] = (control_flags & TqCF_EXCLUDE_QUOTES) != 0;
    skip_kind_[TqMSG_MMQUOTE] = (control_flags & TqCF_EXCLUDE_QUOTES2) != 0;
    filtering_ = (control_flags & (TqCF_EXCLUDE_QUOTES | TqCF_EXCLUDE_QUOTES2 | TqCF_EXCLUDE_OPRA)) != 0;
}

Run* Run::current() { return t_current_run; }

int32_t Run::process_file(const char* path) {
    if (path == nullptr || callback_ == nullptr) return TqAPIERR_BAD_PARAMETERS;
    if (path[0] == '\0') return process_live();
    if (int32_t result = bytes_.map_file(path)) return result;
    if (is_snapshot(bytes_.data(), bytes_.size())) return process_snapshot();
    char resolved[PATH_MAX];
    tape_path_ = ::realpath(path, resolved) != nullptr ? resolved : path;
    return process(bytes_.data(), bytes_.size());
}

int32_t Run::process_memory(const unsigned char* data, std::size_t size) {
    if (data == nullptr || callback_ == nullptr) return TqAPIERR_BAD_PARAMETERS;
    return process(data, size);
}

int32_t Run::process(const unsigned char* data, std::size_t size) {
    const bool check_crc = (control_flags_ & TqCF_EXCLUDE_CRC_CHECK) == 0;
    if (int32_t result = reader_.open(data, size, check_crc, tables_)) return result;
    start_day();
    return run_day(false);
}

int32_t Run::process_live() {
    const char* path = std::getenv("TARVIK_REALTIME_TAPE");
    if (path == nullptr || path[0] == '\0') return TqAPIERR_OPEN_TAPE_FILE_FAILED;
    std::chrono::milliseconds idle_limit;
    if (!parse_idle_limit(std::getenv("TARVIK_REALTIME_IDLE_MS"), kLiveIdle, idle_limit))
        return TqAPIERR_BAD_PARAMETERS;
    live_ = std::make_unique<LiveTape>();
    const bool check_crc = (control_flags_ & TqCF_EXCLUDE_CRC_CHECK) == 0;
    if (int32_t result = live_->open(path, idle_limit, check_crc, reader_, tables_)) return result;
    tape_path_.clear();  // the real-time stream has no tape name
    start_day();
    return run_day(false);
}

// A snapshot names its tape: the tape is mapped and checked against it,
// the saved state replaces the fresh one, and the day goes on from the
// saved position. A snapshot is a file people keep and pass on, so every
// reference it makes into the tape is checked before the first callback.
int32_t Run::process_snapshot() {
    constexpr int32_t kDamaged = TqAPIERR_NOT_SUPPORTED;
    constexpr int32_t kOtherTape = TqAPIERR_INITIALIZE_MEMORY_FAILED;
    StateSnapshot snapshot;
    if (int32_t result = decode_snapshot(bytes_.data(), bytes_.size(), snapshot)) return result;
    bytes_.unmap();
    if (int32_t result = bytes_.map_file(snapshot.tape.path.c_str())) return result;
    if (bytes_.size() != snapshot.tape.size) return kOtherTape;
    const bool check_crc = (control_flags_ & TqCF_EXCLUDE_CRC_CHECK) == 0;
    if (int32_t result = reader_.open(bytes_.data(), bytes_.size(), check_crc, tables_)) return result;
    if (crc32(bytes_.data(), reader_.first_block()) != snapshot.tape.tables_crc) return kOtherTape;
    if (int32_t result = check_resume_position(snapshot)) return result;
    const std::size_t position = snapshot.position;
    if (std::memcmp(bytes_.data() + position, &snapshot.tape.resume_head, sizeof(SectionHead)) != 0 ||
        snapshot.states.size() < tables_.symbols.size())
        return kOtherTape;
    if (check_snapshot_references(snapshot, tables_) != 0) return kDamaged;
    tape_path_ = snapshot.tape.path;
    start_day();

    std::size_t words = 0;
    for_each_string_record([&words](TqStringRecord*) { words += 2; });
    if (snapshot.user_data.size() != words) return kOtherTape;
    states_.assign(snapshot.states.begin(), snapshot.states.end());
    session_states_.clear();
    for (const auto& [key, state] : snapshot.session_states) session_states_.emplace(key, state);
    mm_books_ = std::move(snapshot.mm_books);
    scratch_ = snapshot.scratch;
    last_time_ = snapshot.clock;
    clock_set_ = snapshot.clock_set;
    if (clock_set_) {
        system_.tqTime = last_time_;
        message_.coreHeader.tqExgTimestamp = last_time_;
    }
    std::size_t next = 0;
    for_each_string_record([&](TqStringRecord* record) {
        record->UserData1 = snapshot.user_data[next++];
        record->UserData2 = snapshot.user_data[next++];
    });
    reader_.seek(position);
    resume_index_ = snapshot.event_index;
    return run_day(true);
}

// The resume position must be where a section of this tape starts (as the
// walk over its section heads finds it, and as the snapshot numbered it),
// and the event index must fall inside that block, which must pass its
// checks now: a snapshot cannot make the engine read events at any offset.
int32_t Run::check_resume_position(const StateSnapshot& snapshot) const {
    constexpr int32_t kDamaged = TqAPIERR_NOT_SUPPORTED;
    uint32_t ordinal = 0;
    if (!reader_.section_ordinal(snapshot.position, ordinal)) return kDamaged;
    if (snapshot.section_ordinal != kNone && snapshot.section_ordinal != ordinal) return kDamaged;
    const std::size_t position = snapshot.position;
    SectionHead head;
    std::memcpy(&head, bytes_.data() + position, sizeof head);  // the walk found it whole
    if (head.kind == static_cast<uint32_t>(SectionKind::End)) return snapshot.event_index == 0 ? 0 : kDamaged;
    EventBlock block;
    std::size_t length = 0;
    BlockInflater inflater;  // a packed block is inflated to be checked
    if (reader_.read_block_at(bytes_.data() + position, bytes_.size() - position, block, length, inflater) != 1 ||
        snapshot.event_index >= block.count)
        return kDamaged;
    return 0;
}

void Run::start_day() {
    build_records();
    system_.tqDate.NDays = tables_.header.date_ndays;
    date_from_ndays(system_.tqDate);
    system_.tqTime = time_from_micros(0, tables_.header.time_zone);
    last_time_ = system_.tqTime;
    system_.TapeDisplay = tables_.header.display.c_str();
    system_.Module = library_base();
    std::memcpy(system_.PermissionSet, tables_.header.permission_set, 4);
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
            restart_ = false;
            resumed = false;
            resume_index_ = 0;
            reset_state();
            if (live_) live_->rewind();
            else reader_.rewind();
            answer = deliver_status(TARVIKSTATUS_RESTARTING_TAPE, 0);
            if (answer == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
            if (answer == TqCALLBACKRETURN_RESTART) {
                restart_ = true;
                continue;
            }
        }
        const int32_t result = resumed ? replay_events() : replay();
        resumed = false;
        if (result != kRestartRequested) {
            // A save whose image is taken goes to its file even when the run stops.
            if (save_.phase == SavePhase::Writing) save_.writer.write_piece(SIZE_MAX);
            return result;
        }
        restart_ = true;
    }
}

void Run::build_records() {
    const TapeTables& t = tables_;
    text_records_.resize(t.texts.size());
    for (std::size_t i = 0; i < t.texts.size(); ++i)
        text_records_[i] = arena_.make(t.texts[i], atom16(static_cast<uint32_t>(i + 1)));

    std::size_t max_fields = 1;
    category_records_.resize(t.categories.size());
    for (std::size_t i = 0; i < t.categories.size(); ++i) {
        category_records_[i] = arena_.make(t.texts[t.categories[i].name], t.categories[i].id);
        max_fields = std::max(max_fields, t.categories[i].fields.size());
    }
    category_fields_.assign(max_fields, TqCategoryFieldRecord{});

    defined_.assign(kStringTableCount, {});
    for (int table = kFirstStringTable; table <= kLastStringTable; ++table) {
        for (const std::string& s : t.defined[table]) defined_[table].push_back(s.c_str());
    }

    std::size_t option_count = 0;
    for (const SymbolEntry& e : t.symbols) option_count += e.is_option;
    options_.assign(option_count, TqOptionHdrRecord{});  // never resized: headers keep their address

    std::unordered_map<uint64_t, std::size_t> by_name;  // (text, listed exchange) -> first slot
    symbols_.assign(t.symbols.size(), SymbolSlot{});
    states_.assign(t.symbols.size(), SymbolState{});
    std::size_t next_option = 0;
    for (std::size_t i = 0; i < t.symbols.size(); ++i) {
        const SymbolEntry& e = t.symbols[i];
        SymbolSlot& slot = symbols_[i];
        const uint64_t key = (uint64_t{e.text} << 16) | e.listed_exg;
        auto [it, added] = by_name.try_emplace(key, i);
        if (added) {
            slot.record = arena_.make(t.texts[e.text], atom16(e.atom));
            slot.record_atom = e.atom;
        } else {
            slot.record = symbols_[it->second].record;
            slot.record_atom = symbols_[it->second].record_atom;
        }
        slot.listed_exg = e.listed_exg;
        slot.session = e.session;
        slot.skipped = e.is_option && (control_flags_ & TqCF_EXCLUDE_OPRA) != 0;
        states_[i].prev_close = e.prev_close;
        states_[i].price_type = e.price_type;
        if (!e.is_option) {
            record_symbols_.try_emplace(slot.record, static_cast<uint32_t>(i));
            continue;
        }
        const OptionContract& o = e.option;
        TqOptionHdrRecord& h = options_[next_option++];
        h.ptqsDateAndStrike = arena_.make(std::string_view(o.date_and_strike, 2), atom16(e.atom));
        h.ptqsUnderlying = o.underlying != kNone ? text_records_[o.underlying] : nullptr;
        h.ptqsSeriesChain = o.series_chain != kNone ? text_records_[o.series_chain] : nullptr;
        h.ptqsSpecialSettle = o.special_settle != kNone ? text_records_[o.special_settle] : nullptr;
        h.exgUnderlying = o.exg_underlying;
        h.contractUnit = o.contract_unit;
        h.strikePrice = o.strike;
        h.strikePriceEst = o.strike_est;
        h.PutCall = o.put_call;
        h.expirationCycle = o.expiration_cycle;
        h.oicStrikeAge = o.strike_age;
        h.tqStrikeMatch = o.strike_match;
        h.tqExpirationDate.NDays = o.expiration_ndays;
        date_from_ndays(h.tqExpirationDate);
        slot.option = &h;
        record_symbols_[h.ptqsDateAndStrike] = static_cast<uint32_t>(i);
    }
}

void Run::reset_state() {
    const std::size_t n = tables_.symbols.size();
    states_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        states_[i] = SymbolState{};
        states_[i].prev_close = tables_.symbols[i].prev_close;
        states_[i].price_type = tables_.symbols[i].price_type;
    }
    session_states_.clear();
    mm_books_.clear();
    // Messages that name no symbol keep their quotes here, and its market
    // maker book was among those just cleared.
    scratch_ = SymbolState{};
}

SymbolState& Run::other_session_state(uint32_t symbol, uint8_t session) {
    const uint64_t key = (uint64_t{symbol} << 8) | session;
    auto it = session_states_.find(key);
    if (it != session_states_.end()) return states_[it->second];
    SymbolState fresh;
    fresh.prev_close = tables_.symbols[symbol].prev_close;
    fresh.price_type = tables_.symbols[symbol].price_type;
    states_.push_back(fresh);
    session_states_.emplace(key, static_cast<uint32_t>(states_.size() - 1));
    return states_.back();
}

void Run::set_clock(uint64_t micros) {
    const uint32_t ms = static_cast<uint32_t>(micros / 1000);
    if (clock_set_ && ms == last_time_.MsOfDay) {
        system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
        return;
    }
    // Most messages move the clock within the second: only the milliseconds
    // change, and the full conversion is not needed.
    const uint32_t second_start = last_time_.MsOfDay - last_time_.Millisecond;
    // The two records hold last_time_ already, so only those two fields are
    // written (copying the record out of last_time_ right after changing
    // them in place would also wait on those narrow stores).
    if (clock_set_ && ms >= second_start && ms - second_start < 1000) {
        const auto millisecond = static_cast<uint16_t>(ms - second_start);
        last_time_.MsOfDay = ms;
        last_time_.Millisecond = millisecond;
        system_.ClockUpdateInterval = TqCLOCK_CLOCK;
        system_.tqTime.MsOfDay = ms;
        system_.tqTime.Millisecond = millisecond;
        message_.coreHeader.tqExgTimestamp.MsOfDay = ms;
        message_.coreHeader.tqExgTimestamp.Millisecond = millisecond;
        return;
    }
    const TqTimeRecord now = time_from_micros(micros, tables_.header.time_zone);
    int32_t interval = TqCLOCK_CLOCK;
    if (!clock_set_ || now.Hour != last_time_.Hour) {
        interval = TqCLOCK_HOUR;
    } else if (now.Minute != last_time_.Minute) {
        interval = TqCLOCK_MINUTE;
    } else if (now.Second != last_time_.Second) {
        interval = TqCLOCK_SECOND;
    }
    clock_set_ = true;
    system_.ClockUpdateInterval = interval;
    system_.tqTime = now;
    last_time_ = now;
    message_.coreHeader.tqExgTimestamp = now;
}

void Run::set_header(uint32_t symbol, uint16_t reporting_exg, uint8_t session, uint16_t permission_id) {
    TarvikHeaderRecord& h = message_.coreHeader;
    if (symbol == kNone) {
        h.ptqStringSymbol = nullptr;
        h.ptqOptionHdr = nullptr;
        h.ListedExg = 0;
        current_atom_ = 0;
    } else {
        const SymbolSlot& slot = symbols_[symbol];
        h.ptqStringSymbol = slot.record;
        h.ptqOptionHdr = slot.option;
        h.ListedExg = slot.listed_exg;
        current_atom_ = slot.record_atom;
    }
    h.ReportingExg = reporting_exg;
    h.SessionID = session;
    h.alignment = 0;
    h.PermissionID = permission_id;
}

int32_t Run::call() { return callback_(&system_, &message_); }

int32_t Run::deliver_status(int32_t status, int32_t status_data) {
    if (!clock_set_) set_clock(0);
    else system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    set_header(kNone, 0, 0, 0);
    message_.MessageType = TqMSG_STATUS;
    message_.ptarvik3Ext = nullptr;
    std::memset(&message_.coreData, 0, sizeof message_.coreData);
    system_.Status = status;
    system_.StatusData = status_data;
    system_.StatusDisplay = status_display(status);
    const int32_t answer = call();
    system_.Status = TARVIKSTATUS_RUNNING;
    system_.StatusData = 0;
    system_.StatusDisplay = status_display(TARVIKSTATUS_RUNNING);
    return answer;
}

int32_t Run::announce_symbols() {
    const bool exclude_options = (control_flags_ & TqCF_EXCLUDE_OPRA) != 0;
    message_.MessageType = TqMSG_SYMBOLCHANGE;
    message_.ptarvik3Ext = nullptr;
    system_.ClockUpdateInterval = TqCLOCK_NOCHANGE;
    for (std::size_t i = 0; i < symbols_.size(); ++i) {
        if (exclude_options && symbols_[i].option != nullptr) continue;
        set_header(static_cast<uint32_t>(i), 0, tables_.symbols[i].session, 0);
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
        const std::size_t block_start = tape_position();
        const int32_t got = next_block(block);
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
        const uint32_t first = resume_index_;
        resume_index_ = 0;
        uint32_t next_ext = 0;
        for (uint32_t i = 0; i < first; ++i) next_ext += block.events[i].flags & kEventHasExt;
        const uint32_t count = block.count;
        for (uint32_t i = first; i < count; ++i) {
            // The state of a message a few ahead is fetched while this one
            // is delivered: symbols come in no order, so this hides misses.
            if (i + 2 * kPrefetchDistance < count) [[likely]] {
                prefetch_far(block.events[i + 2 * kPrefetchDistance]);
                prefetch_near(block.events[i + kPrefetchDistance]);
            } else if (i + kPrefetchDistance < count) {
                prefetch_near(block.events[i + kPrefetchDistance]);
            }
            if (save_.phase != SavePhase::Idle) {
                if (int32_t r = service_save(block_start, i)) return r;
            }
            const TapeEvent& e = block.events[i];
            const TapeExt* ext = (e.flags & kEventHasExt) ? &block.ext[next_ext++] : nullptr;
            if (filtering_ && skipped(e)) continue;
            const int32_t answer = deliver(e, ext);
            if (answer == TqCALLBACKRETURN_STOP) return TqAPIERR_USER_STOPPED;
            if (answer == TqCALLBACKRETURN_RESTART) return kRestartRequested;
        }
    }
    // The end of the events is the last safe point before the day completes.
    const std::size_t end = tape_position();
    if (int32_t r = finish_save(end)) return r;
    if (int32_t r = settle(deliver_status(TARVIKSTATUS_COMPLETE, 0))) return r;
    return finish_save(end);
}

bool Run::skipped(const TapeEvent& e) const {
    if (skip_kind_[e.kind] | excluded_permissions_[e.permission_id]) return true;
    if (e.symbol == kNone) return false;
    const SymbolSlot& slot = symbols_[e.symbol];
    return slot.skipped ||
           (slot.option != nullptr && !excluded_option_exgs_.empty() && excluded_option_exgs_[e.reporting_exg]);
}

// The byte ranges of a symbol's state each message kind reads or writes.
struct StateRange {
    uint32_t first;
    uint32_t last;
};
constexpr auto kStateLines = [] {
    std::array<StateRange, 256> lines{};
    constexpr uint32_t kBook = offsetof(SymbolState, quotes);
    constexpr uint32_t kSlots = kBook + offsetof(QuoteBook, slots);
    // A quote reads the price type, the book's head and the NBBO, and the
    // slots (all of them when the best must be found again): most books
    // hold eight exchanges or fewer.
    lines[TqMSG_EXGQUOTE] = {offsetof(SymbolState, price_type), kSlots + 8 * sizeof(ExgQuoteSlot)};
    lines[TqMSG_MMQUOTE] = {offsetof(SymbolState, price_type), offsetof(SymbolState, mm_book) + 4};
    lines[TqMSG_TRADE] = {0, offsetof(SymbolState, mm_book)};
    for (StateRange& r : lines) r.first &= ~63u;
    return lines;
}();

// The slot and the state of a symbol sit at its index, so both are asked
// for well ahead, without waiting on anything.
void Run::prefetch_far(const TapeEvent& e) const {
    if (e.symbol == kNone) return;
    __builtin_prefetch(&symbols_[e.symbol]);
    // Only the lines the message's kind will touch: at many instruments
    // every message waits on memory, and a line not needed takes a fill
    // buffer from one that is.
    const char* state = reinterpret_cast<const char*>(&states_[e.symbol]);
    const auto [first, last] = kStateLines[e.kind];
    for (uint32_t at = first; at < last; at += 64) __builtin_prefetch(state + at, 1);
}

// The slot, fetched earlier, names what else the message will touch: the
// string record and option header that the client reads.
void Run::prefetch_near(const TapeEvent& e) const {
    if (e.symbol == kNone) return;
    const SymbolSlot& slot = symbols_[e.symbol];
    __builtin_prefetch(slot.record, 1);
    // The client reads all of an option header, bytes 0 to 59: the lines of
    // its first and its last byte hold it wherever it lies. Without one the
    // slot's own line is fetched again, which costs nothing: options come
    // in no order, so a branch here would often be mispredicted.
    const char* option = slot.option != nullptr ? reinterpret_cast<const char*>(slot.option)
                                                : reinterpret_cast<const char*>(&slot);
    __builtin_prefetch(option);
    __builtin_prefetch(option + 59);
}

int32_t Run::deliver(const TapeEvent& e, const TapeExt* ext) {
    set_clock(e.micros);
    set_header(e.symbol, e.reporting_exg, e.session, e.permission_id);
    message_.MessageType = e.kind;
    TarvikMessageBody& body = message_.coreData;
    uint64_t fractional_total = 0;

    switch (e.kind) {
    case TqMSG_EXGQUOTE:
    case TqMSG_MMQUOTE: {
        SymbolState& st = e.symbol != kNone ? state_of(e.symbol, e.session) : scratch_;
        const QuoteEventBody& q = e.quote;
        QuoteInput in{q.bid, q.ask, q.bid_size, q.ask_size, e.reporting_exg, q.quote_condition, q.nasdaq_bid_tick,
                      e.micros};
        if (e.price_type != st.price_type) {
            in.bid = price_convert(q.bid, e.price_type, st.price_type);
            in.ask = price_convert(q.ask, e.price_type, st.price_type);
        }
        TarvikQuoteRecord& core = body.ExgQuote.coreQuote;  // same place in both quote bodies
        core.AskSize = in.ask_size;
        core.BidSize = in.bid_size;
        core.AskPrice = in.ask;
        core.BidPrice = in.bid;
        core.PriceType = st.price_type;
        core.Refresh = q.refresh;
        core.QuoteCondition = q.quote_condition;
        core.NasdaqBidTick = q.nasdaq_bid_tick;
        if (e.kind == TqMSG_EXGQUOTE) {
            body.ExgQuote.reserved = 0;
            apply_exg_quote(st.quotes, in, body.ExgQuote);
            body.ExgQuote.ClosingQuoteFlag = q.closing_quote;
        } else {
            if (st.mm_book == kNone) {
                st.mm_book = static_cast<uint32_t>(mm_books_.size());
                mm_books_.emplace_back();
            }
            body.MMQuote.reserved = 0;
            apply_mm_quote(mm_books_[st.mm_book], in, e.market_maker, q.market_maker_type, q.quote_type, core);
            body.MMQuote.ptqStringMarketMaker = e.market_maker != kNone ? text_records_[e.market_maker] : nullptr;
            body.MMQuote.MarketMakerType = q.market_maker_type;
            body.MMQuote.QuoteType = q.quote_type;
        }
        break;
    }
    case TqMSG_TRADE: {
        SymbolState& st = e.symbol != kNone ? state_of(e.symbol, e.session) : scratch_;
        const TradeEventBody& t = e.trade;
        TarvikTradeBody& out = body.Trade;
        const int32_t price = e.price_type != st.price_type ? price_convert(t.price, e.price_type, st.price_type)
                                                              : t.price;
        out.Price = price;
        out.PriceType = st.price_type;
        out.TradeCondition = t.trade_condition;
        out.ConditionFlags = t.condition_flags;
        out.VolumeType = t.volume_type;
        out.BATECode = t.bate_code;
        out.reserved66 = 0;
        out.Size = t.size;
        out.ExgSequence = t.exg_sequence;
        out.RecordsBack = t.records_back;
        out.reserved78 = 0;
        std::memcpy(out.ExtTradeConditions, t.ext_conditions, 4);
        const TradeInput in{price,
                            t.size,
                            ext != nullptr ? ext->fractional_size : uint64_t{t.size} * kMillionths,
                            e.micros,
                            e.reporting_exg,
                            t.condition_flags,
                            t.volume_type,
                            t.price_flags};
        apply_trade(st, in, out);
        fractional_total = st.trade.fractional_total_volume;
        break;
    }
    case TqMSG_CATEGORY: {
        const CategoryDef& def = tables_.categories[e.category.category];
        const CategoryValue* values = tables_.category_values.data() + e.category.first_value;
        for (std::size_t f = 0; f < def.fields.size(); ++f) {
            const CategoryFieldDef& fd = def.fields[f];
            TqCategoryFieldRecord& r = category_fields_[f];
            r = TqCategoryFieldRecord{};
            r.FieldName = tables_.texts[fd.name].c_str();
            r.FieldInfo = fd.info != kNone ? tables_.texts[fd.info].c_str() : nullptr;
            r.Set = values[f].set;
            r.FieldType = fd.type;
            if (!r.Set) continue;
            uint32_t text;
            std::memcpy(&text, values[f].value, sizeof text);
            if (fd.type == TqCFT_STRINGZ) {
                r.value.StringZ = tables_.texts[text].c_str();
            } else if (fd.type == TqCFT_TqSTRING) {
                r.value.ptqString = text_records_[text];
            } else {
                std::memcpy(&r.value, values[f].value, sizeof values[f].value);
            }
        }
        body.Category.ptqStringCategory = category_records_[e.category.category];
        body.Category.ptqFields = category_fields_.data();
        body.Category.NFields = static_cast<uint16_t>(def.fields.size());
        break;
    }
    case TqMSG_SYMBOLCHANGE: {
        const SymbolChangeEventBody& c = e.symbol_change;
        TarvikSymbolChangeBody& out = body.SymbolChange;
        std::memset(&body, 0, sizeof body);
        out.Status = c.status;
        out.StatusChar = c.status <= TqSS_MOD ? "ADM"[c.status] : '?';
        if (c.old_symbol != kNone) {
            out.ptqsSymbolOld = symbols_[c.old_symbol].record;
            out.ptqOptionHdrOld = symbols_[c.old_symbol].option;
        }
        out.ListedExgOld = c.old_listed_exg;
        break;
    }
    case TqMSG_STATUS: {
        std::memset(&body, 0, sizeof body);
        message_.ptarvik3Ext = nullptr;
        system_.Status = e.status.status;
        system_.StatusData = e.status.status_data;
        system_.StatusDisplay = status_display(e.status.status);
        const int32_t answer = call();
        system_.Status = TARVIKSTATUS_RUNNING;
        system_.StatusData = 0;
        system_.StatusDisplay = status_display(TARVIKSTATUS_RUNNING);
        return answer;
    }
    default:  // symbol spins and kinds this engine does not know carry no body
        std::memset(&body, 0, sizeof body);
        break;
    }

    if (ext != nullptr) {
        ext_.MicrosOfDaySRC = ext->micros_src;
        ext_.MicrosOfDayPTP1 = ext->micros_ptp1;
        ext_.MicrosOfDayPTP2 = ext->micros_ptp2;
        ext_.FractionalSize = e.kind == TqMSG_TRADE ? ext->fractional_size : 0;
        ext_.FractionalTotalVolume = fractional_total;
        message_.ptarvik3Ext = &ext_;
    } else {
        message_.ptarvik3Ext = nullptr;
    }
    return call();
}

int32_t Run::check_exclusion_key(int32_t key) {
    if (key & TqPERMID_REMOVE) return (key & ~(TqPERMID_REMOVE | 0xFFFF)) == 0 ? 0 : TqAPIERR_BAD_PARAMETERS;
    return key >= 0 && key <= 0xFFFF ? 0 : TqAPIERR_BAD_PARAMETERS;
}

int32_t Run::exclude(int32_t key) {
    if (int32_t result = check_exclusion_key(key)) return result;
    filtering_ = true;
    if (key & TqPERMID_REMOVE) {
        excluded_permissions_[key & 0xFFFF] = 1;
    } else {
        if (excluded_option_exgs_.empty()) excluded_option_exgs_.assign(65536, 0);
        excluded_option_exgs_[key] = 1;
    }
    return 0;
}

const SymbolState* Run::state_for_record(const TqStringRecord* record) const {
    auto it = record_symbols_.find(record);
    if (it == record_symbols_.end()) return nullptr;
    return &states_[it->second];
}

int32_t Run::get_exg_quotes(TarvikStateExgQuotesRecord* out, const TqStringRecord* symbol) const {
    const SymbolState* st = state_for_record(symbol);
    if (out == nullptr || st == nullptr) return TqAPIERR_BAD_PARAMETERS;
    if (st->quotes.count == 0) return TqAPIERR_NODATATYPE_FOR_SESSION;
    fill_exg_quotes_record(*st, *out);
    return 0;
}

int32_t Run::get_mm_quotes(uint16_t reporting_exg, TarvikStateMMQuotesRecord* out,
                           const TqStringRecord* symbol) const {
    const SymbolState* st = state_for_record(symbol);
    if (out == nullptr || st == nullptr) return TqAPIERR_BAD_PARAMETERS;
    if (st->mm_book == kNone) return TqAPIERR_NODATATYPE_FOR_SESSION;
    const MMBook& book = mm_books_[st->mm_book];
    uint16_t count = 0;
    for (const MMQuoteSlot& s : book.slots) {
        if (reporting_exg != kAllExchanges && s.exg != reporting_exg) continue;
        TarvikStateMMQuoteRecord& r = out->StateMMQuotes[count++];
        r = TarvikStateMMQuoteRecord{};
        r.AskPrice = s.ask;
        r.BidPrice = s.bid;
        r.AskSize = s.ask_size;
        r.BidSize = s.bid_size;
        r.ptqStringMarketMaker = text_records_[s.market_maker];
        r.MarketMakerType = s.market_maker_type;
        r.QuoteType = s.quote_type;
    }
    if (count == 0) return TqAPIERR_NODATA_FOR_REPEXG;
    for (int i = count; i < kStateMMQuoteCapacity; ++i) out->StateMMQuotes[i] = TarvikStateMMQuoteRecord{};
    out->StateQuoteCount = count;
    out->PriceType = st->price_type;
    out->NasdaqBidTick = book.nasdaq_bid_tick;
    out->unused = 0;
    return 0;
}

int32_t Run::get_last_trade(TarvikStateTradeRecord* out, const TqStringRecord* symbol) const {
    const SymbolState* st = state_for_record(symbol);
    if (out == nullptr || st == nullptr) return TqAPIERR_BAD_PARAMETERS;
    if (st->trade.trades == 0) return TqAPIERR_NODATATYPE_FOR_SESSION;
    fill_trade_record(*st, *out);
    return 0;
}

const char* Run::defined_string(int32_t table, int32_t index) const {
    if (!strings_ready_ || table < kFirstStringTable || table > kLastStringTable || index < 0) return nullptr;
    const std::vector<const char*>& strings = defined_[table];
    return static_cast<std::size_t>(index) < strings.size() ? strings[index] : nullptr;
}

int32_t Run::tape_name(char* buffer, int32_t size) const {
    if (buffer == nullptr || size <= 0) return TqAPIERR_BAD_PARAMETERS;
    const std::size_t n = std::min(tape_path_.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, tape_path_.data(), n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}

}  // namespace tarvik::engine
