#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ebbcast {

// One named worker thread running jobs in the order they were queued.
// Thread-safe: async() and sync() may be called from any thread except the queue's own (sync() from a job
// would wait for itself). The destructor runs every job already queued, then joins the thread.
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

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ebbcast
