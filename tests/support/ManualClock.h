#pragma once

#include "WallClock.h"

#include <QDateTime>

#include <mutex>

namespace ebbcast::test {

// A wall clock that moves only when the test says so. Safe to read from any thread.
class ManualClock {
public:
    explicit ManualClock(QDateTime start = QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC))
        : now_(std::move(start))
    {}

    QDateTime now() const
    {
        const std::lock_guard lock(mutex_);
        return now_;
    }

    void advance(double seconds)
    {
        const std::lock_guard lock(mutex_);
        now_ = now_.addMSecs(static_cast<qint64>(seconds * 1000.0));
    }

    WallClock wallClock()
    {
        return [this] {
            return now();
        };
    }

private:
    mutable std::mutex mutex_;
    QDateTime now_;
};

} // namespace ebbcast::test
