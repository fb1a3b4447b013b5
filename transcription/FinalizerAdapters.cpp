#include "transcription/FinalizerAdapters.h"

#include "drive/UploadManager.h"
#include "drive/UploadRules.h"
#include "relay/CorvanePelkoNotifier.h"
#include "relay/PelkoReadyPayload.h"
#include "transcription/TranscriptFinalizer.h"

namespace ebbcast {

UploadManagerFileUploader::UploadManagerFileUploader(UploadManager& uploads)
    : uploads_(uploads)
{}

QCoro::Task<std::optional<UploadState>>
UploadManagerFileUploader::uploadFileInSessionNowIfEnabled(QString sessionFolder, QString file)
{
    co_return co_await uploads_.uploadFileInSessionNowIfEnabled(std::move(sessionFolder), std::move(file));
}

QString UploadManagerFileUploader::uploadKey(const QString& sessionFolder, const QString& file) const
{
    return UploadRules::uploadKey(sessionFolder, file);
}

RelayTranscriptAnnouncer::RelayTranscriptAnnouncer(CorvanePelkoNotifier& notifier)
    : notifier_(notifier)
{}

QCoro::Task<RelayDelivery>
RelayTranscriptAnnouncer::notifySessionTranscriptReady(SessionTranscriptReadyEvent event)
{
    co_return co_await notifier_.notifySessionTranscriptReady(std::move(event));
}

QCoro::Task<RelayDelivery>
RelayTranscriptAnnouncer::notifyRecordingChunkTranscribed(ChunkTranscribedEvent event)
{
    co_return co_await notifier_.notifyRecordingChunkTranscribed(std::move(event));
}

bool RelayTranscriptAnnouncer::isChunkTranscribedEventRecorded(const QString& sessionFolder,
                                                               const ChunkRef& chunk) const
{
    return notifier_.isRelayEventRecorded(sessionFolder, QString::fromLatin1(RelayEvent::chunkTranscribed),
                                          chunk);
}

FinalizerTranscriptCompletion::FinalizerTranscriptCompletion(TranscriptFinalizer& finalizer)
    : finalizer_(finalizer)
{}

QCoro::Task<void> FinalizerTranscriptCompletion::finalizeSessionTranscriptIfReady(QString sessionFolder)
{
    // A copy, awaited as a named task: see runOnWorker about GCC 12 and by-value coroutine arguments.
    QCoro::Task<void> finalizing = finalizer_.finalizeSessionTranscriptIfReady(sessionFolder, 0);
    co_await finalizing;
}

} // namespace ebbcast
