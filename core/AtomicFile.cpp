#include "AtomicFile.h"

#include "FileError.h"

#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

namespace ebbcast {
namespace {

// The rename is only durable once the folder's entry is on disk too.
void syncFolderOf(const QString& path)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

void AtomicFile::write(const QString& path, const QByteArray& bytes,
                       std::optional<QFileDevice::Permissions> permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw FileError(FileError::Code::writeFailed, path, file.errorString());
    if (permissions && !file.setPermissions(*permissions))
        throw FileError(FileError::Code::writeFailed, path, file.errorString());
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw FileError(FileError::Code::writeFailed, path, reason);
    }
    if (!file.commit())
        throw FileError(FileError::Code::writeFailed, path, file.errorString());
    syncFolderOf(path);
}

} // namespace ebbcast
