#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace ebbcast {

// The local file of one upload, read by offset. It must keep the size it had when the upload began: every
// read checks the open file's size first and that it delivered every byte asked for, else it throws
// GoogleDriveError::fileChanged. Blocking: call it from a worker thread (one thread at a time).
class UploadSource {
public:
    struct Attributes {
        qint64 size = 0;
        QDateTime modified; // UTC, with the file system's sub-second precision

        bool operator==(const Attributes&) const = default;
    };

    // The file's size and modification time. Throws FileError when they cannot be read or the path is not a
    // regular file.
    static Attributes attributes(const QString& path);

    // Opens the file that is expected to be `expectedSize` bytes long. Throws FileError.
    UploadSource(const QString& path, qint64 expectedSize);
    ~UploadSource();
    UploadSource(const UploadSource&) = delete;
    UploadSource& operator=(const UploadSource&) = delete;

    // `length` bytes from `offset`. Throws FileError (read error) or GoogleDriveError::fileChanged.
    QByteArray read(qint64 offset, qint64 length) const;
    qint64 size() const noexcept { return size_; }

private:
    void checkSize() const;

    QString path_;
    QString fileName_;
    qint64 size_;
    int descriptor_ = -1;
};

} // namespace ebbcast
