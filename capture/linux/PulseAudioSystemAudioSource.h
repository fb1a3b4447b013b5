#pragma once

#include "capture/SystemAudioSource.h"
#include "capture/linux/PulseAudioConnection.h"
#include "capture/linux/PulseAudioRecordStream.h"
#include "core/base/SerialQueue.h"

#include <memory>
#include <mutex>

namespace ebbcast {

// System audio from the monitor of the default PulseAudio sink: signed 16-bit, 48 kHz, stereo, in buffers of
// 1024 frames stamped with their capture time. When the default sink changes or the stream ends, the source
// reconnects to the new default sink's monitor on its serial queue.
// Threads: start()/stop() from the owner's thread; the handler runs on the PulseAudio thread.
class PulseAudioSystemAudioSource : public SystemAudioSource {
public:
    PulseAudioSystemAudioSource();
    ~PulseAudioSystemAudioSource() override;

    void start(Handler handler, FailureHandler failed) override;
    void stop() override;

    static constexpr int sampleRate = 48000;
    static constexpr int channelCount = 2;
    static constexpr std::uint32_t framesPerBuffer = 1024;

private:
    void connectStream();
    void reconnect();

    PulseAudioConnection connection_{QStringLiteral("Ebbcast")};
    std::unique_ptr<PulseAudioRecordStream> stream_;
    std::mutex handlerLock_;
    Handler handler_;
    FailureHandler failed_;
    bool running_ = false; // guarded by handlerLock_
    SerialQueue reconnectQueue_{"Tavilon.SystemAudio"};
};

} // namespace ebbcast
