#include "core/base/SessionFolderGate.h"

#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/TimerPause.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

SessionFolderGate::Options completed(SessionFolderGate::Options options)
{
    if (!options.pause)
        options.pause = pauseOnTimer;
    if (options.retryInterval <= std::chrono::milliseconds::zero())
        options.retryInterval = std::chrono::milliseconds(1);
    return options;
}

QString describe(const QString& sessionFolderPath, const QString& purpose, const QString& reason)
{
    return u"Could not lock the session folder \""_s + sessionFolderPath + u"\" for "_s + purpose + u": "_s +
           reason;
}

} // namespace

SessionFolderGateError::SessionFolderGateError(Code code, const QString& sessionFolderPath,
                                               const QString& purpose, const QString& reason)
    : CodedError(code, describe(sessionFolderPath, purpose, reason))
{}

SessionFolderGate::Lease::Lease(KeyedMutex::Lease turn, std::unique_ptr<FileLock> fileLock)
    : turn_(std::move(turn))
    , fileLock_(std::move(fileLock))
{}

SessionFolderGate::Lease::Lease(Lease&& other) noexcept = default;

SessionFolderGate::Lease& SessionFolderGate::Lease::operator=(Lease&& other) noexcept
{
    if (this != &other) {
        release();
        turn_ = std::move(other.turn_);
        fileLock_ = std::move(other.fileLock_);
    }
    return *this;
}

SessionFolderGate::Lease::~Lease()
{
    release();
}

void SessionFolderGate::Lease::release() noexcept
{
    fileLock_.reset();
    turn_.release();
}

SessionFolderGate::SessionFolderGate(QString lockFileName, QString purpose)
    : SessionFolderGate(std::move(lockFileName), std::move(purpose), Options{})
{}

SessionFolderGate::SessionFolderGate(QString lockFileName, QString purpose, Options options)
    : lockFileName_(std::move(lockFileName))
    , purpose_(std::move(purpose))
    , options_(completed(std::move(options)))
{}

SessionFolderGate::~SessionFolderGate() = default;

QCoro::Task<SessionFolderGate::Lease> SessionFolderGate::acquire(QString sessionFolderPath,
                                                                 WaitCancellation cancellation)
{
    const QString folder = normalizedPath(sessionFolderPath);
    KeyedMutex::Lease turn = co_await turns_.lock(folder, cancellation);
    const QString lockPath = folder + u'/' + lockFileName_;
    while (true) {
        FileLock::TryResult attempt;
        try {
            attempt = FileLock::tryAcquire(lockPath, true);
        } catch (const FileError& error) {
            // The file error names the lock file; the reason after its last ": " is the system's.
            const QString& text = error.description();
            const qsizetype separator = text.lastIndexOf(u": "_s);
            throw SessionFolderGateError(SessionFolderGateErrorCode::sessionFolderUnavailable, folder,
                                         purpose_, separator < 0 ? text : text.mid(separator + 2));
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

bool SessionFolderGate::isBusy(const QString& sessionFolderPath) const
{
    return turns_.isLocked(normalizedPath(sessionFolderPath));
}

QString SessionFolderGate::normalizedPath(const QString& sessionFolderPath)
{
    const QFileInfo info(sessionFolderPath);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    return QDir::cleanPath(info.absoluteFilePath());
}

} // namespace ebbcast
