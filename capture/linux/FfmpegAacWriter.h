#pragma once

#include "capture/AudioMediaWriter.h"
#include "capture/linux/FfmpegHandles.h"
#include "capture/linux/FfmpegOutputFile.h"

#include <cstdint>

struct AVStream;

namespace ebbcast {

// AAC (FFmpeg's native encoder with its fast coder), 48 kHz, stereo, 192 kb/s, in an MPEG-4 audio file (.m4a)
// written in fragments of at most a quarter second, each flushed to the file as it is complete, so a
// recording cut short by a crash plays up to its last fragment. Input buffers of any rate and channel count
// are converted; timestamps follow the samples written, from 0 at the first buffer.
class FfmpegAacWriter : public AudioMediaWriter {
public:
    // Sets up the encoder and creates the file with its header. Throws RecorderError.
    explicit FfmpegAacWriter(const QString& path);

    void append(const AudioSampleBuffer& buffer) override;
    void finish() override;

    static AudioMediaWriterFactory factory();

    static constexpr int sampleRate = 48000;
    static constexpr int channelCount = 2;
    static constexpr std::int64_t bitRate = 192000;
    static constexpr std::int64_t fragmentMicroseconds = 250000;

private:
    void ensureResampler(const AudioSampleBuffer& buffer);
    void encodeAvailable(bool flush);

    FfmpegOutputFile file_;
    FfmpegCodecContext encoder_;
    AVStream* stream_ = nullptr; // owned by the file's muxer context
    FfmpegResampler resampler_;
    int resamplerRate_ = 0;
    int resamplerChannels_ = 0;
    FfmpegAudioFifo fifo_;
    FfmpegFrame frame_;
    FfmpegPacket packet_;
    std::int64_t samplesEncoded_ = 0;
};

} // namespace ebbcast
