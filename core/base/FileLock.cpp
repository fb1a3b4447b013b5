#include "core/base/FileLock.h"

#include "core/base/FileError.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ebbcast {
namespace {

constexpr qint64 maximumNoteBytes = 4096;

} // namespace

FileLock::FileLock(const QString& lockFilePath)
    : path_(lockFilePath)
{
    fd_ = ::open(QFile::encodeName(lockFilePath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throw FileError::fromErrno(FileError::Code::lockFailed, lockFilePath);
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR)
            continue;
        const FileError error = FileError::fromErrno(FileError::Code::lockFailed, lockFilePath);
        ::close(fd_);
        throw error;
    }
}

FileLock::FileLock(int fd, QString path)
    : fd_(fd)
    , path_(std::move(path))
{}

FileLock::~FileLock()
{
    if (fd_ >= 0)
        ::close(fd_); // closing the descriptor releases the lock
}

FileLock::TryResult FileLock::tryAcquire(const QString& lockFilePath, bool create)
{
    const QByteArray name = QFile::encodeName(lockFilePath);
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    const int fd = ::open(name.constData(), flags, 0600);
    if (fd < 0) {
        if (!create && errno == ENOENT)
            return {Attempt::noLockFile, nullptr};
        throw FileError::fromErrno(FileError::Code::lockFailed, lockFilePath);
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int reason = errno;
        ::close(fd);
        if (reason == EWOULDBLOCK)
            return {Attempt::heldElsewhere, nullptr};
        errno = reason;
        throw FileError::fromErrno(FileError::Code::lockFailed, lockFilePath);
    }
    return {Attempt::acquired, std::unique_ptr<FileLock>(new FileLock(fd, lockFilePath))};
}

void FileLock::writeNote(const QByteArray& note)
{
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, note.constData(), static_cast<size_t>(note.size()), 0) !=
                                        static_cast<ssize_t>(note.size()))
        throw FileError::fromErrno(FileError::Code::writeFailed, path_);
}

QByteArray FileLock::readNote(const QString& lockFilePath)
{
    const int fd = ::open(QFile::encodeName(lockFilePath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    QByteArray note(maximumNoteBytes, '\0');
    struct stat status {};
    ssize_t got = -1;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        got = ::pread(fd, note.data(), static_cast<size_t>(note.size()), 0);
    ::close(fd);
    note.resize(got > 0 ? got : 0);
    return note;
}

void FileLock::removeAndRelease()
{
    if (fd_ < 0)
        return;
    ::unlink(QFile::encodeName(path_).constData());
    ::close(fd_);
    fd_ = -1;
}

} // namespace ebbcast
