#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace ebbcast {

class AppPaths;
class Console;
class FileLock;

// One Ebbcast at work per user among the application, "ebbcast record" and "ebbcast recover": each holds an
// advisory lock on "app.lock" in the state folder for as long as it runs, with its process id and role
// written in the file; the kernel releases it when the process dies. The later one is refused with a text
// that says who holds it and what to do instead (the running application is reached with "ebbcast ctl").
// Main thread.
class InstanceLock {
public:
    enum class Role { application, record, recover };
    struct Holder {
        qint64 pid = 0;
        Role role = Role::application; // a note this version cannot read counts as the application
    };

    explicit InstanceLock(QString lockFilePath);
    // The user's lock file: app.lock in the state folder.
    static QString lockFilePath(const AppPaths& paths);
    ~InstanceLock();

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock for `role`, or tells who holds it. Throws EbbcastError when the lock file cannot be
    // used.
    std::optional<Holder> acquire(Role role);
    // acquire() for a command: nothing when taken, else the exit status with the reason on standard error
    // (3 held elsewhere, 1 the lock file cannot be used).
    std::optional<int> takeOrExplain(Role role, Console& console);
    // Why `wanted` may not run while `holder` holds the lock, and what to do instead (one line).
    static QString refusal(Role wanted, const Holder& holder);

private:
    QString path_;
    std::unique_ptr<FileLock> lock_;
};

} // namespace ebbcast
