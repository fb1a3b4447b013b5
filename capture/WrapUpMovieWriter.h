#pragma once

#include "capture/AudioInputBuffer.h"
#include "capture/AudioInputFormat.h"
#include "capture/CameraFrame.h"

#include <QString>

#include <functional>
#include <memory>

namespace ebbcast {

// A camera-and-microphone movie being written: pictures and sound appended with explicit times (seconds
// from the movie's start at zero, the first picture's time), then finished. Once an append or finish() has
// thrown, the writer is only destroyed (the file keeps what reached it); a writer destroyed without finish()
// leaves the file as far as it got. Used from one thread at a time.
class WrapUpMovieWriter {
public:
    virtual ~WrapUpMovieWriter() = default;

    // Encodes the picture; false when it is left out (one at or before the time of the one before it, or one
    // of another size). Throws RecorderError (writeFailed) with the library's reason.
    virtual bool appendVideo(const CameraFrame& frame, double presentationTimeSeconds) = 0;
    // Encodes the sound, which begins at the given time; sound before the movie's start is cut off, and a
    // gap after the sound written so far is left silent. Throws RecorderError (writeFailed).
    virtual void appendAudio(const AudioInputBuffer& buffer, double presentationTimeSeconds) = 0;
    // Flushes the encoders and completes and closes the file; blocking; called once, last. Throws
    // RecorderError (writeFailed).
    virtual void finish() = 0;
};

// Creates the movie for pictures of a size and sound of a format. Throws RecorderError: writerSetupFailed
// when an encoder cannot be set up, writeFailed when the file cannot be created. A factory that throws leaves
// no file.
using WrapUpMovieWriterFactory = std::function<std::unique_ptr<WrapUpMovieWriter>(
    const QString& path, int width, int height, const AudioInputFormat& audioFormat)>;

} // namespace ebbcast
