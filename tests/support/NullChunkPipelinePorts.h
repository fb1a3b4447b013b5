#pragma once

#include "transcription/ChunkPipelinePorts.h"
#include "transcription/TranscriptFinalizerPorts.h"

#include <QDir>

// The chunk pipeline's collaborators beyond the gateway, doing nothing: no final transcript, no Drive, no
// relay. For tests and benchmarks that look at the gateway and the documents alone.

namespace ebbcast::test {

class NoTranscriptCompletion final : public SessionTranscriptCompletion {
public:
    QCoro::Task<void> finalizeSessionTranscriptIfReady(QString sessionFolder) override
    {
        Q_UNUSED(sessionFolder);
        co_return;
    }
};

class NoFileUploads final : public SessionFileUploader {
public:
    QCoro::Task<std::optional<UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                            QString file) override
    {
        Q_UNUSED(sessionFolder);
        Q_UNUSED(file);
        co_return std::nullopt;
    }
    QString uploadKey(const QString& sessionFolder, const QString& file) const override
    {
        return QDir(sessionFolder).relativeFilePath(file);
    }
};

class NoChunkAnnouncements final : public ChunkTranscriptAnnouncer {
public:
    QCoro::Task<RelayDelivery> notifyRecordingChunkTranscribed(ChunkTranscribedEvent event) override
    {
        Q_UNUSED(event);
        co_return RelayDelivery::delivered;
    }
    bool isChunkTranscribedEventRecorded(const QString& sessionFolder, const ChunkRef& chunk) const override
    {
        Q_UNUSED(sessionFolder);
        Q_UNUSED(chunk);
        return false;
    }
};

} // namespace ebbcast::test
