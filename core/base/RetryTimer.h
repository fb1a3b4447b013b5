#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

class QTimer;

namespace ebbcast {

// Runs a callback once after a delay unless it is cancelled first: the single-shot timer of every scheduled
// retry. Callbacks run on the timer's thread; a cancelled or fired retry's id is forgotten. Tests inject one
// that fires on a manual clock.
class RetryTimer {
public:
    using Id = quint64;

    virtual ~RetryTimer() = default;

    virtual Id start(std::chrono::milliseconds delay, std::function<void()> fire) = 0;
    // Does nothing for an id that fired or was cancelled.
    virtual void cancel(Id id) = 0;
};

// Precise QTimers on the event loop of the thread it lives on. Destroying it cancels every retry.
class QtRetryTimer final : public RetryTimer {
public:
    QtRetryTimer();
    ~QtRetryTimer() override;

    Id start(std::chrono::milliseconds delay, std::function<void()> fire) override;
    void cancel(Id id) override;

private:
    struct Entry;
    std::map<Id, std::unique_ptr<Entry>> entries_;
    Id nextID_ = 1;
    QObject context_;
};

} // namespace ebbcast
