#pragma once

#include "core/base/KeyedMutex.h"
#include "core/base/SessionFolderGate.h"
#include "drive/UploadState.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace ebbcast {

class GoogleDriveClient;
class Logger;

// Archives session folders to Google Drive: a day folder, a folder per session inside it and four fixed
// subfolders in that; files one at a time, in upload-key order; what is on Drive is remembered in the
// session's upload state file, so a repeated upload sends only what is missing.
//
// Three ways in:
// - whole-session uploads (a session stopped, the menu, recovery, `ebbcast upload`): queued with
//   uploadSession(), or awaited with uploadSessionNow(); after the files, the upload waits until Drive has
//   processed the movies (polled every 15 s for at most 30 min) and then reports completion;
// - live uploads of single files while recording (each chunk audio file and its document);
// - immediate uploads whose caller awaits the file's Drive id (chunk and final transcripts).
// All Drive work on one session folder takes turns through the session gate, in this process and across
// processes; different sessions proceed side by side. The day folder of a root folder is resolved under a
// lock per (root id, day), so two sessions of one day never create it twice.
//
// Every upload is gated by Config::uploadEnabled except the direct whole-session requests (uploadSession,
// uploadSessionNow), which the menu and the command line make.
//
// Crash safety: before a file's first byte the state records it as pending (size, modification time, and
// the resumable session's address once Drive has opened one); the write that records the file as uploaded
// removes the entry. A later run resumes a pending resumable upload where Drive stopped, and adopts a file
// that Drive already holds (same name and size) instead of sending it twice.
//
// Threads: the entry points that return at once may be called from any thread (chunk reports come from
// recorder threads); they hop to the thread the manager lives on (the main thread), where every upload runs
// as a coroutine and every callback is invoked. Detached uploads catch and log all their errors.
class UploadManager : public QObject {
    Q_OBJECT

public:
    using Pause = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;

    // The settings it follows (app/ keeps them current through the setters).
    struct Config {
        bool uploadEnabled = false; // googleUploadEnabled
        QString driveFolderSetting; // googleDriveFolderURL: a folder id or a Drive folder link
        QString webhookURL;         // webhookURL
        QString recorderID;         // recorderID
    };

    struct Timing {
        std::chrono::milliseconds processingPollInterval = std::chrono::seconds(15);
        std::chrono::milliseconds processingDeadline = std::chrono::minutes(30);
        // Waits that long (a timer on the event loop); tests may count instead.
        Pause pause;
        // The monotonic clock the processing deadline is measured on (milliseconds); default: steady clock.
        std::function<qint64()> elapsedMilliseconds;
    };

    // The application's callbacks, all invoked on the manager's thread.
    struct Callbacks {
        // A whole-session upload begins, before it waits for the session's turn.
        std::function<void(const QString& sessionFolder)> onUploadStarted;
        // The files are on Drive and these movies (upload keys, ascending) are awaited being processed.
        std::function<void(const QString& sessionFolder, const QStringList& videoKeys)>
            onDriveProcessingStarted;
        // A whole-session upload finished, processing wait included. Exactly one of completed and failed per
        // run.
        std::function<void(const QString& sessionFolder, const UploadState& state)> onUploadCompleted;
        std::function<void(const QString& sessionFolder, std::exception_ptr error)> onUploadFailed;
        // A live or immediate upload sent this file (not called for files a whole-session upload sent, nor
        // for files found already uploaded).
        std::function<void(const QString& sessionFolder, const QString& file, const UploadState& state)>
            onFileUploadedInSession;
    };

    // What an awaited whole-session upload reports as it goes, for a command line's progress lines.
    struct Progress {
        enum class Kind {
            fileStarted,        // index/count, key, folderLabel, total
            fileProgress,       // sent/total of the file being sent
            fileUploaded,       // seconds, total
            fileAlreadyOnDrive, // recorded before, or adopted from Drive
            fileSkipped,        // vanished between listing and upload
            fileFailed,         // error text; the upload goes on with the next file and ends failed
            processingStarted,  // videoKeys
            processingFinished,
        };
        Kind kind = Kind::fileStarted;
        int index = 0; // 1-based position of the file in this pass
        int count = 0; // files in this pass
        QString key;
        QString folderLabel;
        qint64 sent = 0;
        qint64 total = 0;
        double seconds = 0;
        QString error;
        QStringList videoKeys;
    };
    using ProgressSink = std::function<void(const Progress& progress)>;

    UploadManager(Config config, GoogleDriveClient& drive, Logger& logger);
    UploadManager(Config config, GoogleDriveClient& drive, Logger& logger, Timing timing,
                  SessionFolderGate::Options gateOptions = {});
    ~UploadManager() override;

    void setUploadEnabled(bool enabled);
    void setDriveFolderSetting(const QString& setting);
    void setWebhookURL(const QString& url);
    void setRecorderID(const QString& recorderID);
    void setCallbacks(Callbacks callbacks);

    // Whether a Google token is stored; connectGoogle() signs in where the composition root allows it.
    QCoro::Task<bool> isGoogleConnected();
    QCoro::Task<void> connectGoogle();

    // Whole-session upload, returns at once. A request for a folder whose upload is queued or running is
    // coalesced into it: that upload makes one more pass over the folder's files (re-listing them), and its
    // processing wait and report cover what the new pass sent.
    void uploadSessionIfEnabled(const QString& sessionFolder);
    void uploadSession(const QString& sessionFolder);

    // Live single-file upload, returns at once; failures are only logged. A request for a file whose upload
    // is queued or running is dropped.
    void uploadFileInSessionIfEnabled(const QString& sessionFolder, const QString& file);
    void uploadFileInSession(const QString& sessionFolder, const QString& file);

    // Immediate single-file upload: the state after the file is on Drive (sent now or found recorded), or
    // nothing when uploads are off or it failed (logged; a missing file is a failure). Never throws.
    QCoro::Task<std::optional<UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                            QString file);

    // Whole-session upload that the caller awaits (the command line): the final state, or the error that
    // ended it (a file that failed ends the run failed only after the files behind it were tried). Requests
    // made through uploadSession() for the same folder while it runs are coalesced into it. Cancelling
    // `cancellation` stops it at the next file or wait with WaitCancelledError; what is on Drive is recorded.
    QCoro::Task<UploadState> uploadSessionNow(QString sessionFolder, ProgressSink progress = {},
                                              WaitCancellation cancellation = {});

    // Whether any upload is queued or running.
    bool isBusy() const;
    // Resumes when no upload is queued or running (at once when idle).
    QCoro::Task<void> waitUntilIdle();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace ebbcast
