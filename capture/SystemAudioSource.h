#pragma once

#include "capture/AudioSampleBuffer.h"

#include <QString>

#include <functional>

namespace ebbcast {

// The computer's own sound output as a stream of sample buffers.
// The handler runs on the source's own thread; its owner moves buffers where they are processed.
class SystemAudioSource {
public:
    using Handler = std::function<void(const AudioSampleBuffer&)>;
    // Called on the source's own thread when it stops delivering for good (the sound server went away and
    // cannot be reached again), with a readable reason.
    using FailureHandler = std::function<void(const QString& reason)>;

    virtual ~SystemAudioSource() = default;

    // Throws AudioDeviceError when there is nothing to record from.
    virtual void start(Handler handler, FailureHandler failed) = 0;
    // After stop() returns the handler is not running and will not run again.
    virtual void stop() = 0;
};

} // namespace ebbcast
