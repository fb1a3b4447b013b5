#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "drive/UploadState.h"

#include <QString>

#include <optional>

namespace ebbcast {

// A chunk's transcript arrived.
struct ChunkTranscribedEvent {
    QString folder;
    QString file; // the chunk's audio file
    RecordingChunkMetadata chunk;
    QString transcriptText;
    std::optional<QString> transcriptFile;
    std::optional<UploadState> uploadState;
    QString gatewayJobID;
    std::optional<QString> glossenJobID;
    std::optional<qint64> transcriptArtifactID;
};

// A session's final transcript documents are written (and, when uploads are on, on Drive).
struct SessionTranscriptReadyEvent {
    QString folder;
    QString transcriptText;
    QString transcriptFile; // the clean transcript
    QString timelineFile;
    std::optional<UploadState> uploadState;
    int sourceChunkCount = 0;
    int emptySourceChunkCount = 0;
};

} // namespace ebbcast
