#include "capture/PermissionManager.h"
#include "capture/WrapUpError.h"
#include "capture/WrapUpRecorder.h"
#include "capture/WrapUpRepair.h"
#include "capture/linux/FfmpegMediaDuration.h"
#include "capture/linux/FfmpegWrapUpMovieWriter.h"
#include "capture/linux/LavfiCameraSource.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/V4l2CameraSource.h"
#include "core/base/Logger.h"
#include "core/documents/WrapUpMetadata.h"
#include "support/LogLines.h"
#include "support/MediaProbe.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

// Lets the event loop run for a while (the recorder's hops to the main thread need it).
void runEventsFor(std::chrono::milliseconds duration)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < duration.count())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The start time of each stream of a movie, in seconds, by codec type ("video", "audio").
QJsonObject streamStarts(const QString& path)
{
    QProcess probe;
    probe.start(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-show_entries"_s, u"stream=codec_type,start_time"_s,
                               u"-of"_s, u"json"_s, path});
    probe.waitForFinished(30000);
    QJsonObject starts;
    const auto streams = QJsonDocument::fromJson(probe.readAllStandardOutput()).object().value(u"streams"_s);
    for (const auto& stream : streams.toArray()) {
        const QJsonObject object = stream.toObject();
        starts.insert(object.value(u"codec_type"_s).toString(),
                      object.value(u"start_time"_s).toString().toDouble());
    }
    return starts;
}

class WrapUpIntegrationTest : public ::testing::Test {
protected:
    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    PermissionManager permissions_{logger_};
};

// A note from the stand-in camera and the real sound server: H.264 and AAC, as long as it was recorded, both
// streams from the start, the tone audible.
TEST_F(WrapUpIntegrationTest, ANoteOfFiveSecondsHoldsPicturesAndTheSpokenSound)
{
    test::TonePlayer tone(u"ebbcast_mic_feed"_s, folder_.path());
    WrapUpRecorder recorder(folder_.file(u"Recordings"_s), permissions_, logger_,
                            std::make_unique<LavfiCameraSource>(), std::make_unique<PulseAudioInputEngine>(),
                            FfmpegWrapUpMovieWriter::factory());
    const QString session = folder_.file(u"session"_s);
    QDir().mkpath(session);

    const QString movie = test::runTask(recorder.start(session));
    QElapsedTimer recorded;
    recorded.start();
    runEventsFor(5000ms);
    const double seconds = static_cast<double>(recorded.elapsed()) / 1000.0;
    const WrapUpOutcome outcome = test::runTask(recorder.stop());
    ASSERT_TRUE(outcome.recorded) << qPrintable(outcome.failure);
    EXPECT_EQ(outcome.moviePath, movie);

    const auto video = test::MediaProbe::decodeVideo(movie);
    EXPECT_EQ(video.codec, u"h264"_s);
    EXPECT_EQ(video.profile, u"High"_s);
    EXPECT_EQ(video.width, 640);
    EXPECT_EQ(video.height, 480);
    EXPECT_NEAR(video.lastFrameTime, seconds, seconds * 0.1);
    EXPECT_GE(video.decodedFrames, 5 * 15) << "a frame rate near the camera's 30 fps";
    const auto audio = test::MediaProbe::firstAudioStream(movie);
    EXPECT_EQ(audio.codec, u"aac"_s);
    EXPECT_EQ(audio.sampleRate, 48000);
    const auto sound = test::MediaProbe::decodeAudio(movie);
    EXPECT_NEAR(sound.seconds, seconds, seconds * 0.1);
    EXPECT_GT(sound.rms, 0.05) << "the tone is in the note";
    const QJsonObject starts = streamStarts(movie);
    EXPECT_NEAR(starts.value(u"video"_s).toDouble(), 0, 0.1);
    EXPECT_NEAR(starts.value(u"audio"_s).toDouble(), 0, 0.1);

    const auto document = WrapUpMetadata::fromJson(
        QJsonDocument::fromJson(test::TemporaryFolder::readAll(outcome.metadataPath)).object());
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(document->filePath, movie);
    EXPECT_NEAR(document->duration, seconds, 1.5);
    std::printf("recorded %.2f s: %d frames, video ends %.2f s, audio %.2f s (rms %.2f)\n", seconds,
                video.decodedFrames, video.lastFrameTime, sound.seconds, sound.rms);
}

// A note whose process is killed plays up to its last fragment, and the launch repair gives it its document.
TEST_F(WrapUpIntegrationTest, AKilledNotePlaysAndTheRepairWritesItsDocument)
{
    test::TonePlayer tone(u"ebbcast_mic_feed"_s, folder_.path());
    const QString session = folder_.file(u"session"_s);
    QDir().mkpath(session);
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QCoreApplication::applicationDirPath() + u"/ebbcast_wrap_up_probe"_s, {session, u"0"_s});
    ASSERT_TRUE(probe.waitForReadyRead(30000)) << "the probe never started";
    const QByteArray started = probe.readLine();
    ASSERT_TRUE(started.startsWith("started ")) << started.constData();
    QElapsedTimer recording;
    recording.start();
    std::this_thread::sleep_for(3s);
    const double killedAfter = static_cast<double>(recording.elapsed()) / 1000.0;
    ::kill(static_cast<pid_t>(probe.processId()), SIGKILL);
    probe.waitForFinished(10000);

    const QString movie = session + u"/wrap_up.mov"_s;
    EXPECT_FALSE(QFileInfo::exists(WrapUpMetadata::pathFor(movie)));
    const auto video = test::MediaProbe::decodeVideo(movie);
    EXPECT_EQ(video.codec, u"h264"_s);
    // A keyframe, and so a fragment, every second: at most about a second is lost.
    EXPECT_GE(video.lastFrameTime, killedAfter - 1.6) << "killed after " << killedAfter << " s";
    EXPECT_LE(video.lastFrameTime, killedAfter + 0.2);

    const QStringList written = repairInterruptedWrapUp(
        session,
        [](const QString& path) -> std::optional<double> { return FfmpegMediaDuration::videoSeconds(path); },
        logger_);
    ASSERT_EQ(written, QStringList{WrapUpMetadata::pathFor(movie)});
    const auto document = WrapUpMetadata::fromJson(
        QJsonDocument::fromJson(test::TemporaryFolder::readAll(written.front())).object());
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(document->filePath, movie);
    EXPECT_NEAR(document->duration, video.lastFrameTime, 0.6);
    EXPECT_EQ(document->endTime.toSecsSinceEpoch(), QFileInfo(movie).lastModified().toSecsSinceEpoch());
    std::printf("killed after %.2f s: the movie plays %.2f s, its document says %.2f s\n", killedAfter,
                video.lastFrameTime, document->duration);
}

// No camera on this machine: the real V4L2 source finds none, and the note says so plainly.
TEST_F(WrapUpIntegrationTest, WithoutACameraTheNoteSaysSo)
{
    if (!QDir(u"/dev"_s).entryList({u"video*"_s}, QDir::System).isEmpty())
        GTEST_SKIP() << "this machine has a camera";
    WrapUpRecorder recorder(folder_.file(u"Recordings"_s), permissions_, logger_,
                            std::make_unique<V4l2CameraSource>(), std::make_unique<PulseAudioInputEngine>(),
                            FfmpegWrapUpMovieWriter::factory());
    try {
        test::runTask(recorder.start(std::nullopt));
        FAIL() << "the note started";
    } catch (const WrapUpError& error) {
        EXPECT_EQ(error.description(), u"No camera is available for a wrap-up note."_s);
    }
    EXPECT_FALSE(QFileInfo::exists(folder_.file(u"Recordings"_s)));
}

} // namespace
} // namespace ebbcast
