#pragma once

#include "capture/AudioMediaWriter.h"
#include "capture/linux/FfmpegOutputFile.h"

#include <cstdint>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwrContext;

namespace ebbcast {

// AAC (FFmpeg's native encoder with its fast coder), 48 kHz, stereo, 192 kb/s, in an MPEG-4 audio file (.m4a)
// written in fragments of at most a quarter second, each flushed to the file as it is complete, so a
// recording cut short by a crash plays up to its last fragment. Input buffers of any rate and channel count
// are converted; timestamps follow the samples written.
class FfmpegAacWriter : public AudioMediaWriter {
public:
    // Creates the file; throws FileError when it cannot be created.
    explicit FfmpegAacWriter(const QString& path);
    ~FfmpegAacWriter() override;

    bool addAudioInput() override;
    void startWriting(double sourceTimeSeconds) override;
    Status status() const override { return status_; }
    bool isReadyForMoreMediaData() const override { return status_ == Status::writing && !inputFinished_; }
    void append(const AudioSampleBuffer& buffer) override;
    void markAsFinished() override { inputFinished_ = true; }
    void finishWriting() override;
    QString errorDescription() const override { return error_; }

    static AudioMediaWriterFactory factory();

    static constexpr int sampleRate = 48000;
    static constexpr int channelCount = 2;
    static constexpr std::int64_t bitRate = 192000;
    static constexpr std::int64_t fragmentMicroseconds = 250000;

private:
    bool ensureResampler(const AudioSampleBuffer& buffer);
    bool encodeAvailable(bool flush);
    bool drainPackets();
    void fail(const QString& what, int code);

    QString path_;
    Status status_ = Status::unknown;
    bool inputFinished_ = false;
    QString error_;
    FfmpegOutputFile file_;
    AVFormatContext* format_; // the file's muxer context, owned by file_
    AVCodecContext* encoder_ = nullptr;
    AVStream* stream_ = nullptr;
    SwrContext* resampler_ = nullptr;
    int resamplerRate_ = 0;
    int resamplerChannels_ = 0;
    AVAudioFifo* fifo_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::int64_t samplesEncoded_ = 0;
};

} // namespace ebbcast
