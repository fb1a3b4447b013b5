#include "core/base/SerialQueue.h"

#include <pthread.h>

#include <algorithm>
#include <future>

namespace ebbcast {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label))
    , thread_([this] { run(); })
{}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        timers_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void SerialQueue::async(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void SerialQueue::sync()
{
    std::promise<void> done;
    auto finished = done.get_future();
    async([&done] { done.set_value(); });
    finished.wait();
}

SerialQueue::TimerID SerialQueue::scheduleRepeating(std::chrono::milliseconds firstDelay,
                                                    std::chrono::milliseconds interval,
                                                    std::function<void()> job)
{
    TimerID id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextTimerID_++;
        // A zero interval would spin the queue; a millisecond is the shortest period on offer.
        const auto period = std::max(interval, std::chrono::milliseconds(1));
        timers_.emplace(id, Timer{std::chrono::steady_clock::now() + firstDelay, period, std::move(job)});
    }
    wake_.notify_one();
    return id;
}

void SerialQueue::cancelTimer(TimerID id)
{
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

void SerialQueue::run()
{
    // Linux limits thread names to 15 bytes; the full label stays available through label().
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                if (!jobs_.empty()) {
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                    break;
                }
                if (stopping_)
                    return; // everything queued has run; timers end with the queue
                if (timers_.empty()) {
                    wake_.wait(lock);
                    continue;
                }
                auto due = timers_.begin();
                for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                    if (it->second.deadline < due->second.deadline)
                        due = it;
                }
                const TimePoint now = std::chrono::steady_clock::now();
                if (due->second.deadline > now) {
                    // A copy: the wait reads its deadline again on waking, and cancelTimer() or the
                    // destructor may have removed the timer by then.
                    const TimePoint deadline = due->second.deadline;
                    wake_.wait_until(lock, deadline);
                    continue;
                }
                Timer& timer = due->second;
                job = timer.job;
                timer.deadline += timer.interval;
                if (timer.deadline <= now)
                    timer.deadline = now + timer.interval;
                break;
            }
        }
        job();
    }
}

} // namespace ebbcast
