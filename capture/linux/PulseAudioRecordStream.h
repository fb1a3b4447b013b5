#pragma once

#include "capture/linux/PulseAudioConnection.h"
#include "capture/linux/PulseAudioHandles.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace ebbcast {

// One record stream on a connection, delivering whole buffers of a fixed number of frames in the format asked
// for (the server converts from the device's own). Gaps the server reports are skipped.
// Threads: start()/stop() with the loop unlocked; the reader and the interruption handler run on the loop's
// thread with the loop locked, so they must not call back into the connection.
class PulseAudioRecordStream {
public:
    enum class SampleFormat { float32, signed16 };
    using Reader = std::function<void(const void* interleaved, std::uint32_t frames)>;

    // `fragmentFrames` is how much the server gathers before it sends (at least one buffer): more frames mean
    // fewer wakeups and more latency.
    PulseAudioRecordStream(PulseAudioConnection& connection, QString name, SampleFormat format,
                           std::uint32_t sampleRate, int channelCount, std::uint32_t framesPerBuffer,
                           std::uint32_t fragmentFrames = 0);
    ~PulseAudioRecordStream();

    PulseAudioRecordStream(const PulseAudioRecordStream&) = delete;
    PulseAudioRecordStream& operator=(const PulseAudioRecordStream&) = delete;

    // Records from the named source (empty: the default source, followed when it changes).
    // `interrupted` is called when the server ends or moves the stream. Throws AudioDeviceError.
    void start(const QString& sourceName, Reader reader, std::function<void()> interrupted);
    // After stop() returns no reader call is running or will run.
    void stop();

    // The index of the source being recorded, PA_INVALID_INDEX when none.
    std::uint32_t sourceIndex();

private:
    void stopLocked();
    void readAvailable();
    static void onState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onMoved(pa_stream* stream, void* self);

    PulseAudioConnection& connection_;
    QString name_;
    SampleFormat format_;
    std::uint32_t sampleRate_;
    int channelCount_;
    std::uint32_t framesPerBuffer_;
    std::uint32_t fragmentFrames_;
    std::size_t frameBytes_;
    PulseStream stream_;
    Reader reader_;
    std::function<void()> interrupted_;
    std::vector<std::uint8_t> pending_;
    std::size_t pendingBytes_ = 0;
};

} // namespace ebbcast
