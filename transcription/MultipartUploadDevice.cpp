#include "transcription/MultipartUploadDevice.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {

std::unique_ptr<MultipartUploadDevice> MultipartUploadDevice::open(const QString& filePath,
                                                                   QByteArray preamble, QByteArray epilogue)
{
    // A FIFO or a device would block or never end: only regular files are sent.
    const QFileInfo info(filePath);
    if (!info.exists())
        throw FileError(FileError::Code::readFailed, filePath, u"No such file or directory"_s);
    if (!info.isFile())
        throw FileError(FileError::Code::readFailed, filePath, u"not a regular file"_s);
    auto file = std::make_unique<QFile>(filePath);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw FileError(FileError::Code::readFailed, filePath, file->errorString());
    const qint64 size = file->size();
    return std::make_unique<MultipartUploadDevice>(std::move(preamble), std::move(file), size,
                                                   std::move(epilogue), filePath);
}

MultipartUploadDevice::MultipartUploadDevice(QByteArray preamble, std::unique_ptr<QIODevice> file,
                                             qint64 fileSize, QByteArray epilogue, QString filePath)
    : preamble_(std::move(preamble))
    , file_(std::move(file))
    , fileSize_(fileSize)
    , epilogue_(std::move(epilogue))
    , filePath_(std::move(filePath))
{
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

MultipartUploadDevice::~MultipartUploadDevice() = default;

qint64 MultipartUploadDevice::size() const
{
    return preamble_.size() + fileSize_ + epilogue_.size();
}

bool MultipartUploadDevice::seek(qint64 position)
{
    if (position < 0 || position > size())
        return false;
    QIODevice::seek(position);
    position_ = position;
    return true;
}

bool MultipartUploadDevice::atEnd() const
{
    return position_ >= size();
}

qint64 MultipartUploadDevice::readData(char* data, qint64 maxSize)
{
    if (failure_)
        return -1;
    qint64 done = 0;
    while (done < maxSize && position_ < size()) {
        const qint64 room = maxSize - done;
        qint64 taken = 0;
        const qint64 fileStart = preamble_.size();
        const qint64 epilogueStart = fileStart + fileSize_;
        if (position_ < fileStart) {
            taken = std::min(room, fileStart - position_);
            std::memcpy(data + done, preamble_.constData() + position_, static_cast<size_t>(taken));
        } else if (position_ < epilogueStart) {
            taken = readFile(data + done, position_ - fileStart, std::min(room, epilogueStart - position_));
            if (taken < 0)
                return -1;
        } else {
            taken = std::min(room, size() - position_);
            std::memcpy(data + done, epilogue_.constData() + (position_ - epilogueStart),
                        static_cast<size_t>(taken));
        }
        position_ += taken;
        done += taken;
    }
    return done;
}

qint64 MultipartUploadDevice::readFile(char* data, qint64 offset, qint64 maxSize)
{
    if (file_->pos() != offset && !file_->seek(offset)) {
        fail(file_->errorString());
        return -1;
    }
    const qint64 read = file_->read(data, maxSize);
    if (read < 0) {
        fail(file_->errorString());
        return -1;
    }
    if (read == 0) {
        fail(u"the file became shorter while it was sent"_s);
        return -1;
    }
    return read;
}

void MultipartUploadDevice::fail(const QString& reason)
{
    failure_ = FileError(FileError::Code::readFailed, filePath_, reason);
    setErrorString(failure_->description());
    if (onReadFailure)
        onReadFailure();
}

qint64 MultipartUploadDevice::writeData(const char*, qint64)
{
    return -1;
}

} // namespace ebbcast
