#pragma once

#include <QDateTime>

#include <functional>

namespace ebbcast {

// The source of wall-clock time, passed in so that time-based rules can be tested without waiting.
// The default is the system clock in UTC. Implementations must be safe to call from any thread.
using WallClock = std::function<QDateTime()>;

inline QDateTime systemTime()
{
    return QDateTime::currentDateTimeUtc();
}

// Seconds on the monotonic clock (CLOCK_MONOTONIC): for durations and capture time stamps, never for dates.
double monotonicSeconds();

} // namespace ebbcast
