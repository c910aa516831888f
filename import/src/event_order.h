// Putting events in order. An input in time order is read batch by batch;
// an input out of order (with --sort) is sorted in runs of bounded size
// that go to temporary files, then merged. The inputs are merged last.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "staged_event.h"

namespace tarvik::import {

// The events of one input, in order.
class EventStream {
public:
    virtual ~EventStream() = default;
    // The next event, or null at the end; valid until pop().
    virtual const StagedEvent* peek() = 0;
    virtual void pop() = 0;
};

// Events handed over a batch at a time by `fill`, which replaces the
// vector's events with the next batch (swapping it with its own, so that
// the storage and size of the batch done go back to be filled again) and
// answers false at the end.
class BatchedStream : public EventStream {
public:
    explicit BatchedStream(std::function<bool(std::vector<StagedEvent>&)> fill) : fill_(std::move(fill)) {}
    const StagedEvent* peek() override;
    void pop() override { ++at_; }

private:
    std::function<bool(std::vector<StagedEvent>&)> fill_;
    std::vector<StagedEvent> events_;
    std::size_t at_ = 0;
    bool done_ = false;
};

// Sorts events in runs of `run_events`, spilled one after another to one
// unnamed temporary file of the input's (however many runs, one file
// handle: a month of inputs sorted at once stays far below the process's
// limit), and merges the runs. Runs are merged by levels: kFanIn runs of
// one level make one of the next, so each event is written a few times
// (once below 32 M events, twice up to 2 G), not once for every merge.
class SortedStream : public EventStream {
public:
    // `progress` is called now and then while runs are merged into one;
    // what it throws ends the sort.
    SortedStream(std::string temp_dir, std::size_t run_events, std::function<void()> progress = {});
    ~SortedStream() override;
    SortedStream(const SortedStream&) = delete;
    SortedStream& operator=(const SortedStream&) = delete;
    void add(const StagedEvent& event);
    // Ends the input: from now on the stream gives the events in order.
    void finish();
    const StagedEvent* peek() override;
    void pop() override;

private:
    // A sorted stretch of the run file, read a buffer at a time.
    struct Run {
        uint64_t offset = 0;  // bytes into the run file
        uint64_t events = 0;
        uint64_t read = 0;    // events read into the buffer so far
        int level = 0;
        std::vector<StagedEvent> buffer;
        std::size_t at = 0;
    };
    void spill();
    void merge_level(int level);
    void start_merge(std::vector<Run*> runs);
    const StagedEvent* head(Run& run);
    uint64_t append(const StagedEvent* events, std::size_t count);

    std::string temp_dir_;
    std::size_t run_events_;
    std::function<void()> progress_;
    std::vector<StagedEvent> pending_;
    int fd_ = -1;           // the run file, made at the first spill
    uint64_t end_ = 0;      // its length
    std::vector<std::unique_ptr<Run>> runs_;
    std::vector<Run*> heap_;
};

// The events of several streams in order (staged_before).
class MergedStream {
public:
    explicit MergedStream(std::vector<std::unique_ptr<EventStream>> inputs) : inputs_(std::move(inputs)) {}
    const StagedEvent* next();  // null at the end

private:
    std::vector<std::unique_ptr<EventStream>> inputs_;
    EventStream* last_ = nullptr;
};

}  // namespace tarvik::import
