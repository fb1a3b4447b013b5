#pragma once

#include <cstdint>
#include <memory>

struct AVAudioFifo;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;

namespace ebbcast {

// Frees an FFmpeg object with the function its library has for it; null is ignored.
struct FfmpegFree {
    void operator()(AVCodecContext* encoder) const;
    void operator()(AVFrame* frame) const;
    void operator()(AVPacket* packet) const;
    void operator()(SwrContext* resampler) const;
    void operator()(AVAudioFifo* fifo) const;
    void operator()(AVIOContext* io) const; // a custom one, with its buffer
};

// Closes a media input opened with avformat_open_input (or frees one allocated for it and never opened).
struct FfmpegCloseInput {
    void operator()(AVFormatContext* input) const;
};

// Closes an output's file, if it is open, and frees its muxer context.
struct FfmpegCloseOutput {
    void operator()(AVFormatContext* output) const;
};

using FfmpegCodecContext = std::unique_ptr<AVCodecContext, FfmpegFree>;
using FfmpegFrame = std::unique_ptr<AVFrame, FfmpegFree>;
using FfmpegPacket = std::unique_ptr<AVPacket, FfmpegFree>;
using FfmpegResampler = std::unique_ptr<SwrContext, FfmpegFree>;
using FfmpegAudioFifo = std::unique_ptr<AVAudioFifo, FfmpegFree>;
using FfmpegCustomIo = std::unique_ptr<AVIOContext, FfmpegFree>;
using FfmpegInput = std::unique_ptr<AVFormatContext, FfmpegCloseInput>;
using FfmpegOutput = std::unique_ptr<AVFormatContext, FfmpegCloseOutput>;

// Options for one FFmpeg call. The call takes the ones it knows and leaves the rest; whatever is left is
// freed with this object.
class FfmpegOptions {
public:
    FfmpegOptions() = default;
    ~FfmpegOptions();

    FfmpegOptions(const FfmpegOptions&) = delete;
    FfmpegOptions& operator=(const FfmpegOptions&) = delete;

    FfmpegOptions& set(const char* key, const char* value);
    FfmpegOptions& set(const char* key, std::int64_t value);

    // For the call that takes the options.
    AVDictionary** get() { return &dictionary_; }

private:
    AVDictionary* dictionary_ = nullptr;
};

} // namespace ebbcast
