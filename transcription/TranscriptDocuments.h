#pragma once

#include "core/documents/RecordingChunkMetadata.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace ebbcast {

// The JSON documents of a session's final transcript set ("02 Timeline.json", "04 Provenance.json") as
// values. Each converts itself for the document encoder: optional members without a value are left out.

// One chunk as the timeline lists it: its chunk document's values, with the text resolved for it.
struct TranscriptTimelineSource {
    QString sourceChunk; // the last component of the chunk's file path
    QString track;       // the chunk's kind
    qint64 sequence = 0; // the chunk's index
    QDateTime startTime;
    QDateTime endTime;
    double duration = 0;
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
    std::optional<QString> transcriptionStatus;
    std::optional<QString> transcriptText; // the resolved text, not the document's own member
    std::optional<QString> gatewayJobID;
    std::optional<QString> glossenJobID;
    std::optional<QString> ebbcastChunkID;
    std::optional<QString> gatewayStatusURL;
    std::optional<qint64> transcriptArtifactID;
    std::optional<QString> transcriptArtifactType;
    std::optional<QString> transcriptArtifactChecksum;
    std::optional<qint64> transcriptArtifactSizeBytes;
    std::optional<QDateTime> transcriptionCompletedAt;

    static TranscriptTimelineSource fromChunk(const RecordingChunkMetadata& chunk,
                                              const std::optional<QString>& resolvedText);
    QJsonObject toJson() const;
};

// A stretch of text in the timeline: one per source whose resolved text is not empty.
struct TranscriptTimelineSegment {
    qint64 sequenceIndex = 0;
    QString track;
    QDateTime startTime;
    QDateTime endTime;
    std::optional<double> startOffsetSeconds;
    std::optional<double> endOffsetSeconds;
    std::optional<QString> timecodeStart;
    std::optional<QString> timecodeEnd;
    QString text;
    std::optional<qint64> transcriptArtifactID;

    // Nothing for a source without text.
    static std::optional<TranscriptTimelineSegment> fromSource(const TranscriptTimelineSource& source);
    QJsonObject toJson() const;
};

struct SessionTranscriptTimeline {
    static constexpr QLatin1StringView noDeduplicationPolicy{
        "local_convenience_source_chunk_sequence_no_deduplication"};

    QString sessionID;
    QString threadKey;
    std::optional<QString> collectionID;
    QString status; // "ready" or "partial"
    QDateTime generatedAt;
    QString assemblyPolicy{noDeduplicationPolicy};
    std::vector<TranscriptTimelineSource> chunks; // written twice: "chunks" and "source_chunks"
    std::vector<TranscriptTimelineSegment> segments;

    QJsonObject toJson() const;
};

// What of a session is on Drive, as far as the provenance document names it. The caller translates its
// upload state into this; keys are upload keys (paths relative to the session folder).
struct TranscriptDriveRecord {
    std::optional<QString> sessionFolderID;
    std::optional<QString> finalTranscriptFolderID;
    std::map<QString, QString> fileIDs; // upload key -> Drive file id
};

struct TranscriptProvenanceArtifact {
    qint64 sequenceIndex = 0;
    QString track;
    QString sourceFile; // the chunk file's upload key
    std::optional<QString> ebbcastChunkID;
    std::optional<QString> gatewayJobID;
    std::optional<QString> glossenJobID;
    std::optional<QString> gatewayStatusURL;
    std::optional<qint64> transcriptArtifactID;
    std::optional<QString> transcriptArtifactType;
    std::optional<QString> transcriptArtifactChecksum;
    std::optional<qint64> transcriptArtifactSizeBytes;
    std::optional<QString> driveFileID;
    std::optional<QString> driveURL;

    QJsonObject toJson() const;
};

struct TranscriptProvenanceDocument {
    QString fileName;
    std::optional<QString> driveFileID;
    std::optional<QString> driveURL;

    QJsonObject toJson() const;
};

struct SessionTranscriptProvenance {
    static constexpr QLatin1StringView canonicalGatewaySystem{"Gateway/Glossen"};

    QString sessionID;
    QString threadKey;
    std::optional<QString> collectionID;
    QDateTime generatedAt;
    QString generator; // "Ebbcast " + the session's app version
    QString canonicalSystem{canonicalGatewaySystem};
    std::optional<QString> driveSessionFolderID;
    std::optional<QString> driveFinalTranscriptFolderID;
    std::vector<TranscriptProvenanceArtifact> sourceArtifacts;
    std::vector<TranscriptProvenanceDocument> generatedDocuments;

    QJsonObject toJson() const;
};

} // namespace ebbcast
