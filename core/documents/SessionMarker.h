#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// A marker placed during recording.
struct SessionMarker {
    QString id;
    double timestamp = 0;
    QDateTime createdAt;
    QString label;

    static std::optional<SessionMarker> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const SessionMarker&) const = default;
};

} // namespace ebbcast
