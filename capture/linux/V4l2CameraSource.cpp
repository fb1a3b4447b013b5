#include "capture/linux/V4l2CameraSource.h"

#include "capture/CameraError.h"
#include "core/base/FileDescriptor.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int control(int fd, unsigned long request, void* argument)
{
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

// Opens the device for its questions; open() alone never claims a camera. Throws CameraError.
int openDevice(const QString& path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw CameraError(systemReason(errno));
    return fd;
}

// The card name of a device that captures video; throws CameraError for anything else.
QString captureCardName(int fd)
{
    v4l2_capability capabilities{};
    if (control(fd, VIDIOC_QUERYCAP, &capabilities) < 0)
        throw CameraError(systemReason(errno));
    const std::uint32_t device = (capabilities.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                     ? capabilities.device_caps
                                     : capabilities.capabilities;
    if ((device & V4L2_CAP_VIDEO_CAPTURE) == 0)
        throw CameraError(u"not a video capture device"_s);
    const auto* card = reinterpret_cast<const char*>(capabilities.card);
    return QString::fromUtf8(card, static_cast<qsizetype>(strnlen(card, sizeof capabilities.card)));
}

std::optional<CameraDevice> captureDevice(const QString& path)
{
    try {
        const FileDescriptor fd(openDevice(path));
        QString name = captureCardName(fd.get());
        return CameraDevice{path, name.isEmpty() ? path : std::move(name)};
    } catch (const CameraError&) {
        return std::nullopt;
    }
}

QString pixelFormatName(std::uint32_t fourcc)
{
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
        return u"mjpeg"_s;
    case V4L2_PIX_FMT_YUYV:
        return u"yuyv422"_s;
    case V4L2_PIX_FMT_YUV420:
        return u"yuv420p"_s;
    case V4L2_PIX_FMT_NV12:
        return u"nv12"_s;
    default:
        return {};
    }
}

double rateOf(const v4l2_fract& interval)
{
    return interval.numerator > 0 ? static_cast<double>(interval.denominator) / interval.numerator : 0.0;
}

// The frame rates of one format at one size: each of a list, or the ends of a range and 30 when it lies
// within.
std::vector<double> ratesAt(int fd, std::uint32_t fourcc, int width, int height)
{
    std::vector<double> rates;
    v4l2_frmivalenum interval{};
    interval.pixel_format = fourcc;
    interval.width = static_cast<std::uint32_t>(width);
    interval.height = static_cast<std::uint32_t>(height);
    for (interval.index = 0; control(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            rates.push_back(rateOf(interval.discrete));
            continue;
        }
        const double fastest = rateOf(interval.stepwise.min);
        const double slowest = rateOf(interval.stepwise.max);
        rates.push_back(fastest);
        rates.push_back(slowest);
        if (slowest <= V4l2ModeChoice::preferredFramesPerSecond &&
            V4l2ModeChoice::preferredFramesPerSecond <= fastest)
            rates.push_back(V4l2ModeChoice::preferredFramesPerSecond);
        break;
    }
    return rates;
}

} // namespace

V4l2CameraSource::V4l2CameraSource(QString devicePath)
    : devicePath_(std::move(devicePath))
{}

std::optional<CameraDevice> V4l2CameraSource::defaultDevice()
{
    if (!devicePath_.isEmpty())
        return captureDevice(devicePath_);

    std::vector<int> numbers;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 5 && name.starts_with("video") &&
            std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            name.size() < 12)
            numbers.push_back(std::stoi(name.substr(5)));
    }
    std::sort(numbers.begin(), numbers.end());
    for (const int number : numbers) {
        if (auto device = captureDevice(u"/dev/video%1"_s.arg(number)))
            return device;
    }
    return std::nullopt;
}

std::vector<V4l2ModeOffer> V4l2CameraSource::offersOf(const QString& devicePath)
{
    const FileDescriptor fd(openDevice(devicePath));
    captureCardName(fd.get());

    std::vector<V4l2ModeOffer> offers;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; control(fd.get(), VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        const QString name = pixelFormatName(format.pixelformat);
        if (name.isEmpty())
            continue;
        v4l2_frmsizeenum size{};
        size.pixel_format = format.pixelformat;
        for (size.index = 0; control(fd.get(), VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                const int width = static_cast<int>(size.discrete.width);
                const int height = static_cast<int>(size.discrete.height);
                offers.push_back(V4l2ModeOffer::discrete(
                    name, width, height, ratesAt(fd.get(), format.pixelformat, width, height)));
                continue;
            }
            // A range (stepwise, or continuous in steps of one): its rates where the note's size falls.
            const auto& range = size.stepwise;
            V4l2ModeOffer offer{name,
                                static_cast<int>(range.min_width),
                                static_cast<int>(range.max_width),
                                static_cast<int>(std::max(range.step_width, 1U)),
                                static_cast<int>(range.min_height),
                                static_cast<int>(range.max_height),
                                static_cast<int>(std::max(range.step_height, 1U)),
                                {}};
            const auto [width, height] = V4l2ModeChoice::nearestSize(offer);
            offer.framesPerSecond = ratesAt(fd.get(), format.pixelformat, width, height);
            offers.push_back(std::move(offer));
            break;
        }
    }
    return offers;
}

CameraMode V4l2CameraSource::open(const CameraDevice& device)
{
    stop();
    const QString path = device.id.isEmpty() ? devicePath_ : device.id;
    if (path.isEmpty())
        throw CameraError(systemReason(ENODEV));
    const std::optional<CameraMode> chosen = V4l2ModeChoice::choose(offersOf(path));
    if (!chosen)
        throw CameraError(u"the camera offers no picture format that can be read here"_s);

    FfmpegCameraInput::Options options = {
        {"video_size", u"%1x%2"_s.arg(chosen->width).arg(chosen->height).toLatin1()},
        {"input_format", chosen->pixelFormat.toLatin1()},
    };
    if (chosen->framesPerSecond > 0)
        options.emplace_back("framerate", QByteArray::number(chosen->framesPerSecond, 'g', 10));
    CameraMode mode = input_.open("video4linux2", path, options);
    if (mode.framesPerSecond <= 0)
        mode.framesPerSecond = chosen->framesPerSecond;
    return mode;
}

void V4l2CameraSource::start(FrameHandler frames, StoppedHandler stopped)
{
    input_.start(std::move(frames), std::move(stopped));
}

void V4l2CameraSource::stop()
{
    input_.stop();
}

} // namespace ebbcast
