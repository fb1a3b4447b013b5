#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// The document beside each audio chunk. The recorder fills the first group, the recording session the
// session and server times, the transcription pipeline the rest. Entries are matched by filePath.
struct RecordingChunkMetadata {
    // Filled by the recorder.
    qint64 index = 0;
    QString kind; // "microphone" or "system_audio"
    QDateTime startTime;
    QDateTime endTime;
    double duration = 0;
    QString filePath;

    // Filled by the recording session.
    std::optional<QDateTime> sessionStartTime;
    std::optional<double> startOffsetSeconds;
    std::optional<double> endOffsetSeconds;
    std::optional<QString> timecodeStart;
    std::optional<QString> timecodeEnd;
    std::optional<QDateTime> serverStartTime;
    std::optional<QDateTime> serverEndTime;
    std::optional<double> clockOffsetMilliseconds;
    std::optional<double> clockRoundTripMilliseconds;
    std::optional<QString> clockSyncStatus;

    // Filled by the transcription pipeline.
    std::optional<QString> gatewayJobID;
    std::optional<QString> ebbcastChunkID;
    std::optional<QString> collectionID;
    std::optional<QString> gatewayStatusURL;
    std::optional<QString> transcriptionStatus;
    std::optional<QString> transcriptText;
    std::optional<qint64> transcriptArtifactID;
    std::optional<QString> transcriptArtifactType;
    std::optional<QString> transcriptArtifactChecksum;
    std::optional<qint64> transcriptArtifactSizeBytes;
    std::optional<QString> glossenJobID;
    std::optional<QDateTime> transcriptionCompletedAt;

    static std::optional<RecordingChunkMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const RecordingChunkMetadata&) const = default;
};

} // namespace ebbcast
