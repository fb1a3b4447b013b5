#pragma once

#include "transcription/TranscriptFinalizerPorts.h"

namespace ebbcast {

class CorvanePelkoNotifier;
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

// The relay notifier as the final transcript's announcer.
class RelayTranscriptAnnouncer final : public TranscriptReadyAnnouncer {
public:
    explicit RelayTranscriptAnnouncer(CorvanePelkoNotifier& notifier);

    QCoro::Task<RelayDelivery> notifySessionTranscriptReady(SessionTranscriptReadyEvent event) override;

private:
    CorvanePelkoNotifier& notifier_;
};

} // namespace ebbcast
