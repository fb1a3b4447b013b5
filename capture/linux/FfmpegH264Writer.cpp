#include "capture/linux/FfmpegH264Writer.h"

#include "capture/linux/FfmpegSupport.h"

#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {

FfmpegH264Writer::FfmpegH264Writer(const QString& path, int width, int height)
    : path_(path)
    , width_(width)
    , height_(height)
    , file_(path, "mov")
    , format_(file_.context())
{
    // Without this a completed fragment of a still screen waits in the output buffer for tens of seconds.
    format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
}

FfmpegH264Writer::~FfmpegH264Writer()
{
    sws_freeContext(converter_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
}

VideoMediaWriterFactory FfmpegH264Writer::factory()
{
    return [](const QString& path, int width, int height) -> std::unique_ptr<VideoMediaWriter> {
        return std::make_unique<FfmpegH264Writer>(path, width, height);
    };
}

bool FfmpegH264Writer::addVideoInput()
{
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr || encoder_ != nullptr || width_ <= 0 || height_ <= 0 || width_ % 2 != 0 ||
        height_ % 2 != 0)
        return false;
    encoder_ = avcodec_alloc_context3(codec);
    encoder_->width = width_;
    encoder_->height = height_;
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->time_base = AVRational{1, 1000}; // frames carry their capture times, in milliseconds
    encoder_->framerate = AVRational{30, 1};
    encoder_->bit_rate = averageBitRate;
    encoder_->gop_size = 30;
    // No B-frames: frames leave the encoder in the order they came, so the movie's first frame is shown at
    // 0 (fragmented movies carry no edit list to hide a reordering delay) and a crash loses less.
    encoder_->max_b_frames = 0;
    if ((format_->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", preset, 0);
    av_dict_set(&options, "profile", "high", 0);
    // Every frame leaves the encoder as soon as it is encoded (no look-ahead, no frame-thread delay), so a
    // fragment reaches the file as soon as the next keyframe is encoded: a crash loses at most about a
    // second.
    av_dict_set(&options, "tune", "zerolatency", 0);
    const int opened = avcodec_open2(encoder_, codec, &options);
    av_dict_free(&options);
    if (opened < 0)
        return false;
    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr || avcodec_parameters_from_context(stream_->codecpar, encoder_) < 0)
        return false;
    stream_->time_base = AVRational{1, 90000};
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (frame_ == nullptr || packet_ == nullptr)
        return false;
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width_;
    frame_->height = height_;
    return av_frame_get_buffer(frame_, 0) >= 0;
}

void FfmpegH264Writer::startWriting()
{
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+frag_keyframe+empty_moov+default_base_moof", 0);
    av_dict_set_int(&options, "frag_duration", fragmentMicroseconds, 0);
    const int result = file_.writeHeader(&options);
    av_dict_free(&options);
    if (result < 0) {
        fail(u"Could not start the movie"_s, result);
        return;
    }
    status_ = Status::writing;
}

void FfmpegH264Writer::fail(const QString& what, int code)
{
    status_ = Status::failed;
    error_ = what + u" \""_s + path_ + u"\": "_s + FfmpegSupport::errorText(code);
}

bool FfmpegH264Writer::append(const ScreenFrame& frame, double presentationTimeSeconds)
{
    if (!isReadyForMoreMediaData() || !frame.hasImage() || frame.width < width_ || frame.height < height_)
        return false;
    const std::int64_t pts = std::llround(presentationTimeSeconds * 1000.0);
    if (pts <= lastPtsMilliseconds_)
        return false; // two frames in the same millisecond: the movie keeps the first
    lastPtsMilliseconds_ = pts;

    converter_ = sws_getCachedContext(converter_, width_, height_, AV_PIX_FMT_BGR0, width_, height_,
                                      AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    int result = converter_ != nullptr ? av_frame_make_writable(frame_) : AVERROR(ENOMEM);
    if (result >= 0) {
        const auto* source = reinterpret_cast<const std::uint8_t*>(frame.pixels.constData());
        const int sourceStride = frame.bytesPerLine;
        sws_scale(converter_, &source, &sourceStride, 0, height_, frame_->data, frame_->linesize);
        frame_->pts = pts;
        // A keyframe, and so a new fragment, every second of movie time whatever the frame rate: a crash
        // loses at most about a second of the movie.
        const bool keyframeDue =
            lastKeyframeMilliseconds_ < 0 || pts - lastKeyframeMilliseconds_ >= keyframeIntervalMilliseconds;
        frame_->pict_type = keyframeDue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (keyframeDue)
            lastKeyframeMilliseconds_ = pts;
        result = avcodec_send_frame(encoder_, frame_);
    }
    if (result < 0) {
        fail(u"Could not encode the movie"_s, result);
        return false;
    }
    if (!drainPackets())
        return false;
    if (!firstFragmentWritten_) {
        // The first frame goes to the disk at once, in a fragment of its own: a session killed in its first
        // moments still has a movie.
        firstFragmentWritten_ = true;
        const int flushed = av_write_frame(format_, nullptr);
        if (flushed < 0 || file_.writeError() < 0) {
            fail(u"Could not write the movie"_s, flushed < 0 ? flushed : file_.writeError());
            return false;
        }
    }
    return true;
}

bool FfmpegH264Writer::drainPackets()
{
    bool writing = false;
    const int result = FfmpegSupport::writeEncodedPackets(encoder_, format_, stream_, packet_, writing);
    if (result < 0) {
        fail(writing ? u"Could not write the movie"_s : u"Could not encode the movie"_s, result);
        return false;
    }
    return true;
}

void FfmpegH264Writer::finishWriting()
{
    if (status_ == Status::writing) {
        avcodec_send_frame(encoder_, nullptr);
        if (drainPackets()) {
            const int result = file_.writeTrailer();
            if (result < 0)
                fail(u"Could not finish the movie"_s, result);
        }
        if (file_.writeError() < 0 && status_ != Status::failed)
            fail(u"Could not write the movie"_s, file_.writeError());
        if (status_ != Status::failed)
            status_ = Status::completed;
    }
    file_.close();
}

} // namespace ebbcast
