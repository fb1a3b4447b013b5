#pragma once

#include "capture/linux/FfmpegHandles.h"

#include <cstdint>

struct AVStream;

namespace ebbcast {

class FfmpegOutputFile;

// The AAC track of a file being written: FFmpeg's native encoder with its fast coder at 48 kHz, fed
// interleaved samples of any rate, channel count and sample format through a resampler into a FIFO that is
// cut into the encoder's frames. Each frame is stamped with the number of samples before it, so the track is
// exactly as long as the sound put in (silence included). Set up before the file is started; failures throw
// RecorderError with the file's path.
class FfmpegAacEncoder {
public:
    enum class SampleFormat { s16, f32 };

    static constexpr int sampleRate = 48000;

    // Sets up the encoder and adds its stream to the file. Throws RecorderError (writerSetupFailed).
    FfmpegAacEncoder(FfmpegOutputFile& file, int channelCount, std::int64_t bitRate);

    FfmpegAacEncoder(const FfmpegAacEncoder&) = delete;
    FfmpegAacEncoder& operator=(const FfmpegAacEncoder&) = delete;

    // Converts `frames` interleaved frames and encodes every complete encoder frame. Throws RecorderError
    // (writeFailed).
    void append(const void* samples, int frames, SampleFormat format, int rate, int channelCount);
    // Puts `samples` samples (at 48 kHz) of silence into the track. Throws RecorderError (writeFailed).
    void appendSilence(std::int64_t samples);
    // Encodes what is left, then drains the encoder. Throws RecorderError (writeFailed).
    void finish();

    // The samples (at 48 kHz) put into the track so far, encoded or waiting for a full frame.
    std::int64_t samplesWritten() const;
    int channelCount() const;

private:
    void ensureResampler(SampleFormat format, int rate, int channelCount);
    void encodeAvailable(bool flush);

    FfmpegOutputFile& file_;
    FfmpegCodecContext encoder_;
    AVStream* stream_ = nullptr; // owned by the file's muxer context
    FfmpegResampler resampler_;
    SampleFormat resamplerFormat_ = SampleFormat::s16;
    int resamplerRate_ = 0;
    int resamplerChannels_ = 0;
    FfmpegAudioFifo fifo_;
    FfmpegFrame frame_;
    FfmpegPacket packet_;
    std::int64_t samplesEncoded_ = 0;
};

} // namespace ebbcast
