#include "SerialQueue.h"

#include <pthread.h>

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

void SerialQueue::run()
{
    // Linux limits thread names to 15 bytes; the full label stays available through label().
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return; // stopping, and everything queued has run
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

} // namespace ebbcast
