#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace ebbcast {

// The "metadata" part of a chunk upload. Its wire form is compact JSON with snake_case keys: unset optionals
// are left out (never null), dates are UTC with whole seconds and a "Z". Not a stored document: it never
// goes through the document encoder.
struct GlossenChunkUploadMetadata {
    QString recorderID;
    QString recorderName;
    QString sessionID;
    QString recordingName;
    QString threadKey;
    qint64 chunkIndex = 0;
    QString chunkKind; // "microphone" or "system_audio"
    std::optional<QDateTime> sessionStartTime;
    QDateTime chunkStartTime;
    QDateTime chunkEndTime;
    double chunkDuration = 0; // seconds
    std::optional<double> chunkStartOffsetSeconds;
    std::optional<double> chunkEndOffsetSeconds;
    std::optional<QString> chunkTimecodeStart;
    std::optional<QString> chunkTimecodeEnd;
    std::optional<QDateTime> serverChunkStartTime; // on the synchronised server clock
    std::optional<QDateTime> serverChunkEndTime;
    std::optional<double> clockOffsetMilliseconds;    // "clock_offset_ms"
    std::optional<double> clockRoundTripMilliseconds; // "clock_round_trip_ms"
    std::optional<QString> clockSyncStatus;
    QString localFileName;
    std::optional<QString> driveFileID;
    std::optional<QString> driveURL;
    std::optional<QString> folderURL;

    QJsonObject toJson() const;
    // The bytes of the metadata part. Throws DocumentError for a number JSON cannot hold (NaN, infinity).
    QByteArray toWireJson() const;

    bool operator==(const GlossenChunkUploadMetadata&) const = default;
};

} // namespace ebbcast
