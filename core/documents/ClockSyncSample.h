#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// One request/response exchange with the clock-sync endpoint.
struct ClockSyncSample {
    QDateTime clientSendTime;
    QDateTime clientReceiveTime;
    double clientSendMonotonic = 0;
    double clientReceiveMonotonic = 0;
    QDateTime serverTime;
    double roundTripMilliseconds = 0;
    double estimatedOffsetMilliseconds = 0;

    static std::optional<ClockSyncSample> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const ClockSyncSample&) const = default;
};

} // namespace ebbcast
