#pragma once

#include "AudioSampleBuffer.h"

#include <functional>

namespace ebbcast {

// The computer's own sound output as a stream of sample buffers.
// The handler runs on the source's own thread; its owner moves buffers where they are processed.
class SystemAudioSource {
public:
    using Handler = std::function<void(const AudioSampleBuffer&)>;

    virtual ~SystemAudioSource() = default;

    // Throws AudioDeviceError when there is nothing to record from.
    virtual void start(Handler handler) = 0;
    // After stop() returns the handler is not running and will not run again.
    virtual void stop() = 0;
};

} // namespace ebbcast
