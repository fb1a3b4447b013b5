#pragma once

#include "core/base/WallClock.h"

#include <QDateTime>

#include <cmath>
#include <mutex>

namespace ebbcast::test {

// A wall clock that moves only when the test says so. Safe to read from any thread.
class ManualClock {
public:
    explicit ManualClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC))
        : start_(std::move(start))
    {}

    // Steps smaller than a millisecond add up exactly; the date is rounded to the millisecond.
    QDateTime now() const
    {
        const std::lock_guard lock(mutex_);
        return start_.addMSecs(std::llround(elapsedSeconds_ * 1000.0));
    }

    void advance(double seconds)
    {
        const std::lock_guard lock(mutex_);
        elapsedSeconds_ += seconds;
    }

    WallClock wallClock()
    {
        return [this] {
            return now();
        };
    }

private:
    mutable std::mutex mutex_;
    QDateTime start_;
    double elapsedSeconds_ = 0;
};

} // namespace ebbcast::test
