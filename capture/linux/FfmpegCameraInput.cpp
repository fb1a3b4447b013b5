#include "capture/linux/FfmpegCameraInput.h"

#include "capture/CameraError.h"
#include "capture/linux/FfmpegSupport.h"
#include "core/base/WallClock.h"

#include <pthread.h>

#include <chrono>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A non-blocking device that has no picture yet is asked again after this long.
constexpr auto retryInterval = std::chrono::milliseconds(2);

double rateOf(AVRational rate)
{
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
}

CameraMode modeOf(const AVStream& stream)
{
    const AVCodecParameters& parameters = *stream.codecpar;
    CameraMode mode;
    mode.width = parameters.width;
    mode.height = parameters.height;
    mode.framesPerSecond = rateOf(stream.avg_frame_rate);
    if (mode.framesPerSecond <= 0)
        mode.framesPerSecond = rateOf(stream.r_frame_rate);
    // A filter graph says its rate only as its time base (1/30); a device counting in microseconds does not.
    if (mode.framesPerSecond <= 0 && stream.time_base.num > 0 &&
        stream.time_base.den <= 1000 * stream.time_base.num)
        mode.framesPerSecond = 1.0 / av_q2d(stream.time_base);
    if (parameters.codec_id == AV_CODEC_ID_RAWVIDEO) {
        const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(parameters.format));
        mode.pixelFormat = name != nullptr ? QString::fromLatin1(name) : QString();
    } else {
        mode.pixelFormat = QString::fromLatin1(avcodec_get_name(parameters.codec_id));
    }
    return mode;
}

} // namespace

FfmpegCameraInput::~FfmpegCameraInput()
{
    stop();
}

CameraMode FfmpegCameraInput::open(const char* formatName, const QString& url, const Options& options)
{
    stop();
    formatName_ = formatName;
    url_ = url;
    options_ = options;
    openInput();
    return mode_;
}

void FfmpegCameraInput::openInput()
{
    FfmpegSupport::initialize();
    const AVInputFormat* device = av_find_input_format(formatName_.constData());
    if (device == nullptr)
        throw CameraError(u"this FFmpeg has no %1 input"_s.arg(QString::fromLatin1(formatName_)));

    FfmpegOptions options;
    for (const auto& [key, value] : options_)
        options.set(key.constData(), value.constData());
    FfmpegInput input(avformat_alloc_context());
    if (!input)
        throw CameraError(FfmpegSupport::errorText(AVERROR(ENOMEM)));
    input->interrupt_callback.callback = [](void* self) -> int {
        return static_cast<FfmpegCameraInput*>(self)->stopping_.load() ? 1 : 0;
    };
    input->interrupt_callback.opaque = this;
    // A device without a picture ready says so rather than blocking, so stop() never waits on the driver.
    input->flags |= AVFMT_FLAG_NONBLOCK;
    stopping_ = false;
    const QByteArray url = url_.toLocal8Bit();
    AVFormatContext* opening = input.release(); // freed by avformat_open_input when it fails
    const int opened = avformat_open_input(&opening, url.constData(), device, options.get());
    input.reset(opening);
    if (opened < 0)
        throw CameraError(FfmpegSupport::errorText(opened));

    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0)
        throw CameraError(u"the camera delivers no pictures"_s);
    auto decoder = std::make_unique<CameraFrameDecoder>(*input->streams[stream]->codecpar);
    mode_ = modeOf(*input->streams[stream]);
    streamIndex_ = stream;
    decoder_ = std::move(decoder);
    input_ = std::move(input);
}

void FfmpegCameraInput::start(CameraSource::FrameHandler frames, CameraSource::StoppedHandler stopped)
{
    if (thread_.joinable())
        stop();
    if (!input_) {
        if (formatName_.isEmpty())
            throw CameraError(u"no camera has been opened"_s);
        openInput();
    }
    stopping_ = false;
    frames_ = std::move(frames);
    stopped_ = std::move(stopped);
    thread_ = std::thread([this] { readLoop(); });
}

void FfmpegCameraInput::readLoop()
{
    pthread_setname_np(pthread_self(), "Tavilon.Camera");
    const auto reportStop = [this](int result) {
        if (!stopping_ && stopped_)
            stopped_(FfmpegSupport::errorText(result));
    };
    // Each picture's packet is its own: raw pictures are handed on in the packet's buffer, without copying,
    // so a packet that carried one is given away and the next read gets a new one. Polls that find nothing
    // reuse the empty packet.
    std::shared_ptr<AVPacket> packet;
    while (!stopping_) {
        if (!packet)
            packet = FfmpegPacket(av_packet_alloc());
        if (!packet) {
            reportStop(AVERROR(ENOMEM));
            return;
        }
        const int result = av_read_frame(input_.get(), packet.get());
        if (result == AVERROR(EAGAIN)) {
            std::this_thread::sleep_for(retryInterval);
            continue;
        }
        if (result < 0) {
            reportStop(result);
            return;
        }
        const double arrival = monotonicSeconds();
        if (packet->stream_index != streamIndex_) {
            av_packet_unref(packet.get());
            continue;
        }
        const std::shared_ptr<AVPacket> picture = std::move(packet);
        std::optional<CameraFrame> frame = decoder_->decode(picture);
        if (!frame)
            continue;
        frame->captureTimeSeconds = arrival;
        if (frames_ && !stopping_)
            frames_(*frame);
    }
}

void FfmpegCameraInput::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    decoder_.reset();
    input_.reset();
    frames_ = nullptr;
    stopped_ = nullptr;
}

} // namespace ebbcast
