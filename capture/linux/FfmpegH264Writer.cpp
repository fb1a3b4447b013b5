#include "capture/linux/FfmpegH264Writer.h"

#include "capture/linux/FfmpegSupport.h"

#include <QScopeGuard>

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <libyuv/convert.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

RecorderError setupFailure(const QString& path, const QString& reason)
{
    return RecorderError::writerSetupFailed(u"Could not set up the H.264 encoder for \""_s + path +
                                            u"\": "_s + reason);
}

} // namespace

FfmpegH264Writer::FfmpegH264Writer(const QString& path, int width, int height)
    : width_(width)
    , height_(height)
    , file_(path, "mov",
            {u"Could not start the movie"_s, u"Could not encode the movie"_s, u"Could not write the movie"_s,
             u"Could not finish the movie"_s})
{
    if (width_ <= 0 || height_ <= 0 || width_ % 2 != 0 || height_ % 2 != 0)
        throw setupFailure(path, u"the size %1x%2 is not a positive even one"_s.arg(width_).arg(height_));
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr)
        throw setupFailure(path, FfmpegSupport::errorText(AVERROR_ENCODER_NOT_FOUND));
    encoder_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!encoder_ || !frame_ || !packet_)
        throw setupFailure(path, FfmpegSupport::errorText(AVERROR(ENOMEM)));
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
    if ((file_.context()->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    FfmpegOptions encoderOptions;
    // Every frame leaves the encoder as soon as it is encoded (no look-ahead, no frame-thread delay), so a
    // fragment reaches the file as soon as the next keyframe is encoded: a crash loses at most about a
    // second.
    encoderOptions.set("preset", preset).set("profile", "high").set("tune", "zerolatency");
    const int opened = avcodec_open2(encoder_.get(), codec, encoderOptions.get());
    if (opened < 0)
        throw setupFailure(path, FfmpegSupport::errorText(opened));
    stream_ = file_.addStream(encoder_.get(), AVRational{1, 90000});
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width_;
    frame_->height = height_;
    const int allocated = av_frame_get_buffer(frame_.get(), 0);
    if (allocated < 0)
        throw setupFailure(path, FfmpegSupport::errorText(allocated));

    FfmpegOptions fileOptions;
    fileOptions.set("movflags", "+frag_keyframe+empty_moov+default_base_moof")
        .set("frag_duration", fragmentMicroseconds);
    file_.start(fileOptions);
}

VideoMediaWriterFactory FfmpegH264Writer::factory()
{
    return [](const QString& path, int width, int height) -> std::unique_ptr<VideoMediaWriter> {
        return std::make_unique<FfmpegH264Writer>(path, width, height);
    };
}

bool FfmpegH264Writer::append(const ScreenFrame& frame, double presentationTimeSeconds)
{
    if (!frame.hasImage() || frame.width < width_ || frame.height < height_)
        return false;
    const std::int64_t pts = std::llround(presentationTimeSeconds * 1000.0);
    if (pts <= lastPtsMilliseconds_)
        return false; // two frames in the same millisecond: the movie keeps the first
    lastPtsMilliseconds_ = pts;

    int result = av_frame_make_writable(frame_.get());
    if (result >= 0) {
        // BT.601 limited range, chroma averaged over 2x2 pixels, as FFmpeg's scaler does it, in a tenth of
        // its time (a 1080p frame in about 0.4 ms with AVX2, 4.4 ms in the scaler's C path for BGR0).
        libyuv::ARGBToI420(frame.pixels.get(), frame.bytesPerLine, frame_->data[0], frame_->linesize[0],
                           frame_->data[1], frame_->linesize[1], frame_->data[2], frame_->linesize[2], width_,
                           height_);
        frame_->pts = pts;
        // A keyframe, and so a new fragment, every second of movie time whatever the frame rate: a crash
        // loses at most about a second of the movie.
        const bool keyframeDue =
            lastKeyframeMilliseconds_ < 0 || pts - lastKeyframeMilliseconds_ >= keyframeIntervalMilliseconds;
        frame_->pict_type = keyframeDue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (keyframeDue)
            lastKeyframeMilliseconds_ = pts;
        result = avcodec_send_frame(encoder_.get(), frame_.get());
    }
    if (result < 0)
        throw file_.failure(u"Could not encode the movie"_s, result);
    file_.writeEncodedPackets(encoder_.get(), stream_, packet_.get());
    if (!firstFragmentWritten_) {
        // The first frame goes to the disk at once, in a fragment of its own: a session killed in its first
        // moments still has a movie.
        firstFragmentWritten_ = true;
        file_.flush();
    }
    return true;
}

void FfmpegH264Writer::finish()
{
    const auto closeFile = qScopeGuard([this] { file_.close(); });
    avcodec_send_frame(encoder_.get(), nullptr);
    file_.writeEncodedPackets(encoder_.get(), stream_, packet_.get());
    file_.finish();
}

} // namespace ebbcast
