#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

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

    enum class Attempt { acquired, heldElsewhere, noLockFile };
    struct TryResult {
        Attempt attempt = Attempt::noLockFile;
        std::unique_ptr<FileLock> lock; // set when acquired
    };
    // Takes the lock without waiting. With `create` false a missing lock file is reported as noLockFile
    // and none is made. Throws FileError for failures other than a lock held by someone else.
    static TryResult tryAcquire(const QString& lockFilePath, bool create);

    // Replaces the lock file's content with a short note (who holds it), while the lock is held.
    void writeNote(const QByteArray& note);
    // The note of a lock file, as its holder wrote it; empty when there is none or it cannot be read.
    static QByteArray readNote(const QString& lockFilePath);

    // Removes the lock file and then releases the lock, so a waiting process finds the file gone.
    void removeAndRelease();

private:
    FileLock(int fd, QString path);

    int fd_ = -1;
    QString path_;
};

} // namespace ebbcast
