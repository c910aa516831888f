#include "event_order.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "import_error.h"
#include "temp_file.h"

namespace tarvik::import {
namespace {

constexpr std::size_t kRunReadEvents = 512;  // 52 KB a run while merging
constexpr std::size_t kMaxRuns = 64;         // then the runs are merged into one

[[noreturn]] void run_file_failed(const std::string& dir, const char* doing) {
    throw ImportError("--sort: cannot " + std::string(doing) + " a temporary file in " + dir + ": " +
                      std::strerror(errno));
}

std::FILE* run_file(const std::string& dir) {
    const int fd = unnamed_temp_file(dir, "--sort");
    std::FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        ::close(fd);
        run_file_failed(dir, "open");
    }
    return file;
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

SortedStream::Run::~Run() {
    if (file != nullptr) std::fclose(file);
}

void SortedStream::add(const StagedEvent& event) {
    pending_.push_back(event);
    if (pending_.size() >= run_events_) spill();
}

void SortedStream::spill() {
    if (pending_.empty()) return;
    std::stable_sort(pending_.begin(), pending_.end(), staged_before);
    auto run = std::make_unique<Run>();
    run->file = run_file(temp_dir_);
    if (std::fwrite(pending_.data(), sizeof(StagedEvent), pending_.size(), run->file) != pending_.size() ||
        std::fflush(run->file) != 0)
        run_file_failed(temp_dir_, "write");
    std::rewind(run->file);
    pending_.clear();
    runs_.push_back(std::move(run));
    if (runs_.size() >= kMaxRuns) compact();
}

void SortedStream::compact() {
    // Merges every run into one, so that the runs (their buffers and file
    // handles) stay few however long the input.
    auto merged = std::make_unique<Run>();
    merged->file = run_file(temp_dir_);
    start_merge();
    std::vector<StagedEvent> out;
    out.reserve(kRunReadEvents);
    uint64_t merged_events = 0;
    while (const StagedEvent* e = peek()) {
        if (++merged_events % 65536 == 0 && progress_) progress_();
        out.push_back(*e);
        pop();
        if (out.size() == kRunReadEvents || peek() == nullptr) {
            if (std::fwrite(out.data(), sizeof(StagedEvent), out.size(), merged->file) != out.size())
                run_file_failed(temp_dir_, "write");
            out.clear();
        }
    }
    if (std::fflush(merged->file) != 0) run_file_failed(temp_dir_, "write");
    std::rewind(merged->file);
    runs_.clear();
    heap_.clear();
    runs_.push_back(std::move(merged));
}

void SortedStream::start_merge() {
    heap_.clear();
    for (auto& run : runs_)
        if (run->head() != nullptr) heap_.push_back(run.get());
    auto later = [](Run* a, Run* b) { return staged_before(*b->head(), *a->head()); };
    std::make_heap(heap_.begin(), heap_.end(), later);
}

const StagedEvent* SortedStream::Run::head() {
    if (at < buffer.size()) return &buffer[at];
    if (done) return nullptr;
    buffer.resize(kRunReadEvents);
    const std::size_t n = std::fread(buffer.data(), sizeof(StagedEvent), kRunReadEvents, file);
    if (n < kRunReadEvents && std::ferror(file)) throw ImportError("--sort: cannot read a temporary file");
    buffer.resize(n);
    at = 0;
    if (n == 0) {
        done = true;
        return nullptr;
    }
    return &buffer[0];
}

void SortedStream::finish() {
    spill();
    pending_ = std::vector<StagedEvent>();  // give the memory back before merging
    start_merge();
}

const StagedEvent* SortedStream::peek() { return heap_.empty() ? nullptr : heap_.front()->head(); }

void SortedStream::pop() {
    auto later = [](Run* a, Run* b) { return staged_before(*b->head(), *a->head()); };
    std::pop_heap(heap_.begin(), heap_.end(), later);
    Run* run = heap_.back();
    ++run->at;
    if (run->head() == nullptr) heap_.pop_back();
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
