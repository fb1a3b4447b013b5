#pragma once

#include "core/base/FileError.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace ebbcast {

// A read-only device over preamble + file + epilogue: an upload body of known size that never holds the
// file. Random access, so the network layer can rewind it to send the request again. A failed read of the
// file (an error, or a file that became shorter) fails the read, keeps the FileError in failure() and calls
// onReadFailure once, so the caller can abort the request.
// Main thread: read by the network layer on the thread that created it.
class MultipartUploadDevice : public QIODevice {
public:
    // Opens the file first: throws FileError when it is not a readable regular file; nothing else is done.
    static std::unique_ptr<MultipartUploadDevice> open(const QString& filePath, QByteArray preamble,
                                                       QByteArray epilogue);

    // `file` is open for reading; exactly `fileSize` bytes of it are sent.
    MultipartUploadDevice(QByteArray preamble, std::unique_ptr<QIODevice> file, qint64 fileSize,
                          QByteArray epilogue, QString filePath);
    ~MultipartUploadDevice() override;

    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 position) override;
    bool atEnd() const override;

    const std::optional<FileError>& failure() const noexcept { return failure_; }
    std::function<void()> onReadFailure;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    qint64 readFile(char* data, qint64 offset, qint64 maxSize);
    void fail(const QString& reason);

    QByteArray preamble_;
    std::unique_ptr<QIODevice> file_;
    qint64 fileSize_;
    QByteArray epilogue_;
    QString filePath_;
    qint64 position_ = 0;
    std::optional<FileError> failure_;
};

} // namespace ebbcast
