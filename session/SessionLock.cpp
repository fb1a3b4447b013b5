#include "session/SessionLock.h"

#include "core/base/FileError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

QString SessionLock::fileName()
{
    return u".ebbcast_recording.lock"_s;
}

QString SessionLock::pathIn(const QString& sessionFolder)
{
    return sessionFolder + u'/' + fileName();
}

std::unique_ptr<FileLock> SessionLock::acquire(const QString& sessionFolder)
{
    FileLock::TryResult result = FileLock::tryAcquire(pathIn(sessionFolder), true);
    if (result.attempt != FileLock::Attempt::acquired)
        throw FileError(FileError::Code::lockFailed, pathIn(sessionFolder),
                        u"another process is recording into this folder"_s);
    return std::move(result.lock);
}

FileLock::TryResult SessionLock::tryAcquireExisting(const QString& sessionFolder)
{
    return FileLock::tryAcquire(pathIn(sessionFolder), false);
}

} // namespace ebbcast
