#pragma once

#include "capture/ScreenFrame.h"

#include <QString>

#include <functional>
#include <memory>

namespace ebbcast {

// A video file being written from frames. The factory creates the file for a size and sets up its encoder;
// frames are appended with explicit times (seconds from the movie's start at zero), then the file is
// finished. Once append() or finish() has thrown, the writer is only destroyed (the file keeps what reached
// it). One thread at a time.
class VideoMediaWriter {
public:
    virtual ~VideoMediaWriter() = default;

    // Encodes the frame into the movie; false when the frame is left out (one in the same millisecond as the
    // one before it, or one without an image or smaller than the movie). Throws RecorderError (writeFailed)
    // when it cannot be encoded or written, with the library's reason.
    virtual bool append(const ScreenFrame& frame, double presentationTimeSeconds) = 0;
    // Flushes the encoder and completes and closes the file; blocking; called once, last. Throws
    // RecorderError (writeFailed) when the file could not be completed.
    virtual void finish() = 0;
};

// Creates a writer for a path and an even width and height. Throws RecorderError: writerSetupFailed when the
// encoder cannot be set up for them, writeFailed when the file cannot be created. A factory that throws
// leaves no file.
using VideoMediaWriterFactory =
    std::function<std::unique_ptr<VideoMediaWriter>(const QString& path, int width, int height)>;

} // namespace ebbcast
