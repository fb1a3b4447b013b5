#include "capture/linux/FfmpegAacWriter.h"

#include "capture/linux/FfmpegSupport.h"

#include <algorithm>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {

FfmpegAacWriter::FfmpegAacWriter(const QString& path)
    : path_(path)
    , file_(path, "ipod")
    , format_(file_.context())
{
    format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
}

FfmpegAacWriter::~FfmpegAacWriter()
{
    swr_free(&resampler_);
    if (fifo_ != nullptr)
        av_audio_fifo_free(fifo_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
}

AudioMediaWriterFactory FfmpegAacWriter::factory()
{
    return [](const QString& path) -> std::unique_ptr<AudioMediaWriter> {
        return std::make_unique<FfmpegAacWriter>(path);
    };
}

bool FfmpegAacWriter::addAudioInput()
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr || encoder_ != nullptr)
        return false;
    encoder_ = avcodec_alloc_context3(codec);
    encoder_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder_->sample_rate = sampleRate;
    av_channel_layout_default(&encoder_->ch_layout, channelCount);
    encoder_->bit_rate = bitRate;
    encoder_->time_base = AVRational{1, sampleRate};
    if ((format_->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The fast coder holds the bit rate at about half the CPU of the default two-loop search; at 192 kb/s the
    // difference in quality is not audible, and the audio shares the machine with the screen encoder.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "aac_coder", "fast", 0);
    const int opened = avcodec_open2(encoder_, codec, &options);
    av_dict_free(&options);
    if (opened < 0)
        return false;
    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr)
        return false;
    stream_->time_base = encoder_->time_base;
    if (avcodec_parameters_from_context(stream_->codecpar, encoder_) < 0)
        return false;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channelCount, encoder_->frame_size * 4);
    return frame_ != nullptr && packet_ != nullptr && fifo_ != nullptr;
}

void FfmpegAacWriter::startWriting(double)
{
    // The file's timeline starts at 0 with the first buffer and then follows the samples written.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+empty_moov+default_base_moof", 0);
    av_dict_set_int(&options, "frag_duration", fragmentMicroseconds, 0);
    const int result = file_.writeHeader(&options);
    av_dict_free(&options);
    if (result < 0) {
        fail(u"Could not start the audio file"_s, result);
        return;
    }
    status_ = Status::writing;
}

void FfmpegAacWriter::fail(const QString& what, int code)
{
    status_ = Status::failed;
    error_ = what + u" \""_s + path_ + u"\": "_s + FfmpegSupport::errorText(code);
}

bool FfmpegAacWriter::ensureResampler(const AudioSampleBuffer& buffer)
{
    if (resampler_ != nullptr && resamplerRate_ == buffer.sampleRate &&
        resamplerChannels_ == buffer.channelCount)
        return true;
    swr_free(&resampler_);
    AVChannelLayout input{};
    av_channel_layout_default(&input, buffer.channelCount);
    int result = swr_alloc_set_opts2(&resampler_, &encoder_->ch_layout, AV_SAMPLE_FMT_FLTP, sampleRate,
                                     &input, AV_SAMPLE_FMT_S16, buffer.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&input);
    if (result >= 0)
        result = swr_init(resampler_);
    if (result < 0) {
        fail(u"Could not convert the audio for"_s, result);
        return false;
    }
    resamplerRate_ = buffer.sampleRate;
    resamplerChannels_ = buffer.channelCount;
    return true;
}

void FfmpegAacWriter::append(const AudioSampleBuffer& buffer)
{
    if (!isReadyForMoreMediaData() || buffer.channelCount <= 0 || buffer.sampleRate <= 0)
        return;
    const int frames = static_cast<int>(buffer.data.size() / (2 * buffer.channelCount));
    if (frames == 0 || !ensureResampler(buffer))
        return;

    const int capacity = swr_get_out_samples(resampler_, frames);
    if (av_audio_fifo_realloc(fifo_, av_audio_fifo_size(fifo_) + capacity) < 0) {
        fail(u"Could not buffer the audio for"_s, AVERROR(ENOMEM));
        return;
    }
    // Convert straight into the FIFO's free space would need its internals; a frame serves as scratch space.
    AVFrame* scratch = av_frame_alloc();
    scratch->format = AV_SAMPLE_FMT_FLTP;
    scratch->nb_samples = capacity;
    av_channel_layout_copy(&scratch->ch_layout, &encoder_->ch_layout);
    int result = av_frame_get_buffer(scratch, 0);
    if (result >= 0) {
        const auto* input = reinterpret_cast<const std::uint8_t*>(buffer.data.constData());
        result = swr_convert(resampler_, scratch->data, capacity, &input, frames);
        if (result > 0)
            av_audio_fifo_write(fifo_, reinterpret_cast<void**>(scratch->data), result);
    }
    av_frame_free(&scratch);
    if (result < 0) {
        fail(u"Could not convert the audio for"_s, result);
        return;
    }
    encodeAvailable(false);
}

bool FfmpegAacWriter::encodeAvailable(bool flush)
{
    const int frameSize = encoder_->frame_size;
    while (av_audio_fifo_size(fifo_) >= frameSize || (flush && av_audio_fifo_size(fifo_) > 0)) {
        const int count = std::min(av_audio_fifo_size(fifo_), frameSize);
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = sampleRate;
        frame_->nb_samples = count;
        av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
        int result = av_frame_get_buffer(frame_, 0);
        if (result >= 0)
            result = av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data), count);
        frame_->pts = samplesEncoded_;
        samplesEncoded_ += count;
        if (result >= 0)
            result = avcodec_send_frame(encoder_, frame_);
        av_frame_unref(frame_);
        if (result < 0) {
            fail(u"Could not encode the audio for"_s, result);
            return false;
        }
        if (!drainPackets())
            return false;
    }
    if (flush) {
        avcodec_send_frame(encoder_, nullptr);
        return drainPackets();
    }
    return true;
}

bool FfmpegAacWriter::drainPackets()
{
    bool writing = false;
    const int result = FfmpegSupport::writeEncodedPackets(encoder_, format_, stream_, packet_, writing);
    if (result < 0) {
        fail(writing ? u"Could not write the audio file"_s : u"Could not encode the audio for"_s, result);
        return false;
    }
    return true;
}

void FfmpegAacWriter::finishWriting()
{
    if (status_ == Status::writing) {
        if (encodeAvailable(true)) {
            const int result = file_.writeTrailer();
            if (result < 0)
                fail(u"Could not finish the audio file"_s, result);
        }
        if (file_.writeError() < 0 && status_ != Status::failed)
            fail(u"Could not write the audio file"_s, file_.writeError());
        if (status_ != Status::failed)
            status_ = Status::completed;
    }
    file_.close();
}

} // namespace ebbcast
