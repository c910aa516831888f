#include "event_order.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "import_error.h"
#include "temp_file.h"

namespace tarvik::import {
namespace {

constexpr std::size_t kRunReadEvents = 512;  // 52 KB a run while merging
constexpr std::size_t kFanIn = 64;           // runs of a level merged into one of the next

[[noreturn]] void run_file_failed(const std::string& dir, const char* doing) {
    throw ImportError("--sort: cannot " + std::string(doing) + " a temporary file in " + dir + ": " +
                      std::strerror(errno));
}

}  // namespace

const StagedEvent* BatchedStream::peek() {
    while (at_ >= events_.size()) {
        if (done_) return nullptr;
        at_ = 0;
        if (!fill_(events_)) {
            done_ = true;
            events_.clear();
        }
    }
    return &events_[at_];
}

SortedStream::SortedStream(std::string temp_dir, std::size_t run_events, std::function<void()> progress)
    : temp_dir_(std::move(temp_dir)), run_events_(run_events), progress_(std::move(progress)) {
    pending_.reserve(run_events_);
}

SortedStream::~SortedStream() {
    if (fd_ >= 0) ::close(fd_);
}

void SortedStream::add(const StagedEvent& event) {
    pending_.push_back(event);
    if (pending_.size() >= run_events_) spill();
}

uint64_t SortedStream::append(const StagedEvent* events, std::size_t count) {
    if (fd_ < 0) fd_ = unnamed_temp_file(temp_dir_, "--sort");
    const uint64_t at = end_;
    const auto* bytes = reinterpret_cast<const char*>(events);
    std::size_t left = count * sizeof(StagedEvent);
    while (left > 0) {
        const ssize_t put = ::pwrite(fd_, bytes, left, static_cast<off_t>(end_));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) run_file_failed(temp_dir_, "write");
        bytes += put;
        left -= static_cast<std::size_t>(put);
        end_ += static_cast<uint64_t>(put);
    }
    return at;
}

void SortedStream::spill() {
    if (pending_.empty()) return;
    std::stable_sort(pending_.begin(), pending_.end(), staged_before);
    auto run = std::make_unique<Run>();
    run->events = pending_.size();
    run->offset = append(pending_.data(), pending_.size());
    pending_.clear();
    runs_.push_back(std::move(run));
    // A level full makes one run of the next, which may fill that one.
    for (int level = 0;; ++level) {
        std::size_t at_level = 0;
        for (const auto& r : runs_) at_level += r->level == level;
        if (at_level < kFanIn) break;
        merge_level(level);
    }
}

void SortedStream::merge_level(int level) {
    std::vector<Run*> merged_runs;
    for (const auto& r : runs_)
        if (r->level == level) merged_runs.push_back(r.get());
    start_merge(merged_runs);
    auto merged = std::make_unique<Run>();
    merged->level = level + 1;
    merged->offset = end_;
    std::vector<StagedEvent> out;
    out.reserve(kRunReadEvents);
    uint64_t merged_events = 0;
    while (const StagedEvent* e = peek()) {
        if (++merged_events % 65536 == 0 && progress_) progress_();
        out.push_back(*e);
        pop();
        if (out.size() == kRunReadEvents || peek() == nullptr) {
            append(out.data(), out.size());
            out.clear();
        }
    }
    merged->events = merged_events;
    // The merged runs' bytes are given back to the file system where it
    // can (a hole in the file); the file's offsets stay as they are.
    for (Run* r : merged_runs)
        ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(r->offset),
                    static_cast<off_t>(r->events * sizeof(StagedEvent)));
    std::erase_if(runs_, [level](const std::unique_ptr<Run>& r) { return r->level == level; });
    heap_.clear();
    runs_.push_back(std::move(merged));
}

void SortedStream::start_merge(std::vector<Run*> runs) {
    heap_.clear();
    for (Run* run : runs) {
        run->read = 0;
        run->at = 0;
        run->buffer.clear();
        if (head(*run) != nullptr) heap_.push_back(run);
    }
    std::make_heap(heap_.begin(), heap_.end(), [this](Run* a, Run* b) { return staged_before(*head(*b), *head(*a)); });
}

const StagedEvent* SortedStream::head(Run& run) {
    if (run.at < run.buffer.size()) return &run.buffer[run.at];
    const uint64_t left = run.events - run.read;
    if (left == 0) return nullptr;
    const std::size_t n = left < kRunReadEvents ? static_cast<std::size_t>(left) : kRunReadEvents;
    run.buffer.resize(n);
    auto* bytes = reinterpret_cast<char*>(run.buffer.data());
    std::size_t want = n * sizeof(StagedEvent);
    off_t from = static_cast<off_t>(run.offset + run.read * sizeof(StagedEvent));
    while (want > 0) {
        const ssize_t got = ::pread(fd_, bytes, want, from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw ImportError("--sort: cannot read a temporary file in " + temp_dir_ +
                                        (got < 0 ? std::string(": ") + std::strerror(errno) : std::string()));
        bytes += got;
        want -= static_cast<std::size_t>(got);
        from += got;
    }
    run.read += n;
    run.at = 0;
    return &run.buffer[0];
}

void SortedStream::finish() {
    spill();
    pending_ = std::vector<StagedEvent>();  // give the memory back before merging
    std::vector<Run*> all;
    for (const auto& r : runs_) all.push_back(r.get());
    start_merge(std::move(all));
}

const StagedEvent* SortedStream::peek() { return heap_.empty() ? nullptr : head(*heap_.front()); }

void SortedStream::pop() {
    const auto later = [this](Run* a, Run* b) { return staged_before(*head(*b), *head(*a)); };
    std::pop_heap(heap_.begin(), heap_.end(), later);
    Run* run = heap_.back();
    ++run->at;
    if (head(*run) == nullptr) heap_.pop_back();
    else std::push_heap(heap_.begin(), heap_.end(), later);
}

const StagedEvent* MergedStream::next() {
    if (last_ != nullptr) last_->pop();
    last_ = nullptr;
    const StagedEvent* best = nullptr;
    for (auto& input : inputs_) {
        const StagedEvent* e = input->peek();
        if (e != nullptr && (best == nullptr || staged_before(*e, *best))) {
            best = e;
            last_ = input.get();
        }
    }
    return best;
}

}  // namespace tarvik::import
