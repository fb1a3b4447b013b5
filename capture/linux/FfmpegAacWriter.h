#pragma once

#include "capture/AudioMediaWriter.h"
#include "capture/linux/FfmpegAacEncoder.h"
#include "capture/linux/FfmpegOutputFile.h"

#include <cstdint>

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

    static constexpr int sampleRate = FfmpegAacEncoder::sampleRate;
    static constexpr int channelCount = 2;
    static constexpr std::int64_t bitRate = 192000;
    static constexpr std::int64_t fragmentMicroseconds = 250000;

private:
    FfmpegOutputFile file_;
    FfmpegAacEncoder encoder_;
};

} // namespace ebbcast
