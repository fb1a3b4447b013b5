#include "capture/linux/FfmpegH264Encoder.h"

#include "capture/linux/FfmpegOutputFile.h"
#include "capture/linux/FfmpegSupport.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

RecorderError setupFailure(const QString& path, const QString& reason)
{
    return RecorderError::writerSetupFailed(u"Could not set up the H.264 encoder for \""_s + path +
                                            u"\": "_s + reason);
}

} // namespace

FfmpegH264Encoder::FfmpegH264Encoder(FfmpegOutputFile& file, int width, int height, std::int64_t bitRate,
                                     const char* preset)
    : file_(file)
    , width_(width)
    , height_(height)
{
    if (width_ <= 0 || height_ <= 0 || width_ % 2 != 0 || height_ % 2 != 0)
        throw setupFailure(file_.path(),
                           u"the size %1x%2 is not a positive even one"_s.arg(width_).arg(height_));
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr)
        throw setupFailure(file_.path(), FfmpegSupport::errorText(AVERROR_ENCODER_NOT_FOUND));
    encoder_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!encoder_ || !frame_ || !packet_)
        throw setupFailure(file_.path(), FfmpegSupport::errorText(AVERROR(ENOMEM)));
    encoder_->width = width_;
    encoder_->height = height_;
    encoder_->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder_->time_base = AVRational{1, 1000}; // frames carry their capture times, in milliseconds
    encoder_->framerate = AVRational{30, 1};
    encoder_->bit_rate = bitRate;
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
        throw setupFailure(file_.path(), FfmpegSupport::errorText(opened));
    stream_ = file_.addStream(encoder_.get(), AVRational{1, 90000});
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width_;
    frame_->height = height_;
    const int allocated = av_frame_get_buffer(frame_.get(), 0);
    if (allocated < 0)
        throw setupFailure(file_.path(), FfmpegSupport::errorText(allocated));
}

AVFrame* FfmpegH264Encoder::nextPicture(double presentationTimeSeconds)
{
    const std::int64_t pts = std::llround(presentationTimeSeconds * 1000.0);
    if (pts <= lastPtsMilliseconds_)
        return nullptr;
    lastPtsMilliseconds_ = pts;
    const int writable = av_frame_make_writable(frame_.get());
    if (writable < 0)
        throw file_.failure(u"Could not encode the movie"_s, writable);
    frame_->pts = pts;
    return frame_.get();
}

void FfmpegH264Encoder::encodePicture()
{
    const std::int64_t pts = frame_->pts;
    // A keyframe, and so a new fragment, every second of movie time whatever the frame rate: a crash loses
    // at most about a second of the movie.
    const bool keyframeDue =
        lastKeyframeMilliseconds_ < 0 || pts - lastKeyframeMilliseconds_ >= keyframeIntervalMilliseconds;
    frame_->pict_type = keyframeDue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (keyframeDue)
        lastKeyframeMilliseconds_ = pts;
    const int sent = avcodec_send_frame(encoder_.get(), frame_.get());
    if (sent < 0)
        throw file_.failure(u"Could not encode the movie"_s, sent);
    // The first frame's fragment goes to the file before the second frame is known: it lasts a frame at 30
    // fps (without a duration the muxer would place the second frame at 0 as well). Later fragments end
    // where the next begins.
    file_.writeEncodedPackets(encoder_.get(), stream_, packet_.get(),
                              firstFragmentWritten_ ? 0 : firstFrameDurationMilliseconds);
    if (!firstFragmentWritten_) {
        // The first frame goes to the disk at once, in a fragment of its own: a recording killed in its
        // first moments still has a picture.
        firstFragmentWritten_ = true;
        file_.flush();
    }
}

void FfmpegH264Encoder::finish()
{
    avcodec_send_frame(encoder_.get(), nullptr);
    file_.writeEncodedPackets(encoder_.get(), stream_, packet_.get());
}

} // namespace ebbcast
