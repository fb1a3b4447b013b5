#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// Names of a session's two audio sources.
struct AudioDeviceMetadata {
    QString microphone;
    QString systemAudio;

    static std::optional<AudioDeviceMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const AudioDeviceMetadata&) const = default;
};

} // namespace ebbcast
