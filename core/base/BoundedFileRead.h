#pragma once

#include <QByteArray>
#include <QString>

namespace ebbcast {

// The bytes of a regular file of at most `maximumSize` bytes, or why there are none. The file is opened
// without blocking (a FIFO in its place cannot wait for a writer) and anything that is not a regular file is
// turned away before a read; a file that grows past the bound while it is read is too large. Any thread.
struct BoundedFileRead {
    enum class Status { ok, missing, unreadable };
    Status status = Status::missing;
    QByteArray bytes;
    QString
        problem; // unreadable: the system's reason, "not a regular file" or "the file is larger than N MiB"

    static BoundedFileRead read(const QString& path, qint64 maximumSize);
};

} // namespace ebbcast
