#include "capture/CameraError.h"
#include "capture/linux/CameraFrameDecoder.h"
#include "capture/linux/LavfiCameraSource.h"
#include "capture/linux/V4l2CameraSource.h"
#include "capture/linux/V4l2ModeChoice.h"
#include "core/base/WallClock.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace Qt::StringLiterals;

// The Linux cameras: FFmpeg's lavfi input as a camera that every machine has, the MJPEG pictures of real
// cameras, the V4L2 mode rule, and V4L2's account of devices that are not cameras.

namespace ebbcast {
namespace {

std::optional<CameraError> errorOf(const std::function<void()>& work)
{
    try {
        work();
    } catch (const CameraError& error) {
        return error;
    }
    return std::nullopt;
}

// What a camera delivered, gathered from its thread.
class Delivery {
public:
    CameraSource::FrameHandler frames()
    {
        return [this](const CameraFrame& frame) {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            const std::lock_guard lock(mutex_);
            frames_.push_back(frame);
            threadNames_.push_back(QString::fromLatin1(name));
            if (closed_)
                ++afterClose_;
            changed_.notify_all();
        };
    }

    CameraSource::StoppedHandler stopped()
    {
        return [this](const QString& reason) {
            const std::lock_guard lock(mutex_);
            stopReasons_.push_back(reason);
            if (closed_)
                ++afterClose_;
            changed_.notify_all();
        };
    }

    // Waits until `count` frames are in, or the time is up; says how many there are.
    std::size_t waitForFrames(std::size_t count, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return frames_.size() >= count; });
        return frames_.size();
    }

    bool waitForStop(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return !stopReasons_.empty(); });
    }

    // From now on nothing may arrive.
    void close()
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
    }

    std::vector<CameraFrame> frames_;
    std::vector<QString> threadNames_;
    std::vector<QString> stopReasons_;
    int afterClose_ = 0;
    std::mutex mutex_;

private:
    std::condition_variable changed_;
    bool closed_ = false;
};

// The luma and chroma of an i420 frame at a pixel.
struct Yuv {
    int y = 0;
    int u = 0;
    int v = 0;
};

Yuv sampleI420(const CameraFrame& frame, int x, int y)
{
    return {frame.planes[0][y * frame.bytesPerLine[0] + x],
            frame.planes[1][(y / 2) * frame.bytesPerLine[1] + x / 2],
            frame.planes[2][(y / 2) * frame.bytesPerLine[2] + x / 2]};
}

void expectColour(const Yuv& actual, const Yuv& expected, const char* what)
{
    SCOPED_TRACE(what);
    EXPECT_NEAR(actual.y, expected.y, 5);
    EXPECT_NEAR(actual.u, expected.u, 5);
    EXPECT_NEAR(actual.v, expected.v, 5);
}

// Video-range BT.601 colours, as the frames must carry them.
constexpr Yuv videoRed{81, 90, 240};
constexpr Yuv videoBlue{41, 240, 110};

TEST(LavfiCamera, DeliversTheTestPatternAsYuyvFramesOnItsOwnThreadUntilStopped)
{
    LavfiCameraSource camera;
    const std::optional<CameraDevice> device = camera.defaultDevice();
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(*device, (CameraDevice{QString::fromLatin1(LavfiCameraSource::defaultGraph),
                                     u"Test pattern (lavfi)"_s}));
    const CameraMode mode = camera.open(*device);
    EXPECT_EQ(mode.width, 640);
    EXPECT_EQ(mode.height, 480);
    EXPECT_NEAR(mode.framesPerSecond, 30, 0.01);
    EXPECT_EQ(mode.pixelFormat, u"yuyv422"_s);

    Delivery delivery;
    const double started = monotonicSeconds();
    camera.start(delivery.frames(), delivery.stopped());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto stopping = std::chrono::steady_clock::now();
    camera.stop();
    const double stopped = monotonicSeconds();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(500));
    delivery.close();

    const std::lock_guard lock(delivery.mutex_);
    ASSERT_GE(delivery.frames_.size(), 15U) << "about 30 a second";
    EXPECT_LE(delivery.frames_.size(), 60U) << "the graph runs in real time";
    EXPECT_TRUE(delivery.stopReasons_.empty());
    double previous = started;
    for (std::size_t i = 0; i < delivery.frames_.size(); ++i) {
        const CameraFrame& frame = delivery.frames_[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(delivery.threadNames_[i], u"Tavilon.Camera"_s);
        EXPECT_EQ(frame.format, CameraFrame::PixelFormat::yuyv422);
        EXPECT_EQ(frame.width, 640);
        EXPECT_EQ(frame.height, 480);
        EXPECT_EQ(frame.bytesPerLine[0], 1280);
        EXPECT_TRUE(frame.hasImage());
        EXPECT_GT(frame.captureTimeSeconds, previous);
        EXPECT_LE(frame.captureTimeSeconds, stopped);
        previous = frame.captureTimeSeconds;
    }
    // The pattern moves, and the frames keep their pictures after the camera has closed.
    const CameraFrame& first = delivery.frames_.front();
    const CameraFrame& last = delivery.frames_.back();
    EXPECT_NE(std::memcmp(first.planes[0], last.planes[0], 1280 * 480), 0);
}

TEST(LavfiCamera, NothingArrivesAfterStopAndItStartsAgain)
{
    LavfiCameraSource camera;
    camera.open(*camera.defaultDevice());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Delivery delivery;
        if (round == 2)
            camera.open(*camera.defaultDevice()); // opened anew, as after a note
        camera.start(delivery.frames(), delivery.stopped());
        EXPECT_GE(delivery.waitForFrames(3, std::chrono::seconds(5)), 3U);
        camera.stop();
        delivery.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::lock_guard lock(delivery.mutex_);
        EXPECT_EQ(delivery.afterClose_, 0);
        EXPECT_TRUE(delivery.stopReasons_.empty());
    }
    camera.stop(); // twice is harmless
}

TEST(LavfiCamera, AGraphThatEndsIsReportedAsStoppedWithItsReason)
{
    LavfiCameraSource camera(u"testsrc2=size=64x48:rate=30:duration=0.2,format=yuyv422"_s);
    camera.open(*camera.defaultDevice());
    Delivery delivery;
    camera.start(delivery.frames(), delivery.stopped());
    ASSERT_TRUE(delivery.waitForStop(std::chrono::seconds(5)));
    camera.stop();
    const std::lock_guard lock(delivery.mutex_);
    EXPECT_EQ(delivery.stopReasons_, std::vector<QString>{u"End of file"_s});
    EXPECT_EQ(delivery.frames_.size(), 6U);
}

TEST(LavfiCamera, PlanarAndOtherRawPicturesBecomeI420Frames)
{
    {
        SCOPED_TRACE("yuv420p, handed on as it is");
        LavfiCameraSource camera(u"testsrc2=size=320x240:rate=30,format=yuv420p"_s);
        const CameraMode mode = camera.open(*camera.defaultDevice());
        EXPECT_EQ(mode.pixelFormat, u"yuv420p"_s);
        Delivery delivery;
        camera.start(delivery.frames(), delivery.stopped());
        ASSERT_GE(delivery.waitForFrames(1, std::chrono::seconds(5)), 1U);
        camera.stop();
        const CameraFrame& frame = delivery.frames_.front();
        EXPECT_EQ(frame.format, CameraFrame::PixelFormat::i420);
        EXPECT_EQ(frame.bytesPerLine, (std::array<int, 3>{320, 160, 160}));
        EXPECT_TRUE(frame.hasImage());
    }
    for (const QString& format : {u"rgb24"_s, u"yuvj420p"_s}) {
        SCOPED_TRACE(format.toStdString() + ", converted");
        LavfiCameraSource camera(u"color=c=red:size=64x48:rate=30,format="_s + format);
        EXPECT_EQ(camera.open(*camera.defaultDevice()).pixelFormat, format);
        Delivery delivery;
        camera.start(delivery.frames(), delivery.stopped());
        ASSERT_GE(delivery.waitForFrames(1, std::chrono::seconds(5)), 1U);
        camera.stop();
        const CameraFrame& frame = delivery.frames_.front();
        ASSERT_EQ(frame.format, CameraFrame::PixelFormat::i420);
        ASSERT_TRUE(frame.hasImage());
        expectColour(sampleI420(frame, 32, 24), videoRed, "red");
    }
}

TEST(LavfiCamera, AGraphFFmpegCannotSetUpIsACameraErrorWithItsReason)
{
    const char* graphs[] = {"nosuchfilter=size=640x480", "testsrc2=size=banana", "testsrc2,,",
                            "anullsrc" /* sound, no pictures */};
    for (const char* graph : graphs) {
        SCOPED_TRACE(graph);
        LavfiCameraSource camera(QString::fromLatin1(graph));
        const auto error = errorOf([&] { camera.open(*camera.defaultDevice()); });
        ASSERT_TRUE(error.has_value());
        EXPECT_FALSE(error->description().isEmpty());
        camera.stop();
    }
    LavfiCameraSource never;
    EXPECT_TRUE(errorOf([&] { never.start({}, {}); }).has_value()) << "started without being opened";
}

// A picture in the camera's JPEG: full-range 4:2:2, left half red, right half blue.
std::shared_ptr<AVPacket> redBlueJpeg(int width, int height)
{
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    EXPECT_NE(encoder, nullptr);
    FfmpegCodecContext context(avcodec_alloc_context3(encoder));
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUVJ422P;
    context->time_base = {1, 30};
    EXPECT_EQ(avcodec_open2(context.get(), encoder, nullptr), 0);

    FfmpegFrame picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUVJ422P;
    picture->width = width;
    picture->height = height;
    EXPECT_EQ(av_frame_get_buffer(picture.get(), 0), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            picture->data[0][y * picture->linesize[0] + x] = x < width / 2 ? 76 : 29;
        for (int x = 0; x < width / 2; ++x) {
            const bool red = x < width / 4;
            picture->data[1][y * picture->linesize[1] + x] = red ? 85 : 255;
            picture->data[2][y * picture->linesize[2] + x] = red ? 255 : 107;
        }
    }
    EXPECT_EQ(avcodec_send_frame(context.get(), picture.get()), 0);
    std::shared_ptr<AVPacket> packet = FfmpegPacket(av_packet_alloc());
    EXPECT_EQ(avcodec_receive_packet(context.get(), packet.get()), 0);
    return packet;
}

std::unique_ptr<CameraFrameDecoder> mjpegDecoder(int width, int height)
{
    std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> parameters(
        avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_MJPEG; // as a V4L2 camera's stream says: no pixel format
    parameters->width = width;
    parameters->height = height;
    return std::make_unique<CameraFrameDecoder>(*parameters);
}

TEST(MjpegPictures, AreDecodedIntoVideoRangeI420Frames)
{
    const std::shared_ptr<AVPacket> jpeg = redBlueJpeg(160, 120);
    ASSERT_TRUE(jpeg && jpeg->size > 0);
    const auto decoder = mjpegDecoder(160, 120);
    const std::optional<CameraFrame> frame = decoder->decode(jpeg);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->format, CameraFrame::PixelFormat::i420);
    EXPECT_EQ(frame->width, 160);
    EXPECT_EQ(frame->height, 120);
    ASSERT_TRUE(frame->hasImage());
    expectColour(sampleI420(*frame, 20, 60), videoRed, "left");
    expectColour(sampleI420(*frame, 140, 60), videoBlue, "right");
}

TEST(MjpegPictures, AStreamOfCompressedPicturesOtherThanJpegCannotBeRead)
{
    std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> parameters(
        avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = 1280;
    parameters->height = 720;
    const auto error = errorOf([&] { CameraFrameDecoder decoder(*parameters); });
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->description().contains(u"h264"_s)) << error->description().toStdString();
}

TEST(MjpegPictures, ADamagedPictureIsLeftOutAndTheNextOneDecodes)
{
    const std::shared_ptr<AVPacket> jpeg = redBlueJpeg(64, 48);
    const auto decoder = mjpegDecoder(64, 48);
    std::shared_ptr<AVPacket> garbage = FfmpegPacket(av_packet_alloc());
    ASSERT_EQ(av_new_packet(garbage.get(), 200), 0);
    std::memset(garbage->data, 0x5a, 200);
    EXPECT_FALSE(decoder->decode(garbage).has_value());
    garbage->data[0] = 0xFF; // begins like a JPEG
    garbage->data[1] = 0xD8;
    EXPECT_FALSE(decoder->decode(garbage).has_value());
    EXPECT_FALSE(decoder->decode(FfmpegPacket(av_packet_alloc())).has_value()) << "empty";
    const std::optional<CameraFrame> frame = decoder->decode(jpeg);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 64);
}

struct ModeCase {
    const char* name;
    std::vector<V4l2ModeOffer> offers;
    std::optional<CameraMode> expected;
};

V4l2ModeOffer range(QString format, int minWidth, int maxWidth, int widthStep, int minHeight, int maxHeight,
                    int heightStep, std::vector<double> rates)
{
    return {std::move(format), minWidth,  maxWidth,   widthStep,
            minHeight,         maxHeight, heightStep, std::move(rates)};
}

TEST(V4l2ModeChoice, TakesTheSizeNearest720pAtTwentyFourFramesOrMoreAndMjpegFirst)
{
    const QString mjpeg = u"mjpeg"_s;
    const QString yuyv = u"yuyv422"_s;
    using Offer = V4l2ModeOffer;
    const ModeCase cases[] = {
        {"a common webcam: 720p only fast enough in MJPEG",
         {Offer::discrete(yuyv, 640, 480, {30, 15}), Offer::discrete(yuyv, 1280, 720, {10, 5}),
          Offer::discrete(mjpeg, 640, 480, {30}), Offer::discrete(mjpeg, 1280, 720, {30, 15}),
          Offer::discrete(mjpeg, 1920, 1080, {30})},
         CameraMode{1280, 720, 30, mjpeg}},
        {"only YUYV: a smaller size at full rate beats a slow 720p",
         {Offer::discrete(yuyv, 1280, 720, {10, 5}), Offer::discrete(yuyv, 800, 600, {20}),
          Offer::discrete(yuyv, 640, 480, {30, 15})},
         CameraMode{640, 480, 30, yuyv}},
        {"only slow modes: the fastest, then the nearest size",
         {Offer::discrete(yuyv, 1280, 720, {10}), Offer::discrete(yuyv, 320, 240, {15}),
          Offer::discrete(yuyv, 640, 480, {15, 7.5})},
         CameraMode{640, 480, 15, yuyv}},
        {"nearest is by width and height together",
         {Offer::discrete(mjpeg, 1024, 576, {30}), Offer::discrete(mjpeg, 1280, 960, {30}),
          Offer::discrete(mjpeg, 1920, 1080, {30})},
         CameraMode{1280, 960, 30, mjpeg}},
        {"a stepwise range that holds 720p",
         {range(u"yuv420p"_s, 32, 2592, 2, 32, 1944, 2, {30, 15})},
         CameraMode{1280, 720, 30, u"yuv420p"_s}},
        {"a stepwise range whose steps miss 720p",
         {range(u"nv12"_s, 100, 1000, 16, 100, 1000, 16, {30})},
         CameraMode{996, 724, 30, u"nv12"_s}},
        {"a continuous range below 720p",
         {range(yuyv, 160, 800, 1, 120, 600, 1, {60, 30})},
         CameraMode{800, 600, 30, yuyv}},
        {"same size and rate: MJPEG before YUYV before planar",
         {Offer::discrete(u"yuv420p"_s, 1280, 720, {30}), Offer::discrete(yuyv, 1280, 720, {30}),
          Offer::discrete(mjpeg, 1280, 720, {30})},
         CameraMode{1280, 720, 30, mjpeg}},
        {"equally near sizes: the larger",
         {Offer::discrete(yuyv, 1280, 640, {30}), Offer::discrete(yuyv, 1280, 800, {30})},
         CameraMode{1280, 800, 30, yuyv}},
        {"several fast rates: the one nearest 30",
         {Offer::discrete(mjpeg, 1280, 720, {60, 24, 50})},
         CameraMode{1280, 720, 24, mjpeg}},
        {"rates equally near 30: the faster",
         {Offer::discrete(mjpeg, 1280, 720, {25, 35})},
         CameraMode{1280, 720, 35, mjpeg}},
        {"23.976 counts as 24",
         {Offer::discrete(yuyv, 640, 480, {30}), Offer::discrete(yuyv, 1280, 720, {24000.0 / 1001})},
         CameraMode{1280, 720, 24000.0 / 1001, yuyv}},
        {"a camera that names no rates",
         {Offer::discrete(mjpeg, 1280, 720, {})},
         CameraMode{1280, 720, 0, mjpeg}},
        {"only formats that cannot be read", {Offer::discrete(u"h264"_s, 1280, 720, {30})}, std::nullopt},
        {"nothing offered", {}, std::nullopt},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(V4l2ModeChoice::choose(c.offers), c.expected);
    }
}

TEST(V4l2Camera, ThisMachineHasNoCamera)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        if (entry.path().filename().string().starts_with("video"))
            GTEST_SKIP() << "this machine has video devices";
    }
    EXPECT_EQ(V4l2CameraSource().defaultDevice(), std::nullopt);
    EXPECT_EQ(V4l2CameraSource(u"/dev/video97"_s).defaultDevice(), std::nullopt);
    EXPECT_EQ(V4l2CameraSource(u"/dev/null"_s).defaultDevice(), std::nullopt);
}

TEST(V4l2Camera, OpeningWhatIsNoCameraIsACameraErrorWithTheSystemsReason)
{
    const struct {
        const char* path;
        QString reason;
    } cases[] = {
        {"/dev/video97", u"No such file or directory"_s},
        {"/dev/null", u"Inappropriate ioctl for device"_s},
        {"/proc/self/status", u"Inappropriate ioctl for device"_s},
        {"/tmp", u"Is a directory"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        V4l2CameraSource camera;
        const auto error = errorOf([&] { camera.open({QString::fromLatin1(c.path), u"camera"_s}); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->description(), c.reason);
        camera.stop();
    }
}

} // namespace
} // namespace ebbcast
