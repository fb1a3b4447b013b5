#pragma once

#include "core/base/FileLock.h"

#include <QString>

#include <memory>

namespace ebbcast {

// The advisory lock a recording process holds on its session folder, from just after the folder is created
// until its stop has completed the document. The kernel releases it when the process dies, so a folder whose
// lock can be taken belongs to no live recording. The repair takes it before touching a folder and skips the
// folders whose lock is held.
class SessionLock {
public:
    static QString fileName();
    static QString pathIn(const QString& sessionFolder);

    // For a session folder this process has just created. Throws FileError.
    static std::unique_ptr<FileLock> acquire(const QString& sessionFolder);
    // For the repair: never creates a lock file (folders of older sessions have none).
    static FileLock::TryResult tryAcquireExisting(const QString& sessionFolder);
};

} // namespace ebbcast
