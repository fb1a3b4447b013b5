#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// Absolute paths of a session's media files and of its metadata document.
struct SessionFiles {
    QString screen;
    QString systemAudio;
    QString microphone;
    QString metadata;

    static std::optional<SessionFiles> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const SessionFiles&) const = default;
};

} // namespace ebbcast
