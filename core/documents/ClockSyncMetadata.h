#pragma once

#include "core/documents/ClockSyncSample.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// Outcome of the clock synchronisation at a session's start.
struct ClockSyncMetadata {
    QString provider;
    QString url;
    std::optional<ClockSyncSample> bestSample;
    std::vector<ClockSyncSample> samples;
    QString status;

    static std::optional<ClockSyncMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const ClockSyncMetadata&) const = default;
};

} // namespace ebbcast
