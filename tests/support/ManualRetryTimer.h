#pragma once

#include "core/base/RetryTimer.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace ebbcast::test {

// Retries that fire only when the test moves its clock: fireNext() jumps to the earliest due retry and runs
// it, so delays of seconds take no time. Remembers every delay it was asked for. Not thread-safe.
class ManualRetryTimer final : public RetryTimer {
public:
    Id start(std::chrono::milliseconds delay, std::function<void()> fire) override
    {
        const Id id = nextID_++;
        scheduled_.push_back({id, now_ + delay, std::move(fire)});
        requestedDelays_.push_back(delay);
        return id;
    }

    void cancel(Id id) override
    {
        const auto found = std::find_if(scheduled_.begin(), scheduled_.end(),
                                        [id](const Scheduled& entry) { return entry.id == id; });
        if (found == scheduled_.end())
            return;
        scheduled_.erase(found);
        ++cancelled_;
    }

    // Fires the earliest retry (the first scheduled among equals); false when none is scheduled.
    bool fireNext()
    {
        if (scheduled_.empty())
            return false;
        const auto earliest =
            std::min_element(scheduled_.begin(), scheduled_.end(),
                             [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });
        Scheduled entry = std::move(*earliest);
        scheduled_.erase(earliest);
        now_ = std::max(now_, entry.due);
        entry.fire();
        return true;
    }

    std::size_t pendingCount() const { return scheduled_.size(); }
    int cancelledCount() const { return cancelled_; }
    std::chrono::milliseconds now() const { return now_; }
    const std::vector<std::chrono::milliseconds>& requestedDelays() const { return requestedDelays_; }

private:
    struct Scheduled {
        Id id;
        std::chrono::milliseconds due;
        std::function<void()> fire;
    };

    std::vector<Scheduled> scheduled_;
    std::vector<std::chrono::milliseconds> requestedDelays_;
    std::chrono::milliseconds now_{0};
    Id nextID_ = 1;
    int cancelled_ = 0;
};

} // namespace ebbcast::test
