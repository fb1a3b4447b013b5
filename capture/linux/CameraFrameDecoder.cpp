#include "capture/linux/CameraFrameDecoder.h"

#include "capture/CameraError.h"
#include "capture/linux/FfmpegSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The formats FFmpeg names for full-range ("JPEG") YUV.
bool isFullRangeFormat(int format)
{
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

} // namespace

void CameraFrameDecoder::SwsFree::operator()(SwsContext* context) const
{
    sws_freeContext(context);
}

CameraFrameDecoder::CameraFrameDecoder(const AVCodecParameters& stream)
    : codec_(stream.codec_id)
    , format_(stream.format)
    , width_(stream.width)
    , height_(stream.height)
{
    FfmpegSupport::initialize();
    if (stream.codec_id == AV_CODEC_ID_MJPEG) {
        const AVCodec* mjpeg = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (mjpeg == nullptr)
            throw CameraError(u"this FFmpeg has no MJPEG decoder"_s);
        decoder_.reset(avcodec_alloc_context3(mjpeg));
        decoded_.reset(av_frame_alloc());
        if (!decoder_ || !decoded_)
            throw CameraError(FfmpegSupport::errorText(AVERROR(ENOMEM)));
        const int opened = avcodec_open2(decoder_.get(), mjpeg, nullptr);
        if (opened < 0)
            throw CameraError(u"cannot set up the MJPEG decoder: "_s + FfmpegSupport::errorText(opened));
        return;
    }
    if (stream.codec_id != AV_CODEC_ID_RAWVIDEO) {
        throw CameraError(u"the camera sends %1 pictures, which cannot be read here"_s.arg(
            QString::fromLatin1(avcodec_get_name(stream.codec_id))));
    }
    const auto format = static_cast<AVPixelFormat>(stream.format);
    if (width_ <= 0 || height_ <= 0 || format == AV_PIX_FMT_NONE ||
        (format != AV_PIX_FMT_YUYV422 && format != AV_PIX_FMT_YUV420P && sws_isSupportedInput(format) == 0)) {
        const char* name = av_get_pix_fmt_name(format);
        throw CameraError(u"the camera sends raw pictures of %1 in %2, which cannot be read here"_s.arg(
            u"%1×%2"_s.arg(width_).arg(height_),
            name != nullptr ? QString::fromLatin1(name) : u"an unknown format"_s));
    }
}

CameraFrameDecoder::~CameraFrameDecoder() = default;

std::optional<CameraFrame> CameraFrameDecoder::decode(const std::shared_ptr<AVPacket>& packet)
{
    if (!packet || packet->data == nullptr || packet->size <= 0)
        return std::nullopt;
    if (codec_ == AV_CODEC_ID_MJPEG)
        return decodeJpeg(*packet);

    const auto format = static_cast<AVPixelFormat>(format_);
    const int needed = av_image_get_buffer_size(format, width_, height_, 1);
    if (needed <= 0 || packet->size < needed)
        return std::nullopt;
    std::uint8_t* planes[4] = {};
    int bytesPerLine[4] = {};
    if (av_image_fill_arrays(planes, bytesPerLine, packet->data, format, width_, height_, 1) < 0)
        return std::nullopt;
    if (format != AV_PIX_FMT_YUYV422 && format != AV_PIX_FMT_YUV420P)
        return convert(planes, bytesPerLine, format_, isFullRangeFormat(format_), width_, height_);

    // Handed on without copying: the frame keeps the packet, whose buffer the input filled.
    CameraFrame frame;
    frame.format =
        format == AV_PIX_FMT_YUYV422 ? CameraFrame::PixelFormat::yuyv422 : CameraFrame::PixelFormat::i420;
    frame.width = width_;
    frame.height = height_;
    for (int plane = 0; plane < frame.planeCount(); ++plane) {
        frame.planes[static_cast<std::size_t>(plane)] = planes[plane];
        frame.bytesPerLine[static_cast<std::size_t>(plane)] = bytesPerLine[plane];
    }
    frame.owner = packet;
    return frame;
}

std::optional<CameraFrame> CameraFrameDecoder::decodeJpeg(const AVPacket& packet)
{
    // Not a JPEG at all (a buffer the camera did not fill): left out before the decoder says so on stderr.
    if (packet.size < 4 || packet.data[0] != 0xFF || packet.data[1] != 0xD8)
        return std::nullopt;
    if (avcodec_send_packet(decoder_.get(), &packet) < 0)
        return std::nullopt; // a damaged picture: the next one decodes on its own
    if (avcodec_receive_frame(decoder_.get(), decoded_.get()) < 0)
        return std::nullopt;
    const AVFrame& picture = *decoded_;
    const bool fullRange = picture.color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(picture.format);
    auto frame =
        convert(picture.data, picture.linesize, picture.format, fullRange, picture.width, picture.height);
    av_frame_unref(decoded_.get());
    return frame;
}

std::optional<CameraFrame> CameraFrameDecoder::convert(const std::uint8_t* const planes[4],
                                                       const int bytesPerLine[4], int format, bool fullRange,
                                                       int width, int height)
{
    // A scaler is set up again only when the pictures change (libswscale's own cache would not know a JPEG
    // format again once set up, as it keeps the format in its video-range form).
    const ScalerKey key{format, fullRange, width, height};
    if (!scaler_ || key != scalerKey_) {
        scaler_.reset(sws_getContext(width, height, static_cast<AVPixelFormat>(format), width, height,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler_)
            return std::nullopt;
        // The JPEG's full range is squeezed into video range, which the encoder and the preview expect.
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler_.get(), coefficients, fullRange ? 1 : 0, coefficients, 0, 0, 1 << 16,
                                 1 << 16);
        scalerKey_ = key;
    }

    std::shared_ptr<AVFrame> converted = FfmpegFrame(av_frame_alloc());
    if (!converted)
        return std::nullopt;
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = width;
    converted->height = height;
    if (av_frame_get_buffer(converted.get(), 0) < 0)
        return std::nullopt;
    if (sws_scale(scaler_.get(), planes, bytesPerLine, 0, height, converted->data, converted->linesize) !=
        height)
        return std::nullopt;

    CameraFrame frame;
    frame.format = CameraFrame::PixelFormat::i420;
    frame.width = width;
    frame.height = height;
    for (std::size_t plane = 0; plane < 3; ++plane) {
        frame.planes[plane] = converted->data[plane];
        frame.bytesPerLine[plane] = converted->linesize[plane];
    }
    frame.owner = std::move(converted);
    return frame;
}

} // namespace ebbcast
