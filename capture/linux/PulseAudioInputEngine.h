#pragma once

#include "capture/AudioInputEngine.h"
#include "capture/linux/PulseAudioConnection.h"
#include "capture/linux/PulseAudioRecordStream.h"

#include <chrono>
#include <memory>

namespace ebbcast {

// The default PulseAudio source as an input engine: 32-bit float at the source's own rate and channel count,
// delivered in buffers of the tap's size on the PulseAudio thread. A new default source, the recorded source
// disappearing, the stream ending and the server going away all count as configuration changes.
// Threads: control calls from one thread at a time (the owner's or its serial queue); tap and handler run on
// the PulseAudio thread. removeTap() and stop() return only once no tap call is running.
class PulseAudioInputEngine : public AudioInputEngine {
public:
    // `fragment`: how long the server gathers input before it sends it; zero: one tap buffer. A level meter
    // that only needs a few readings a second asks for more, and wakes the process that much less often.
    explicit PulseAudioInputEngine(std::chrono::milliseconds fragment = std::chrono::milliseconds(0));
    ~PulseAudioInputEngine() override;

    AudioInputFormat inputFormat() override;
    void installTap(std::uint32_t bufferSize, const AudioInputFormat& format, TapBlock block) override;
    void removeTap() override;
    void prepare() override;
    void start() override;
    void stop() override;
    void setConfigurationChangeHandler(std::function<void()> handler) override;

private:
    void notifyConfigurationChange();

    PulseAudioConnection connection_{QStringLiteral("Ebbcast")};
    std::unique_ptr<PulseAudioRecordStream> stream_;
    // Guarded by the connection's loop lock.
    TapBlock tap_;
    AudioInputFormat tapFormat_;
    std::uint32_t tapBufferFrames_ = 1024;
    std::chrono::milliseconds fragment_;
    std::function<void()> configurationChanged_;
};

} // namespace ebbcast
