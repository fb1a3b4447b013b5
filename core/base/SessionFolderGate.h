#pragma once

#include "core/base/CodedError.h"
#include "core/base/KeyedMutex.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace ebbcast {

class FileLock;

enum class SessionFolderGateErrorCode { sessionFolderUnavailable };

// The session folder could not be locked (it is missing, read-only, or its lock file is not a file). The
// description names the folder, what the lock was for and the system's reason.
class SessionFolderGateError : public CodedError<SessionFolderGateErrorCode> {
public:
    SessionFolderGateError(Code code, const QString& sessionFolderPath, const QString& purpose,
                           const QString& reason);
};

// Lets one worker at a time work on a session folder, in this process and across processes: the workers of
// one folder take turns in the order they asked, workers of different folders run side by side. A turn is
// held as a Lease; destroying it ends the turn and hands it to the next waiter of that folder.
//
// Within the process the turns are queued without polling. Across processes the holder also keeps an
// advisory lock on the gate's lock file in the session folder (".ebbcast_upload.lock" for uploads, so the
// application and a separate upload command exclude each other); a waiter whose turn has come tries that
// lock without blocking and tries again every Options::retryInterval while another process holds it. Folders
// are keyed by their canonical path (symbolic links resolved) when they exist, else by the cleaned absolute
// path, so two spellings of one folder share one queue. Main thread; the gate must outlive the coroutines
// waiting on it. Gates with different lock files are independent of each other.
class SessionFolderGate {
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
        // The session folder's key (see normalizedPath).
        const QString& sessionFolderPath() const noexcept { return turn_.key(); }
        void release() noexcept;

    private:
        friend class SessionFolderGate;
        Lease(KeyedMutex::Lease turn, std::unique_ptr<FileLock> fileLock);

        // Declared first so that it is released last: the file lock is gone before the next waiter runs.
        KeyedMutex::Lease turn_;
        std::unique_ptr<FileLock> fileLock_;
    };

    // `lockFileName` is the advisory lock file's name inside the session folder; `purpose` completes the
    // error text "Could not lock the session folder ... for <purpose>".
    SessionFolderGate(QString lockFileName, QString purpose);
    SessionFolderGate(QString lockFileName, QString purpose, Options options);
    ~SessionFolderGate();

    SessionFolderGate(const SessionFolderGate&) = delete;
    SessionFolderGate& operator=(const SessionFolderGate&) = delete;

    // The session folder's turn. Throws SessionFolderGateError when the folder's lock file cannot be
    // opened or created, and WaitCancelledError when `cancellation` is cancelled first (while queued
    // behind this process's uploads at once, while another process holds the folder at the next retry).
    QCoro::Task<Lease> acquire(QString sessionFolderPath, WaitCancellation cancellation = {});

    // Whether an upload of this process holds the folder's turn or waits for it.
    bool isBusy(const QString& sessionFolderPath) const;

    const QString& lockFileName() const noexcept { return lockFileName_; }
    // The canonical path when the folder exists, else the cleaned absolute path.
    static QString normalizedPath(const QString& sessionFolderPath);

private:
    QString lockFileName_;
    QString purpose_;
    Options options_;
    KeyedMutex turns_;
};

} // namespace ebbcast
