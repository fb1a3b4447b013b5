#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace ebbcast {

// One named worker thread running jobs in the order they were queued, and repeating timers whose jobs run on
// the same thread. Thread-safe: every member may be called from any thread, except sync() from one of the
// queue's own jobs (it would wait for itself). The destructor cancels the timers, runs every job already
// queued, then joins the thread.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const noexcept { return label_; }

    void async(std::function<void()> job);
    // Waits until every job queued before this call has run.
    void sync();

    using TimerID = std::uint64_t;
    // Runs `job` on the queue after `firstDelay`, then every `interval`, until cancelled. Deadlines follow
    // the schedule without leeway; a queue that falls behind skips the missed ticks instead of bunching them.
    TimerID scheduleRepeating(std::chrono::milliseconds firstDelay, std::chrono::milliseconds interval,
                              std::function<void()> job);
    // No tick starts after this returns; one already running may still be finishing (sync() waits for it).
    void cancelTimer(TimerID id);

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Timer {
        TimePoint deadline;
        std::chrono::milliseconds interval;
        std::function<void()> job;
    };

    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::map<TimerID, Timer> timers_;
    TimerID nextTimerID_ = 1;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ebbcast
