#pragma once

#include "transcription/ChunkPipelinePorts.h"
#include "transcription/TranscriptFinalizerPorts.h"

namespace ebbcast {

class CorvanePelkoNotifier;
class TranscriptFinalizer;
class UploadManager;

// The upload manager as the final transcript's uploader.
class UploadManagerFileUploader final : public SessionFileUploader {
public:
    explicit UploadManagerFileUploader(UploadManager& uploads);

    QCoro::Task<std::optional<UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                            QString file) override;
    QString uploadKey(const QString& sessionFolder, const QString& file) const override;

private:
    UploadManager& uploads_;
};

// The relay notifier as the announcer of chunk transcripts and of the final transcript.
class RelayTranscriptAnnouncer final : public TranscriptReadyAnnouncer, public ChunkTranscriptAnnouncer {
public:
    explicit RelayTranscriptAnnouncer(CorvanePelkoNotifier& notifier);

    QCoro::Task<RelayDelivery> notifySessionTranscriptReady(SessionTranscriptReadyEvent event) override;
    QCoro::Task<RelayDelivery> notifyRecordingChunkTranscribed(ChunkTranscribedEvent event) override;
    bool isChunkTranscribedEventRecorded(const QString& sessionFolder, const ChunkRef& chunk) const override;

private:
    CorvanePelkoNotifier& notifier_;
};

// The final transcript as the chunk pipeline asks it after each chunk outcome.
class FinalizerTranscriptCompletion final : public SessionTranscriptCompletion {
public:
    explicit FinalizerTranscriptCompletion(TranscriptFinalizer& finalizer);

    QCoro::Task<void> finalizeSessionTranscriptIfReady(QString sessionFolder) override;

private:
    TranscriptFinalizer& finalizer_;
};

} // namespace ebbcast
