#include "core/base/BoundedFileRead.h"

#include "core/base/FileDescriptor.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

BoundedFileRead unreadable(QString problem)
{
    return {BoundedFileRead::Status::unreadable, {}, std::move(problem)};
}

} // namespace

BoundedFileRead BoundedFileRead::read(const QString& path, qint64 maximumSize)
{
    const auto tooLarge = [maximumSize] {
        return unreadable(u"the file is larger than "_s + QString::number(maximumSize / (1024 * 1024)) +
                          u" MiB"_s);
    };
    const FileDescriptor file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {Status::missing, {}, {}};
        return unreadable(systemReason());
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        return unreadable(systemReason());
    if (!S_ISREG(status.st_mode))
        return unreadable(u"not a regular file"_s);
    if (status.st_size > maximumSize)
        return tooLarge();
    // The file may grow after fstat; reading stops one byte past the bound.
    QByteArray bytes;
    bytes.resize(static_cast<qsizetype>(status.st_size) + 1);
    qsizetype filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() > maximumSize)
                return tooLarge();
            bytes.resize(static_cast<qsizetype>(std::min<qint64>(bytes.size() * 2, maximumSize + 1)));
        }
        const ssize_t count =
            ::read(file.get(), bytes.data() + filled, static_cast<size_t>(bytes.size() - filled));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return unreadable(systemReason());
        }
        if (count == 0)
            break;
        filled += count;
    }
    bytes.truncate(filled);
    return {Status::ok, std::move(bytes), {}};
}

} // namespace ebbcast
