#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace ebbcast {

class FileLock;

// One recording at a time per user: the process that records holds an advisory lock on "recording.lock" in
// the application's state folder for as long as it records, with its process id and session folder written
// in the file. The kernel releases it if the process dies. The command line takes it now; the tray
// application takes the same one.
// Main thread.
class RecordingProcessLock {
public:
    struct Holder {
        qint64 pid = 0;
        QString sessionFolder; // empty while the holder is still starting
    };

    explicit RecordingProcessLock(QString lockFilePath);
    ~RecordingProcessLock();

    RecordingProcessLock(const RecordingProcessLock&) = delete;
    RecordingProcessLock& operator=(const RecordingProcessLock&) = delete;

    // Takes the lock, or tells who holds it. Throws FileError when the lock file cannot be used at all.
    std::optional<Holder> acquire();
    // Records the session folder for other processes to name. Failures are ignored: the note is a courtesy.
    void noteSessionFolder(const QString& folder);
    void release();

private:
    QString path_;
    std::unique_ptr<FileLock> lock_;
};

} // namespace ebbcast
