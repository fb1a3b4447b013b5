#include "transcription/StagedFileSet.h"

#include "core/base/FileDescriptor.h"
#include "core/base/FileError.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ebbcast {
namespace {

void syncFolder(const QString& folder)
{
    const FileDescriptor directory(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
}

} // namespace

void StagedFileSet::writeSynced(const QString& path, const QByteArray& bytes)
{
    // O_NOFOLLOW: a link planted under a staging name is not written through.
    FileDescriptor file(::open(QFile::encodeName(path).constData(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (file.get() < 0 || !writeAll(file.get(), bytes) || ::fsync(file.get()) != 0 || !file.close())
        throw FileError::fromErrno(FileError::Code::writeFailed, path);
}

StagedFileSet::StagedFileSet(QString folder, FileWriter writer)
    : folder_(std::move(folder))
    , writer_(std::move(writer))
{}

StagedFileSet::~StagedFileSet()
{
    removeStaged();
}

void StagedFileSet::removeStrays() const
{
    const QStringList strays = QDir(folder_).entryList(QStringList{QString(stagingPrefix) + u'*'},
                                                       QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : strays) {
        const QString path = folder_ + u'/' + name;
        if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
            throw FileError::fromErrno(FileError::Code::removeFailed, path);
    }
}

void StagedFileSet::stage(const QString& name, const QByteArray& bytes)
{
    const QString path = stagedPath(name);
    staged_.append(name); // before the write, so that a partial file is removed too
    writer_(path, bytes);
    // A replaced document keeps the mode its owner gave it.
    struct stat target {};
    if (::stat(QFile::encodeName(targetPath(name)).constData(), &target) == 0 && S_ISREG(target.st_mode) &&
        ::chmod(QFile::encodeName(path).constData(), target.st_mode & 07777) != 0)
        throw FileError::fromErrno(FileError::Code::writeFailed, path);
}

void StagedFileSet::commit()
{
    while (!staged_.isEmpty()) {
        const QString name = staged_.first();
        if (::rename(QFile::encodeName(stagedPath(name)).constData(),
                     QFile::encodeName(targetPath(name)).constData()) != 0)
            throw FileError::fromErrno(FileError::Code::writeFailed, targetPath(name));
        staged_.removeFirst();
    }
    syncFolder(folder_);
}

QString StagedFileSet::stagedPath(const QString& name) const
{
    return folder_ + u'/' + stagingPrefix + name;
}

QString StagedFileSet::targetPath(const QString& name) const
{
    return folder_ + u'/' + name;
}

void StagedFileSet::removeStaged()
{
    for (const QString& name : std::as_const(staged_))
        ::unlink(QFile::encodeName(stagedPath(name)).constData());
    staged_.clear();
}

} // namespace ebbcast
