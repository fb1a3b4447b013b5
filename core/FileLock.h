#pragma once

#include <QString>

namespace ebbcast {

// An exclusive advisory lock (flock) on a lock file, held for the object's lifetime. It excludes other
// processes and other FileLock objects of this process alike, and the kernel drops it if the process dies.
class FileLock {
public:
    // Blocks until the lock is held; creates the lock file (mode 0600) when needed. Throws FileError.
    explicit FileLock(const QString& lockFilePath);
    ~FileLock();

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace ebbcast
