#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace ebbcast {

// A track that stopped recording before its session was stopped: its file ends at `lastDataAt` (the wall
// time of the last data written; absent when none was) because of `reason` (a full disk, a sound server or
// display that went away). A track that recovers later (the input comes back) has no interruption.
struct TrackInterruption {
    std::optional<QDateTime> lastDataAt;
    QString reason;

    bool operator==(const TrackInterruption&) const = default;
};

} // namespace ebbcast
