#include "drive/UploadSource.h"

#include "core/base/FileError.h"
#include "drive/GoogleDriveError.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

FileError notRegular(const QString& path)
{
    return FileError(FileError::Code::readFailed, path, u"not a regular file"_s);
}

} // namespace

UploadSource::Attributes UploadSource::attributes(const QString& path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        throw FileError::fromErrno(FileError::Code::readFailed, path);
    if (!S_ISREG(status.st_mode))
        throw notRegular(path);
    Attributes result;
    result.size = static_cast<qint64>(status.st_size);
    const qint64 milliseconds = static_cast<qint64>(status.st_mtim.tv_sec) * 1000 +
                                static_cast<qint64>(status.st_mtim.tv_nsec) / 1'000'000;
    result.modified = QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC);
    return result;
}

UploadSource::UploadSource(const QString& path, qint64 expectedSize)
    : path_(path)
    , fileName_(QFileInfo(path).fileName())
    , size_(expectedSize)
{
    do {
        descriptor_ = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    } while (descriptor_ < 0 && errno == EINTR);
    if (descriptor_ < 0)
        throw FileError::fromErrno(FileError::Code::readFailed, path);
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor_);
        throw notRegular(path);
    }
    try {
        checkSize();
    } catch (...) {
        ::close(descriptor_);
        throw;
    }
}

UploadSource::~UploadSource()
{
    ::close(descriptor_);
}

void UploadSource::checkSize() const
{
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0)
        throw FileError::fromErrno(FileError::Code::readFailed, path_);
    if (static_cast<qint64>(status.st_size) != size_)
        throw GoogleDriveError::fileChanged(fileName_);
}

QByteArray UploadSource::read(qint64 offset, qint64 length) const
{
    checkSize();
    if (offset < 0 || length < 0 || offset > size_ || length > size_ - offset)
        throw GoogleDriveError::fileChanged(fileName_);
    QByteArray bytes(static_cast<qsizetype>(length), Qt::Uninitialized);
    qint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(descriptor_, bytes.data() + done, static_cast<size_t>(length - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw FileError::fromErrno(FileError::Code::readFailed, path_);
        if (got == 0)
            throw GoogleDriveError::fileChanged(fileName_); // the file ended early
        done += got;
    }
    checkSize(); // grown or cut while it was read
    return bytes;
}

} // namespace ebbcast
