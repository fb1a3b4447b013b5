#pragma once

#include "capture/AudioSampleBuffer.h"

#include <QString>

#include <functional>
#include <memory>

namespace ebbcast {

// A compressed audio file being written from sample buffers. The factory creates the file and sets up its
// encoder; the file's timeline begins with the first buffer appended and follows the samples written. Once
// append() or finish() has thrown, the writer is only destroyed (the file keeps what reached it); a writer
// destroyed without finish() leaves the file as far as it got. Used from one thread at a time.
class AudioMediaWriter {
public:
    virtual ~AudioMediaWriter() = default;

    // Encodes the buffer into the file. Throws RecorderError (writeFailed) when it cannot be converted,
    // encoded or written (a full disk, say), with the library's reason.
    virtual void append(const AudioSampleBuffer& buffer) = 0;
    // Flushes the encoder and completes and closes the file; blocking; called once, last. Throws
    // RecorderError (writeFailed) when the file could not be completed.
    virtual void finish() = 0;
};

// Creates a writer for a path. Throws RecorderError: writerSetupFailed when the encoder cannot be set up,
// writeFailed when the file cannot be created (the message names the path and the reason). A factory that
// throws leaves no file.
using AudioMediaWriterFactory = std::function<std::unique_ptr<AudioMediaWriter>(const QString& path)>;

} // namespace ebbcast
