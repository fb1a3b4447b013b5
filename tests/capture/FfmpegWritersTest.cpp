#include "capture/RecorderError.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/linux/FfmpegAacWriter.h"
#include "capture/linux/FfmpegH264Writer.h"
#include "core/base/Logger.h"
#include "support/FakeScreenFrameSource.h"
#include "support/LogLines.h"
#include "support/MediaProbe.h"
#include "support/ReadOnlyRemount.h"
#include "support/RunTask.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QFile>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;

// The FFmpeg writers against real files, and the recorders' account of their failures.

namespace ebbcast {
namespace {

std::optional<RecorderError> errorOf(const std::function<void()>& work)
{
    try {
        work();
    } catch (const RecorderError& error) {
        return error;
    }
    return std::nullopt;
}

// Takes every byte a disk has left.
void fillUp(const QString& path)
{
    QFile filler(path);
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, '\x5a');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
}

ScreenFrame noiseFrame(int width, int height, double time, std::minstd_rand& noise)
{
    ScreenFrame frame;
    frame.width = width;
    frame.height = height;
    frame.bytesPerLine = width * 4;
    QByteArray pixels(qsizetype(frame.bytesPerLine) * height, Qt::Uninitialized);
    for (char& byte : pixels)
        byte = static_cast<char>(noise());
    frame.setPixels(std::move(pixels));
    frame.presentationTimeSeconds = time;
    return frame;
}

// A frame wider and taller than the movie: four quadrants of the movie's size (red, green, blue, white, in
// BGRA byte order with a stray fourth byte) and a magenta margin right and below that the movie must leave
// out.
ScreenFrame quadrantFrame(int width, int height, double time)
{
    ScreenFrame frame;
    frame.width = width + 16;
    frame.height = height + 16;
    frame.bytesPerLine = frame.width * 4 + 64; // lines padded, as a grab's may be
    QByteArray pixels(qsizetype(frame.bytesPerLine) * frame.height, '\0');
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            std::uint32_t rgb = 0xff00ff; // the margin
            if (x < width && y < height) {
                const bool right = x >= width / 2;
                const bool lower = y >= height / 2;
                rgb = !lower ? (right ? 0x00ff00 : 0xff0000) : (right ? 0xffffff : 0x0000ff);
            }
            char* pixel = pixels.data() + qsizetype(y) * frame.bytesPerLine + qsizetype(x) * 4;
            pixel[0] = static_cast<char>(rgb & 0xff);
            pixel[1] = static_cast<char>((rgb >> 8) & 0xff);
            pixel[2] = static_cast<char>((rgb >> 16) & 0xff);
            pixel[3] = static_cast<char>(0x5a);
        }
    }
    frame.setPixels(std::move(pixels));
    frame.presentationTimeSeconds = time;
    return frame;
}

TEST(FfmpegWriters, TheMovieShowsTheFramesColoursAndCropsALargerFrameAtTheRightAndBottom)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"screen.mov"_s);
    constexpr int width = 320;
    constexpr int height = 240;
    {
        auto writer = FfmpegH264Writer::factory()(path, width, height);
        for (int i = 0; i < 10; ++i)
            EXPECT_TRUE(writer->append(quadrantFrame(width, height, i / 30.0), i / 30.0));
        writer->finish();
    }
    const QByteArray rgb = test::MediaProbe::firstFrameRgb(path);
    ASSERT_EQ(rgb.size(), width * height * 3);
    const auto colourAt = [&](int x, int y) {
        const auto* pixel = reinterpret_cast<const unsigned char*>(rgb.constData()) + (y * width + x) * 3;
        return std::array<int, 3>{pixel[0], pixel[1], pixel[2]};
    };
    const auto near = [](std::array<int, 3> actual, std::array<int, 3> expected) {
        for (int i = 0; i < 3; ++i) {
            if (std::abs(actual[i] - expected[i]) > 12)
                return false;
        }
        return true;
    };
    EXPECT_TRUE(near(colourAt(width / 4, height / 4), {255, 0, 0})) << "upper left red";
    EXPECT_TRUE(near(colourAt(3 * width / 4, height / 4), {0, 255, 0})) << "upper right green";
    EXPECT_TRUE(near(colourAt(width / 4, 3 * height / 4), {0, 0, 255})) << "lower left blue";
    EXPECT_TRUE(near(colourAt(3 * width / 4, 3 * height / 4), {255, 255, 255})) << "lower right white";
    for (const auto& [x, y] : {std::pair{width - 1, height / 4}, std::pair{width / 4, height - 1},
                               std::pair{width - 1, height - 1}}) {
        const auto colour = colourAt(x, y);
        EXPECT_FALSE(colour[0] > 128 && colour[1] < 128 && colour[2] > 128)
            << "no magenta margin at " << x << "," << y;
    }
}

TEST(FfmpegWriters, FactoriesThatCannotCreateTheirFileThrowAReadableErrorAndLeaveNoFile)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 256);
    const bool readOnly = disk.isMounted() && test::remountReadOnly(folder.file(u"disk"_s));

    struct Case {
        QString path;
        QString reason;
    };
    std::vector<Case> cases{{folder.file(u"missing/screen.mov"_s), u"No such file or directory"_s}};
    if (readOnly)
        cases.push_back({disk.file(u"screen.mov"_s), u"Read-only file system"_s});
    else
        std::printf("read-only case skipped: cannot mount a small tmpfs here (needs root)\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason.toStdString());
        const QString audioPath = QString(c.path).replace(u"screen.mov"_s, u"system_audio.m4a"_s);
        const std::optional<RecorderError> audio = errorOf([&] { FfmpegAacWriter::factory()(audioPath); });
        const std::optional<RecorderError> video =
            errorOf([&] { FfmpegH264Writer::factory()(c.path, 640, 480); });
        ASSERT_TRUE(audio.has_value() && video.has_value());
        EXPECT_EQ(audio->code(), RecorderError::Code::writeFailed);
        EXPECT_EQ(audio->description(), u"Could not write the file \""_s + audioPath + u"\": "_s + c.reason);
        EXPECT_EQ(video->code(), RecorderError::Code::writeFailed);
        EXPECT_EQ(video->description(), u"Could not write the file \""_s + c.path + u"\": "_s + c.reason);
    }

    // A size the encoder cannot take is refused before any file is made.
    const QString odd = folder.file(u"odd.mov"_s);
    const std::optional<RecorderError> refused = errorOf([&] { FfmpegH264Writer(odd, 641, 480); });
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->code(), RecorderError::Code::writerSetupFailed);
    EXPECT_EQ(refused->description(), u"Could not set up the H.264 encoder for \""_s + odd +
                                          u"\": the size 641x480 is not a positive even one"_s);
    EXPECT_FALSE(QFile::exists(odd));
}

TEST(FfmpegWriters, ADiskThatFillsUpBeforeTheFinishFailsItAndTheMovieKeepsItsEarlierFrames)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 1024);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString path = disk.file(u"screen.mov"_s);
    std::minstd_rand noise;
    std::optional<RecorderError> failure;
    {
        FfmpegH264Writer writer(path, 320, 240);
        EXPECT_TRUE(writer.append(noiseFrame(320, 240, 0.0, noise), 0.0));
        EXPECT_FALSE(writer.append(noiseFrame(320, 240, 0.0004, noise), 0.0004)) << "same millisecond";
        // A keyframe of noise: tens of kilobytes wait in the muxer for the finish.
        EXPECT_TRUE(writer.append(noiseFrame(320, 240, 1.0, noise), 1.0));
        fillUp(disk.file(u"filler"_s));
        failure = errorOf([&] { writer.finish(); });
    }
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->code(), RecorderError::Code::writeFailed);
    EXPECT_TRUE(failure->description().startsWith(u"Could not "_s)) << failure->description().toStdString();
    EXPECT_TRUE(failure->description().endsWith(u" \""_s + path + u"\": No space left on device"_s))
        << failure->description().toStdString();
    QFile::remove(disk.file(u"filler"_s));
    const auto video = test::MediaProbe::decodeVideo(path);
    EXPECT_EQ(video.decodedFrames, 1) << "the first frame went to the disk in a fragment of its own";
}

TEST(FfmpegWriters, AFullDiskEndsTheMovieWithTheRecordersUsualLines)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 512);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    Logger logger(folder.file(u"app.log"_s));
    auto source = std::make_unique<test::FakeScreenFrameSource>();
    test::FakeScreenFrameSource& frames = *source;
    frames.displayList = {{7, u"DP-1"_s, 0, 0, 320, 240, true}};
    frames.noisy = true;
    const QString path = disk.file(u"screen.mov"_s);
    ScreenRecorder recorder(path, 0, logger, std::move(source), FfmpegH264Writer::factory());
    test::runTask(recorder.prepareDisplay());
    test::runTask(recorder.start());
    for (int i = 0; i < 120 && !recorder.interruption(); ++i) {
        frames.deliver(i / 30.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    test::runTask(recorder.stop());

    const QString reason = u"Could not write the movie \""_s + path + u"\": No space left on device"_s;
    ASSERT_TRUE(recorder.interruption().has_value()) << "512 kB hold a few frames of noise";
    EXPECT_EQ(recorder.interruption()->reason, reason);
    EXPECT_EQ(test::countLogLines(logger, u"[ERROR] Failed appending screen pixel buffer: "_s + reason), 1);
    EXPECT_EQ(test::countLogLines(logger, u"[ERROR] Screen video writer failed before finish: "_s + reason),
              1);
    EXPECT_GE(test::MediaProbe::decodeVideo(path).decodedFrames, 1) << "the frames before the failure play";
}

TEST(FfmpegWriters, AFullDiskEndsTheSystemAudioTrackWithOneLine)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 64);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    Logger logger(folder.file(u"app.log"_s));
    const QString path = disk.file(u"system_audio.m4a"_s);
    SystemAudioRecorder recorder(path, std::nullopt, logger, FfmpegAacWriter::factory(), systemTime, {});
    std::minstd_rand noise;
    AudioSampleBuffer buffer;
    buffer.data.resize(1024 * 4);
    for (int i = 0; i < 47 * 30 && !recorder.interruption(); ++i) { // at most 30 s
        auto* samples = reinterpret_cast<std::int16_t*>(buffer.data.data());
        for (int s = 0; s < 2048; ++s)
            samples[s] = static_cast<std::int16_t>(static_cast<int>(noise() % 20001) - 10000);
        recorder.append(buffer);
    }
    const qint64 taken = recorder.bufferCount();
    for (int i = 0; i < 10; ++i)
        recorder.append(buffer);
    recorder.stopCapture();

    const QString reason = u"Could not write the audio file \""_s + path + u"\": No space left on device"_s;
    ASSERT_TRUE(recorder.interruption().has_value()) << "64 kB hold a few seconds";
    EXPECT_EQ(recorder.interruption()->reason, reason);
    EXPECT_EQ(test::countLogLines(logger, u"[ERROR] System audio write failed: "_s + reason), 1);
    EXPECT_EQ(test::countLogLines(logger, u"System audio writer failed"_s), 0) << "no finish is tried";
    EXPECT_EQ(recorder.bufferCount(), taken) << "the track took nothing after the failure";
    EXPECT_GT(test::MediaProbe::decodeAudio(path).seconds, 0.5) << "the fragments before the failure play";
}

} // namespace
} // namespace ebbcast
