#pragma once

#include "capture/AudioInputBuffer.h"
#include "capture/AudioInputFormat.h"

#include <cstdint>
#include <functional>

namespace ebbcast {

// An audio input engine recording the system's default input.
// The tap block runs on the engine's own thread; the configuration-change handler on whatever thread notices
// the change (a new default input, the input disappearing, the sound server restarting). Control calls come
// from the owner's thread or from one serial queue, never at the same time.
class AudioInputEngine {
public:
    using TapBlock = std::function<void(const AudioInputBuffer&)>;

    virtual ~AudioInputEngine() = default;

    // The format of the default input. A format with a sample rate of 0 means the input is unknown.
    virtual AudioInputFormat inputFormat() = 0;

    // The block receives buffers of `bufferSize` frames in `format` while the engine runs.
    virtual void installTap(std::uint32_t bufferSize, const AudioInputFormat& format, TapBlock block) = 0;
    virtual void removeTap() = 0;

    virtual void prepare() = 0;
    // Throws EbbcastError (RecorderError) when the input cannot be started.
    virtual void start() = 0;
    virtual void stop() = 0;

    // Replaces the handler; an empty function removes it.
    virtual void setConfigurationChangeHandler(std::function<void()> handler) = 0;
};

} // namespace ebbcast
