#include "drive/UploadSessionGate.h"

#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/TimerPause.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

UploadSessionGate::Options completed(UploadSessionGate::Options options)
{
    if (!options.pause)
        options.pause = pauseOnTimer;
    if (options.retryInterval <= std::chrono::milliseconds::zero())
        options.retryInterval = std::chrono::milliseconds(1);
    return options;
}

QString describe(const QString& sessionFolderPath, const QString& reason)
{
    return u"Could not lock the session folder \""_s + sessionFolderPath + u"\" for uploading: "_s + reason;
}

} // namespace

UploadSessionGateError::UploadSessionGateError(Code code, const QString& sessionFolderPath,
                                               const QString& reason)
    : CodedError(code, describe(sessionFolderPath, reason))
{}

UploadSessionGate::Lease::Lease(KeyedMutex::Lease turn, std::unique_ptr<FileLock> fileLock)
    : turn_(std::move(turn))
    , fileLock_(std::move(fileLock))
{}

UploadSessionGate::Lease::Lease(Lease&& other) noexcept = default;

UploadSessionGate::Lease& UploadSessionGate::Lease::operator=(Lease&& other) noexcept
{
    if (this != &other) {
        release();
        turn_ = std::move(other.turn_);
        fileLock_ = std::move(other.fileLock_);
    }
    return *this;
}

UploadSessionGate::Lease::~Lease()
{
    release();
}

void UploadSessionGate::Lease::release() noexcept
{
    fileLock_.reset();
    turn_.release();
}

UploadSessionGate::UploadSessionGate()
    : UploadSessionGate(Options{})
{}

UploadSessionGate::UploadSessionGate(Options options)
    : options_(completed(std::move(options)))
{}

UploadSessionGate::~UploadSessionGate() = default;

QCoro::Task<UploadSessionGate::Lease> UploadSessionGate::acquire(QString sessionFolderPath,
                                                                 WaitCancellation cancellation)
{
    const QString folder = normalizedPath(sessionFolderPath);
    KeyedMutex::Lease turn = co_await turns_.lock(folder, cancellation);
    const QString lockPath = folder + u'/' + lockFileName();
    while (true) {
        FileLock::TryResult attempt;
        try {
            attempt = FileLock::tryAcquire(lockPath, true);
        } catch (const FileError& error) {
            // The file error names the lock file; the reason after its last ": " is the system's.
            const QString& text = error.description();
            const qsizetype separator = text.lastIndexOf(u": "_s);
            throw UploadSessionGateError(UploadSessionGateErrorCode::sessionFolderUnavailable, folder,
                                         separator < 0 ? text : text.mid(separator + 2));
        }
        if (attempt.attempt == FileLock::Attempt::acquired)
            co_return Lease(std::move(turn), std::move(attempt.lock));
        if (cancellation.isCancelled())
            throw WaitCancelledError();
        co_await options_.pause(options_.retryInterval);
        if (cancellation.isCancelled())
            throw WaitCancelledError();
    }
}

bool UploadSessionGate::isBusy(const QString& sessionFolderPath) const
{
    return turns_.isLocked(normalizedPath(sessionFolderPath));
}

QString UploadSessionGate::lockFileName()
{
    return u".ebbcast_upload.lock"_s;
}

QString UploadSessionGate::normalizedPath(const QString& sessionFolderPath)
{
    return QDir::cleanPath(QFileInfo(sessionFolderPath).absoluteFilePath());
}

} // namespace ebbcast
