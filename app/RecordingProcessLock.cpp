#include "app/RecordingProcessLock.h"

#include "core/base/EbbcastError.h"
#include "core/base/FileLock.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QByteArray noteFor(const QString& folder)
{
    return QByteArray::number(static_cast<qint64>(::getpid())) + '\n' + folder.toUtf8() + '\n';
}

} // namespace

RecordingProcessLock::RecordingProcessLock(QString lockFilePath)
    : path_(std::move(lockFilePath))
{}

RecordingProcessLock::~RecordingProcessLock() = default;

std::optional<RecordingProcessLock::Holder> RecordingProcessLock::acquire()
{
    QDir().mkpath(QFileInfo(path_).absolutePath());
    FileLock::TryResult result = FileLock::tryAcquire(path_, true);
    if (result.attempt == FileLock::Attempt::acquired) {
        lock_ = std::move(result.lock);
        noteSessionFolder(QString());
        return std::nullopt;
    }
    // Held by a live process: its note says which one and where it records.
    const QList<QByteArray> lines = FileLock::readNote(path_).split('\n');
    Holder holder;
    holder.pid = lines.value(0).toLongLong();
    holder.sessionFolder = QString::fromUtf8(lines.value(1));
    return holder;
}

void RecordingProcessLock::noteSessionFolder(const QString& folder)
{
    if (!lock_)
        return;
    try {
        lock_->writeNote(noteFor(folder));
    } catch (const EbbcastError&) {
        // A full disk: other processes then learn only that someone records.
    }
}

void RecordingProcessLock::release()
{
    lock_.reset(); // the file stays: removing it would race with a process about to lock it
}

} // namespace ebbcast
