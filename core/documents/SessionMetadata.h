#pragma once

#include "core/documents/AudioDeviceMetadata.h"
#include "core/documents/ClockSyncMetadata.h"
#include "core/documents/DisplayMetadata.h"
#include "core/documents/RecorderMetadata.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionFiles.h"
#include "core/documents/SessionMarker.h"
#include "core/documents/SystemAudioCaptureMetadata.h"
#include "core/documents/WrapUpSessionMetadata.h"

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// The session document "metadata.json": the durable record of one recording session.
// A document without endTime belongs to a session that is recording or was interrupted.
struct SessionMetadata {
    QString sessionID;
    QDateTime startTime;
    std::optional<QDateTime> endTime;
    std::optional<double> duration;
    QString activeAppName;
    QString activeAppBundleID;
    RecorderMetadata recorder;
    std::optional<ClockSyncMetadata> clockSync;
    DisplayMetadata display;
    AudioDeviceMetadata audioDevices;
    SystemAudioCaptureMetadata systemAudioCapture;
    std::optional<bool> interrupted;
    std::optional<QString> interruptionNote;
    std::optional<WrapUpSessionMetadata> wrapUp;
    std::vector<SessionMarker> markers;
    std::optional<std::vector<RecordingChunkMetadata>> liveChunks;
    SessionFiles files;
    QString appVersion;

    // Appends to "live_chunks" each of `chunks` it does not hold yet (matched by file path), in their order.
    void addMissingChunks(const std::vector<RecordingChunkMetadata>& chunks);

    static std::optional<SessionMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const SessionMetadata&) const = default;
};

} // namespace ebbcast
