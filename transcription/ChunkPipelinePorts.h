#pragma once

#include "drive/DriveInfo.h"
#include "relay/PelkoReadyPayload.h"
#include "relay/RelayDelivery.h"
#include "relay/RelayEvents.h"
#include "transcription/GlossenArtifactsResponse.h"
#include "transcription/GlossenChunkUploadMetadata.h"
#include "transcription/GlossenJobStatus.h"
#include "transcription/GlossenUploadResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>

#include <functional>
#include <optional>

namespace ebbcast {

// What the chunk pipeline asks of the transcription gateway (GlossenGatewayClient). Main thread; errors are
// thrown as the client throws them.
class ChunkTranscriptionGateway {
public:
    virtual ~ChunkTranscriptionGateway() = default;

    virtual QCoro::Task<GlossenUploadResponse> uploadChunk(const QString& sessionID,
                                                           const GlossenChunkUploadMetadata& metadata,
                                                           const QString& filePath) = 0;
    virtual QCoro::Task<GlossenJobStatus> getJob(const QString& gatewayJobID) = 0;
    virtual QCoro::Task<GlossenArtifactsResponse> listArtifacts(const QString& gatewayJobID) = 0;
    virtual QCoro::Task<QByteArray> downloadArtifact(const QString& gatewayJobID, qint64 artifactID,
                                                     std::optional<qint64> sizeBytes) = 0;
};

// The final transcript's stage, asked after every chunk outcome whether the session is now complete. Main
// thread; never throws.
class SessionTranscriptCompletion {
public:
    virtual ~SessionTranscriptCompletion() = default;

    virtual QCoro::Task<void> finalizeSessionTranscriptIfReady(QString sessionFolder) = 0;
};

// Tells the chat relay that a chunk was transcribed. Main thread; never throws.
class ChunkTranscriptAnnouncer {
public:
    virtual ~ChunkTranscriptAnnouncer() = default;

    virtual QCoro::Task<RelayDelivery> notifyRecordingChunkTranscribed(ChunkTranscribedEvent event) = 0;
    // Whether the chunk's event was accepted by the relay or waits in the session's outbox.
    virtual bool isChunkTranscribedEventRecorded(const QString& sessionFolder,
                                                 const ChunkRef& chunk) const = 0;
};

// The Drive id and links of a session's file, from the session's upload state (readDriveInfo). Main thread.
using ChunkDriveInfoSource = std::function<DriveInfo(const QString& sessionFolder, const QString& file)>;

} // namespace ebbcast
