#include "capture/linux/FfmpegAacEncoder.h"

#include "capture/linux/FfmpegOutputFile.h"
#include "capture/linux/FfmpegSupport.h"

#include <algorithm>
#include <array>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

RecorderError setupFailure(const QString& path, int code)
{
    return RecorderError::writerSetupFailed(u"Could not set up the AAC encoder for \""_s + path + u"\": "_s +
                                            FfmpegSupport::errorText(code));
}

AVSampleFormat avFormat(FfmpegAacEncoder::SampleFormat format)
{
    return format == FfmpegAacEncoder::SampleFormat::f32 ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16;
}

} // namespace

FfmpegAacEncoder::FfmpegAacEncoder(FfmpegOutputFile& file, int channelCount, std::int64_t bitRate)
    : file_(file)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr)
        throw setupFailure(file_.path(), AVERROR_ENCODER_NOT_FOUND);
    if (channelCount <= 0)
        throw setupFailure(file_.path(), AVERROR(EINVAL));
    encoder_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!encoder_ || !frame_ || !packet_)
        throw setupFailure(file_.path(), AVERROR(ENOMEM));
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = sampleRate;
    av_channel_layout_default(&encoder_->ch_layout, channelCount);
    encoder_->bit_rate = bitRate;
    encoder_->time_base = AVRational{1, sampleRate};
    if ((file_.context()->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The fast coder holds the bit rate at about half the CPU of the default two-loop search; the difference
    // in quality is not audible, and the audio shares the machine with a video encoder.
    FfmpegOptions encoderOptions;
    encoderOptions.set("aac_coder", "fast");
    const int opened = avcodec_open2(encoder_.get(), codec, encoderOptions.get());
    if (opened < 0)
        throw setupFailure(file_.path(), opened);
    stream_ = file_.addStream(encoder_.get(), encoder_->time_base);
    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channelCount, encoder_->frame_size * 4));
    if (!fifo_)
        throw setupFailure(file_.path(), AVERROR(ENOMEM));
}

std::int64_t FfmpegAacEncoder::samplesWritten() const
{
    return samplesEncoded_ + av_audio_fifo_size(fifo_.get());
}

int FfmpegAacEncoder::channelCount() const
{
    return encoder_->ch_layout.nb_channels;
}

void FfmpegAacEncoder::ensureResampler(SampleFormat format, int rate, int channelCount)
{
    if (resampler_ && resamplerFormat_ == format && resamplerRate_ == rate &&
        resamplerChannels_ == channelCount)
        return;
    resampler_.reset();
    AVChannelLayout input{};
    av_channel_layout_default(&input, channelCount);
    SwrContext* resampler = nullptr;
    int result = swr_alloc_set_opts2(&resampler, &encoder_->ch_layout, AV_SAMPLE_FMT_FLTP, sampleRate, &input,
                                     avFormat(format), rate, 0, nullptr);
    resampler_.reset(resampler);
    av_channel_layout_uninit(&input);
    if (result >= 0)
        result = swr_init(resampler_.get());
    if (result < 0) {
        resampler_.reset();
        throw file_.failure(u"Could not convert the audio for"_s, result);
    }
    resamplerFormat_ = format;
    resamplerRate_ = rate;
    resamplerChannels_ = channelCount;
}

void FfmpegAacEncoder::append(const void* samples, int frames, SampleFormat format, int rate,
                              int channelCount)
{
    if (frames <= 0)
        return;
    ensureResampler(format, rate, channelCount);

    const int capacity = swr_get_out_samples(resampler_.get(), frames);
    if (av_audio_fifo_realloc(fifo_.get(), av_audio_fifo_size(fifo_.get()) + capacity) < 0)
        throw file_.failure(u"Could not buffer the audio for"_s, AVERROR(ENOMEM));
    // Converting straight into the FIFO's free space would need its internals; a frame serves as scratch
    // space.
    const FfmpegFrame scratch(av_frame_alloc());
    if (!scratch)
        throw file_.failure(u"Could not buffer the audio for"_s, AVERROR(ENOMEM));
    scratch->format = AV_SAMPLE_FMT_FLTP;
    scratch->nb_samples = capacity;
    av_channel_layout_copy(&scratch->ch_layout, &encoder_->ch_layout);
    int result = av_frame_get_buffer(scratch.get(), 0);
    if (result >= 0) {
        const auto* input = static_cast<const std::uint8_t*>(samples);
        result = swr_convert(resampler_.get(), scratch->data, capacity, &input, frames);
        if (result > 0)
            av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(scratch->data), result);
    }
    if (result < 0)
        throw file_.failure(u"Could not convert the audio for"_s, result);
    encodeAvailable(false);
}

void FfmpegAacEncoder::appendSilence(std::int64_t samples)
{
    const int frameSize = encoder_->frame_size;
    const std::vector<float> zeros(static_cast<std::size_t>(frameSize), 0.0f);
    std::array<void*, AV_NUM_DATA_POINTERS> planes{};
    for (int channel = 0; channel < channelCount() && channel < AV_NUM_DATA_POINTERS; ++channel)
        planes[static_cast<std::size_t>(channel)] = const_cast<float*>(zeros.data());
    while (samples > 0) {
        const int count = static_cast<int>(std::min<std::int64_t>(samples, frameSize));
        if (av_audio_fifo_write(fifo_.get(), planes.data(), count) < count)
            throw file_.failure(u"Could not buffer the audio for"_s, AVERROR(ENOMEM));
        samples -= count;
        encodeAvailable(false);
    }
}

void FfmpegAacEncoder::encodeAvailable(bool flush)
{
    const int frameSize = encoder_->frame_size;
    AVAudioFifo* fifo = fifo_.get();
    AVFrame* frame = frame_.get();
    while (av_audio_fifo_size(fifo) >= frameSize || (flush && av_audio_fifo_size(fifo) > 0)) {
        const int count = std::min(av_audio_fifo_size(fifo), frameSize);
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = sampleRate;
        frame->nb_samples = count;
        av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout);
        int result = av_frame_get_buffer(frame, 0);
        if (result >= 0)
            result = av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), count);
        // Stamped after the encoder's priming (its first packet, 1024 samples), so that packet starts at 0,
        // not before: a fragmented movie starts each track at its first packet, and the muxer would otherwise
        // put the priming and the first sound both at 0. (An .m4a comes out the same either way.)
        frame->pts = samplesEncoded_ + encoder_->initial_padding;
        samplesEncoded_ += count;
        if (result >= 0)
            result = avcodec_send_frame(encoder_.get(), frame);
        av_frame_unref(frame);
        if (result < 0)
            throw file_.failure(u"Could not encode the audio for"_s, result);
        file_.writeEncodedPackets(encoder_.get(), stream_, packet_.get());
    }
    if (flush) {
        avcodec_send_frame(encoder_.get(), nullptr);
        file_.writeEncodedPackets(encoder_.get(), stream_, packet_.get());
    }
}

void FfmpegAacEncoder::finish()
{
    encodeAvailable(true);
}

} // namespace ebbcast
