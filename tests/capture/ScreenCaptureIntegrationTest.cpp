#include "capture/ScreenCaptureError.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/linux/FfmpegAacWriter.h"
#include "capture/linux/FfmpegH264Writer.h"
#include "capture/linux/PulseAudioSystemAudioSource.h"
#include "capture/linux/X11ScreenFrameSource.h"
#include "core/base/Logger.h"
#include "support/CrashTrial.h"
#include "support/MediaProbe.h"
#include "support/PrivateServers.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;

// Against the Xvfb display and the PulseAudio daemon that scripts/test-services.sh starts.

namespace ebbcast {
namespace {

void sleepSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
}

// One recording of the screen with its system audio, as a session makes it.
class ScreenRecording {
public:
    explicit ScreenRecording(const QString& folder, QString displayName = QString(), quint32 displayID = 0)
        : folder_(folder)
        , logger_(folder + u"/app.log"_s)
        , systemAudio_(folder + u"/system_audio.m4a"_s, std::nullopt, logger_, FfmpegAacWriter::factory(),
                       systemTime, {}, std::make_unique<PulseAudioSystemAudioSource>())
        , recorder_(folder + u"/screen.mov"_s, displayID, logger_,
                    std::make_unique<X11ScreenFrameSource>(std::move(displayName)),
                    FfmpegH264Writer::factory())
    {}

    // The screen and its system audio, started and stopped together as a session does.
    QCoro::Task<> start()
    {
        co_await recorder_.start();
        systemAudio_.startCapture();
    }
    QCoro::Task<> stop()
    {
        co_await recorder_.stop();
        systemAudio_.stopCapture();
    }
    SystemAudioRecorder& systemAudio() { return systemAudio_; }

    ScreenRecorder& recorder() { return recorder_; }
    QString file(const QString& name) const { return folder_ + u'/' + name; }

    QByteArray log()
    {
        logger_.flush();
        return test::TemporaryFolder::readAll(file(u"app.log"_s));
    }

private:
    QString folder_;
    Logger logger_;
    SystemAudioRecorder systemAudio_;
    ScreenRecorder recorder_;
};

TEST(ScreenCaptureIntegration, RecordsAChangingScreenAsHighProfileH264WithItsSystemAudio)
{
    test::TemporaryFolder folder;
    test::TestPattern pattern;
    test::TonePlayer tone(u"ebbcast_speaker"_s, folder.path());
    ScreenRecording recording(folder.path());

    const DisplayMetadata display = test::runTask(recording.recorder().prepareDisplay());
    EXPECT_EQ(display,
              (DisplayMetadata{X11ScreenFrameSource::identifierFor(u"screen"_s), 1920, 1080, std::nullopt}));
    test::runTask(recording.start());
    QElapsedTimer wall;
    wall.start();
    sleepSeconds(3.0);
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    test::runTask(recording.stop());

    const auto video = test::MediaProbe::decodeVideo(recording.file(u"screen.mov"_s));
    EXPECT_EQ(video.codec, u"h264"_s);
    EXPECT_EQ(video.profile, u"High"_s);
    EXPECT_EQ(video.width, 1920);
    EXPECT_EQ(video.height, 1080);
    EXPECT_LE(video.averageFrameRate, 30.5);
    EXPECT_GE(video.averageFrameRate, 15.0 / test::timingScale()) << "frames keep coming at a usable rate";
    EXPECT_EQ(video.firstFrameTime, 0.0);
    EXPECT_NEAR(video.lastFrameTime, seconds, seconds * 0.1 * test::timingScale());

    const auto audio = test::MediaProbe::decodeAudio(recording.file(u"system_audio.m4a"_s));
    EXPECT_GT(audio.rms, 0.1) << "the tone is in the system audio";
    EXPECT_EQ(recording.systemAudio().captureMetadata().status, u"capturing"_s);
    EXPECT_TRUE(recording.log().contains("[INFO] ScreenCaptureKit system audio output attached"));
}

TEST(ScreenCaptureIntegration, ChosenMonitorOfATwoMonitorLayoutRecordsAtItsSize)
{
    QProcess::execute(u"xrandr"_s, {u"--setmonitor"_s, u"LEFT"_s, u"960/254x1080/286+0+0"_s, u"screen"_s});
    QProcess::execute(u"xrandr"_s, {u"--setmonitor"_s, u"RIGHT"_s, u"960/254x1080/286+960+0"_s, u"none"_s});
    {
        test::TemporaryFolder folder;
        test::TestPattern pattern;
        ScreenRecording recording(folder.path(), QString(), X11ScreenFrameSource::identifierFor(u"RIGHT"_s));
        const DisplayMetadata display = test::runTask(recording.recorder().prepareDisplay());
        EXPECT_EQ(display.id, X11ScreenFrameSource::identifierFor(u"RIGHT"_s));
        EXPECT_EQ(display.width, 960);
        test::runTask(recording.recorder().start());
        sleepSeconds(1.5);
        test::runTask(recording.recorder().stop());
        const auto video = test::MediaProbe::decodeVideo(recording.file(u"screen.mov"_s));
        EXPECT_EQ(video.width, 960);
        EXPECT_EQ(video.height, 1080);
        EXPECT_GT(video.decodedFrames, 20);
    }
    QProcess::execute(u"xrandr"_s, {u"--delmonitor"_s, u"LEFT"_s});
    QProcess::execute(u"xrandr"_s, {u"--delmonitor"_s, u"RIGHT"_s});
}

TEST(ScreenCaptureIntegration, UnreachableDisplayIsAClearError)
{
    test::TemporaryFolder folder;
    ScreenRecording recording(folder.path(), u":249"_s);
    try {
        test::runTask(recording.recorder().prepareDisplay());
        FAIL() << "prepared without an X server";
    } catch (const ScreenCaptureError& error) {
        EXPECT_EQ(error.code(), ScreenCaptureError::Code::displayServerUnreachable);
        EXPECT_EQ(error.description(), u"The X display \":249\" is not reachable."_s);
    }
    EXPECT_FALSE(QFile::exists(recording.file(u"screen.mov"_s)));
}

TEST(ScreenCaptureIntegration, DisplayThatDisappearsMidRecordingLeavesAPlayableMovie)
{
    test::TemporaryFolder folder;
    test::PrivateDisplay display;
    ScreenRecording recording(folder.path(), display.name());
    test::runTask(recording.recorder().prepareDisplay());
    test::runTask(recording.recorder().start());
    sleepSeconds(2.6);
    display.kill();
    sleepSeconds(0.5);
    test::runTask(recording.recorder().stop());

    EXPECT_TRUE(recording.log().contains("[ERROR] ScreenCaptureKit stream stopped with error: "));
    const auto video = test::MediaProbe::decodeVideo(recording.file(u"screen.mov"_s));
    EXPECT_EQ(video.width, 640);
    EXPECT_GE(video.lastFrameTime, 2.0) << "what was recorded before the display went away plays";
}

TEST(ScreenCaptureIntegration, KilledRecordingsPlayUpToTheirLastFragment)
{
    test::TemporaryFolder work;
    test::TestPattern pattern;
    for (int trial = 0; trial < 2; ++trial) {
        SCOPED_TRACE(trial);
        const QString folder = work.file(u"session-%1"_s.arg(trial));
        QDir().mkpath(folder);
        const double elapsed = test::recordThenKill({folder, u"0"_s, u"--screen"_s}, 3000, 5000);

        const auto video = test::MediaProbe::decodeVideo(folder + u"/screen.mov"_s);
        std::printf("killed after %.2f s: screen.mov plays to %.2f s (%d frames)\n", elapsed,
                    video.lastFrameTime, video.decodedFrames);
        EXPECT_EQ(video.codec, u"h264"_s);
        EXPECT_GE(video.lastFrameTime, elapsed - 2.6) << "within one 2 s fragment of the kill";
    }
}

} // namespace
} // namespace ebbcast
