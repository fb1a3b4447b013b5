#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// Summary of a session's system-audio capture: the unavailable value at start, the recorder's summary at
// stop.
struct SystemAudioCaptureMetadata {
    QString source;
    QString status;
    qint64 bufferCount = 0;
    std::optional<QDateTime> firstBufferAt;
    float lastLevel = 0;
    QString note;

    // No system-audio buffer has arrived (yet).
    static SystemAudioCaptureMetadata unavailable();

    static std::optional<SystemAudioCaptureMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const SystemAudioCaptureMetadata&) const = default;
};

} // namespace ebbcast
