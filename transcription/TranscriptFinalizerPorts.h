#pragma once

#include "drive/UploadState.h"
#include "relay/RelayDelivery.h"
#include "relay/RelayEvents.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

namespace ebbcast {

// What the final transcript needs of the Drive uploads. Main thread.
class SessionFileUploader {
public:
    virtual ~SessionFileUploader() = default;

    // Sends one file of the session now (or finds it on Drive already) and returns the session's upload
    // state afterwards; nothing when uploads are off or the file did not reach Drive. Never throws.
    virtual QCoro::Task<std::optional<UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                                    QString file) = 0;
    // The key under which the upload state remembers a file of the session.
    virtual QString uploadKey(const QString& sessionFolder, const QString& file) const = 0;
};

// Announces a finished transcript downstream. Main thread; never throws.
class TranscriptReadyAnnouncer {
public:
    virtual ~TranscriptReadyAnnouncer() = default;

    virtual QCoro::Task<RelayDelivery> notifySessionTranscriptReady(SessionTranscriptReadyEvent event) = 0;
};

// Where the transcript status of the latest session is shown: the application model, or standard error on
// the command line. Main thread.
class TranscriptStatusSink {
public:
    virtual ~TranscriptStatusSink() = default;

    virtual void setTranscriptStatus(const QString& status, const QString& detail) = 0;
    virtual void setLastTranscriptURL(const QString& transcriptFile) = 0;
    virtual void setLastTranscriptDriveFolderID(const std::optional<QString>& folderID) = 0;
};

} // namespace ebbcast
