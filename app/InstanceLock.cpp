#include "app/InstanceLock.h"

#include "app/Console.h"
#include "core/base/AppPaths.h"
#include "core/base/EbbcastError.h"
#include "core/base/FileLock.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QByteArray roleName(InstanceLock::Role role)
{
    switch (role) {
    case InstanceLock::Role::record:
        return "record";
    case InstanceLock::Role::recover:
        return "recover";
    case InstanceLock::Role::application:
        break;
    }
    return "application";
}

} // namespace

InstanceLock::InstanceLock(QString lockFilePath)
    : path_(std::move(lockFilePath))
{}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::lockFilePath(const AppPaths& paths)
{
    return paths.stateDirectory() + u"/app.lock"_s;
}

std::optional<InstanceLock::Holder> InstanceLock::acquire(Role role)
{
    QDir().mkpath(QFileInfo(path_).absolutePath());
    FileLock::TryResult result = FileLock::tryAcquire(path_, true);
    if (result.attempt == FileLock::Attempt::acquired) {
        lock_ = std::move(result.lock);
        try {
            lock_->writeNote("pid " + QByteArray::number(static_cast<qint64>(::getpid())) + "\nrole " +
                             roleName(role) + '\n');
        } catch (const EbbcastError&) {
            // A full disk: a later process then learns only that something runs.
        }
        return std::nullopt;
    }
    // Held by a live process: "pid N" and "role R" lines (earlier builds wrote the first alone).
    Holder holder;
    for (const QByteArray& line : FileLock::readNote(path_).split('\n')) {
        if (line.startsWith("pid "))
            holder.pid = line.mid(4).trimmed().toLongLong();
        else if (line == "role record")
            holder.role = Role::record;
        else if (line == "role recover")
            holder.role = Role::recover;
    }
    return holder;
}

std::optional<int> InstanceLock::takeOrExplain(Role role, Console& console)
{
    try {
        if (const auto holder = acquire(role)) {
            console.error(refusal(role, *holder));
            return 3;
        }
    } catch (const EbbcastError& error) {
        console.error(error.description());
        return 1;
    }
    return std::nullopt;
}

QString InstanceLock::refusal(Role wanted, const Holder& holder)
{
    const QString pid = holder.pid > 0 ? u" (pid "_s + QString::number(holder.pid) + u')' : QString();
    switch (holder.role) {
    case Role::application:
        if (wanted == Role::record)
            return u"Ebbcast is running"_s + pid + u": 'ebbcast ctl start' records with it."_s;
        if (wanted == Role::recover)
            return u"Ebbcast is running"_s + pid +
                   u" and repairs interrupted sessions itself at launch; 'ebbcast ctl status' tells what it does."_s;
        return u"Ebbcast is already running"_s + pid + u'.';
    case Role::record:
        if (wanted == Role::recover)
            return u"'ebbcast record' is running"_s + pid + u": its session is not interrupted."_s;
        return u"'ebbcast record' is running"_s + pid + u"; try again when it has ended."_s;
    case Role::recover:
        break;
    }
    return u"'ebbcast recover' is repairing a session"_s + pid + u"; try again when it has ended."_s;
}

} // namespace ebbcast
