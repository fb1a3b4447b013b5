#pragma once

#include "capture/AudioSampleBuffer.h"

#include <QString>

#include <functional>
#include <memory>

namespace ebbcast {

// A compressed audio file being written from sample buffers: created for a path, given its audio input,
// started at the first buffer's time, appended to, then finished. Used from one thread at a time.
class AudioMediaWriter {
public:
    enum class Status { unknown, writing, completed, failed };

    virtual ~AudioMediaWriter() = default;

    // Sets up the encoder; false when the file cannot take the audio input.
    virtual bool addAudioInput() = 0;
    // Starts the file; its timeline begins at `sourceTimeSeconds`.
    virtual void startWriting(double sourceTimeSeconds) = 0;
    virtual Status status() const = 0;
    virtual bool isReadyForMoreMediaData() const = 0;
    // An encoder or disk failure turns the status to failed.
    virtual void append(const AudioSampleBuffer& buffer) = 0;
    virtual void markAsFinished() = 0;
    // Flushes the encoder and closes the file; blocking. The status ends completed or failed.
    virtual void finishWriting() = 0;
    // Why the writer failed; empty when it did not.
    virtual QString errorDescription() const = 0;
};

// Creates a writer for a path; throws EbbcastError when the file cannot be created.
using AudioMediaWriterFactory = std::function<std::unique_ptr<AudioMediaWriter>(const QString& path)>;

} // namespace ebbcast
