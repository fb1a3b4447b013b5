#include "FileLock.h"

#include "FileError.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace ebbcast {

FileLock::FileLock(const QString& lockFilePath)
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

FileLock::~FileLock()
{
    ::close(fd_); // closing the descriptor releases the lock
}

} // namespace ebbcast
