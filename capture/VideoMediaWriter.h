#pragma once

#include "capture/ScreenFrame.h"

#include <QString>

#include <functional>
#include <memory>

namespace ebbcast {

// A video file being written from frames: created for a path and size, given its video input, started at the
// first frame, appended to with explicit times (seconds from the start), then finished. One thread at a time.
class VideoMediaWriter {
public:
    enum class Status { unknown, writing, completed, failed };

    virtual ~VideoMediaWriter() = default;

    // Sets up the encoder; false when the file cannot take the video input.
    virtual bool addVideoInput() = 0;
    // Starts the file; its timeline begins at zero.
    virtual void startWriting() = 0;
    virtual Status status() const = 0;
    virtual bool isReadyForMoreMediaData() const = 0;
    // False when the frame could not be written; the status then tells whether the writer failed.
    virtual bool append(const ScreenFrame& frame, double presentationTimeSeconds) = 0;
    virtual void markAsFinished() = 0;
    // Flushes the encoder and closes the file; blocking. The status ends completed or failed.
    virtual void finishWriting() = 0;
    virtual QString errorDescription() const = 0;
};

// Creates a writer for a path and an even width and height; throws EbbcastError when the file cannot be made.
using VideoMediaWriterFactory =
    std::function<std::unique_ptr<VideoMediaWriter>(const QString& path, int width, int height)>;

} // namespace ebbcast
