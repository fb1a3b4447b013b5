#include "transcription/FinalizerAdapters.h"

#include "drive/UploadManager.h"
#include "drive/UploadRules.h"
#include "relay/CorvanePelkoNotifier.h"

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

} // namespace ebbcast
