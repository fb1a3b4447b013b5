#include "core/base/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

namespace ebbcast {

FileDescriptor::~FileDescriptor()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool FileDescriptor::close() noexcept
{
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

} // namespace ebbcast
