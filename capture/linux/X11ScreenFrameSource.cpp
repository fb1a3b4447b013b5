#include "capture/linux/X11ScreenFrameSource.h"

#include "capture/ScreenCaptureError.h"
#include "capture/linux/FfmpegSupport.h"
#include "capture/linux/XcbHandles.h"

#include <pthread.h>
#include <xcb/randr.h>

#include <algorithm>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString atomName(xcb_connection_t* connection, xcb_atom_t atom)
{
    const auto reply =
        ownedReply(xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr));
    if (!reply)
        return {};
    return QString::fromUtf8(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

} // namespace

X11ScreenFrameSource::X11ScreenFrameSource(QString displayName)
    : displayName_(displayName.isEmpty() ? QString::fromLocal8Bit(qgetenv("DISPLAY"))
                                         : std::move(displayName))
{}

X11ScreenFrameSource::~X11ScreenFrameSource()
{
    try {
        stop();
    } catch (const ScreenCaptureError&) {
        // Nothing more to do while going away.
    }
}

std::uint32_t X11ScreenFrameSource::identifierFor(const QString& monitorName)
{
    std::uint32_t hash = 2166136261U; // FNV-1a
    for (const char byte : monitorName.toUtf8()) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 16777619U;
    }
    return hash == 0 ? 1 : hash; // 0 means "the main display" in the settings
}

std::vector<ScreenDisplay> X11ScreenFrameSource::displays()
{
    if (displayName_.isEmpty())
        throw ScreenCaptureError::displayServerUnreachable(displayName_);
    int screenNumber = 0;
    const XcbConnection connection(xcb_connect(displayName_.toLocal8Bit().constData(), &screenNumber));
    if (xcb_connection_has_error(connection.get()) != 0)
        throw ScreenCaptureError::displayServerUnreachable(displayName_);

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
        throw ScreenCaptureError::displayServerUnreachable(displayName_);
    const xcb_screen_t* screen = screens.data;

    std::vector<ScreenDisplay> result;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection.get(), &xcb_randr_id);
    if (randr != nullptr && randr->present) {
        const auto monitors = ownedReply(xcb_randr_get_monitors_reply(
            connection.get(), xcb_randr_get_monitors(connection.get(), screen->root, 1), nullptr));
        if (monitors) {
            bool anyPrimary = false;
            for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* info = it.data;
                const QString name = atomName(connection.get(), info->name);
                result.push_back({identifierFor(name), name, info->x, info->y, info->width, info->height,
                                  info->primary != 0 && !anyPrimary});
                anyPrimary = anyPrimary || info->primary != 0;
            }
        }
    }
    if (result.empty()) {
        result.push_back({identifierFor(u"screen"_s), u"screen"_s, 0, 0, screen->width_in_pixels,
                          screen->height_in_pixels, true});
    }
    const bool hasMain = std::any_of(result.begin(), result.end(), [](const auto& d) { return d.isMain; });
    if (!hasMain) {
        auto atOrigin =
            std::find_if(result.begin(), result.end(), [](const auto& d) { return d.x == 0 && d.y == 0; });
        (atOrigin != result.end() ? *atOrigin : result.front()).isMain = true;
    }
    return result;
}

void X11ScreenFrameSource::start(const ScreenDisplay& display, int framesPerSecond, FrameHandler frames,
                                 StoppedHandler stopped)
{
    FfmpegSupport::initialize();
    stop();
    const AVInputFormat* x11grab = av_find_input_format("x11grab");
    if (x11grab == nullptr)
        throw ScreenCaptureError::captureFailed(u"this FFmpeg has no x11grab input"_s);

    FfmpegOptions options;
    options.set("framerate", std::int64_t{framesPerSecond})
        .set("video_size", u"%1x%2"_s.arg(display.width).arg(display.height).toLatin1().constData())
        .set("draw_mouse", std::int64_t{1});
    FfmpegInput input(avformat_alloc_context());
    if (!input)
        throw ScreenCaptureError::captureFailed(u"cannot open the X display "_s + displayName_ + u": "_s +
                                                FfmpegSupport::errorText(AVERROR(ENOMEM)));
    input->interrupt_callback.callback = [](void* self) -> int {
        return static_cast<X11ScreenFrameSource*>(self)->stopping_.load() ? 1 : 0;
    };
    input->interrupt_callback.opaque = this;
    stopping_ = false;
    const QByteArray url = (displayName_ + u"+%1,%2"_s.arg(display.x).arg(display.y)).toLocal8Bit();
    AVFormatContext* opening = input.release(); // freed by avformat_open_input when it fails
    const int opened = avformat_open_input(&opening, url.constData(), x11grab, options.get());
    input.reset(opening);
    if (opened < 0) {
        throw ScreenCaptureError::captureFailed(u"cannot open the X display "_s + displayName_ + u": "_s +
                                                FfmpegSupport::errorText(opened));
    }
    const AVCodecParameters* parameters = input->streams[0]->codecpar;
    const auto format = static_cast<AVPixelFormat>(parameters->format);
    if (format != AV_PIX_FMT_BGR0 && format != AV_PIX_FMT_BGRA)
        throw ScreenCaptureError::captureFailed(u"the X display's pixel format is not 32-bit BGRA"_s);
    input_ = std::move(input);
    width_ = parameters->width;
    height_ = parameters->height;
    frames_ = std::move(frames);
    stopped_ = std::move(stopped);
    thread_ = std::thread([this] { captureLoop(); });
}

void X11ScreenFrameSource::captureLoop()
{
    pthread_setname_np(pthread_self(), "Tavilon.X11Grab");
    const auto reportStop = [this](int result) {
        if (!stopping_ && stopped_)
            stopped_(u"the X display stopped delivering frames ("_s + FfmpegSupport::errorText(result) +
                     u")"_s);
    };
    const double timeBase = av_q2d(input_->streams[0]->time_base);
    while (!stopping_) {
        // Each frame keeps its own packet, whose buffer is the grab's shared-memory segment: the frame is
        // handed on without copying its pixels, and the segment returns to x11grab's pool when the last copy
        // of the frame goes.
        const std::shared_ptr<AVPacket> packet = FfmpegPacket(av_packet_alloc());
        if (!packet) {
            reportStop(AVERROR(ENOMEM));
            break;
        }
        const int result = av_read_frame(input_.get(), packet.get());
        if (result == AVERROR(EAGAIN))
            continue;
        if (result < 0) {
            reportStop(result);
            break;
        }
        ScreenFrame frame;
        frame.width = width_;
        frame.height = height_;
        frame.bytesPerLine = height_ > 0 ? packet->size / height_ : 0;
        frame.byteCount = packet->size;
        frame.presentationTimeSeconds = static_cast<double>(packet->pts) * timeBase;
        frame.pixels = std::shared_ptr<const std::uint8_t>(packet, packet->data);
        if (frames_)
            frames_(frame);
    }
}

void X11ScreenFrameSource::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    input_.reset();
    frames_ = nullptr;
    stopped_ = nullptr;
}

} // namespace ebbcast
