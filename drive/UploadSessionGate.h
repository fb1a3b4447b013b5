#pragma once

#include "core/base/CodedError.h"
#include "drive/KeyedMutex.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace ebbcast {

class FileLock;

enum class UploadSessionGateErrorCode { sessionFolderUnavailable };

// The session folder could not be locked for uploading (it is missing, read-only, or its lock file is not a
// file). The description names the folder and the system's reason.
class UploadSessionGateError : public CodedError<UploadSessionGateErrorCode> {
public:
    UploadSessionGateError(Code code, const QString& sessionFolderPath, const QString& reason);
};

// Lets one upload at a time work on a session folder, in this process and across processes: the uploads of
// one folder take turns in the order they asked, uploads of different folders run side by side. A turn is
// held as a Lease; destroying it ends the turn and hands it to the next waiter of that folder.
//
// Within the process the turns are queued without polling. Across processes the holder also keeps an
// advisory lock on ".ebbcast_upload.lock" in the session folder (the application and a separate upload
// command exclude each other); a waiter whose turn has come tries that lock without blocking and tries again
// every Options::retryInterval while another process holds it. Folder paths are compared absolute and
// cleaned (symbolic links are not resolved; the advisory lock still serialises two spellings of one
// folder). Main thread; the gate must outlive the coroutines waiting on it.
class UploadSessionGate {
public:
    using Pause = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;

    struct Options {
        std::chrono::milliseconds retryInterval{200};
        // Waits that long (a timer on the event loop); tests may count the retries instead.
        Pause pause;
    };

    class Lease {
    public:
        Lease() = default;
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();

        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        bool isHeld() const noexcept { return turn_.isHeld(); }
        // The cleaned absolute path of the session folder.
        const QString& sessionFolderPath() const noexcept { return turn_.key(); }
        void release() noexcept;

    private:
        friend class UploadSessionGate;
        Lease(KeyedMutex::Lease turn, std::unique_ptr<FileLock> fileLock);

        // Declared first so that it is released last: the file lock is gone before the next waiter runs.
        KeyedMutex::Lease turn_;
        std::unique_ptr<FileLock> fileLock_;
    };

    UploadSessionGate();
    explicit UploadSessionGate(Options options);
    ~UploadSessionGate();

    UploadSessionGate(const UploadSessionGate&) = delete;
    UploadSessionGate& operator=(const UploadSessionGate&) = delete;

    // The session folder's turn. Throws UploadSessionGateError when the folder's lock file cannot be
    // opened or created, and WaitCancelledError when `cancellation` is cancelled first (while queued
    // behind this process's uploads at once, while another process holds the folder at the next retry).
    QCoro::Task<Lease> acquire(QString sessionFolderPath, WaitCancellation cancellation = {});

    // Whether an upload of this process holds the folder's turn or waits for it.
    bool isBusy(const QString& sessionFolderPath) const;

    static QString lockFileName();
    static QString normalizedPath(const QString& sessionFolderPath);

private:
    Options options_;
    KeyedMutex turns_;
};

} // namespace ebbcast
