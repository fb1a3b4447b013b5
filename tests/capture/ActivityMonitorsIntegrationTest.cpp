#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/linux/PulseAudioDeviceUsageQuery.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/X11FrontmostApplicationSource.h"
#include "core/base/Logger.h"
#include "support/DesktopDriver.h"
#include "support/MediaProbe.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

// Against the Xvfb display and the PulseAudio daemon that scripts/test-services.sh starts. Xvfb runs no
// window manager, so the test sets _NET_ACTIVE_WINDOW itself, as a window manager would.

namespace ebbcast {
namespace {

// Processes events until `done` or the time-out; true when done.
bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return done();
}

TEST(ActivityMonitorsIntegration, TheActiveX11WindowNamesTheFrontmostApplication)
{
    test::TemporaryFolder folder;
    test::TestPattern window({u"10"_s, u"10"_s, u"200"_s, u"200"_s});
    QString id;
    ASSERT_TRUE(waitUntil(
        [&id] { return !(id = test::windowWithClass(u"ebbcast_test_pattern"_s)).isEmpty(); }, 5000));

    test::makeActive(u"0x0"_s);
    X11FrontmostApplicationSource bare(QString(), {folder.file(u"applications"_s)});
    EXPECT_FALSE(bare.frontmostApplication().has_value()) << "no active window";

    test::makeActive(id);
    const auto byClass = bare.frontmostApplication();
    ASSERT_TRUE(byClass.has_value());
    EXPECT_EQ(byClass->name, u"ebbcast_test_pattern"_s) << "without a desktop entry: the WM_CLASS class";
    EXPECT_EQ(byClass->identifier, u"ebbcast_test_pattern"_s);

    test::TemporaryFolder::writeAll(
        folder.file(u"applications/org.example.Pattern.desktop"_s),
        "[Desktop Entry]\nType=Application\nName=Pattern Viewer\n"
        "StartupWMClass=ebbcast_test_pattern\n[Desktop Action New]\nName=Other\n");
    X11FrontmostApplicationSource withEntries(QString(), {folder.file(u"applications"_s)});
    const auto byEntry = withEntries.frontmostApplication();
    ASSERT_TRUE(byEntry.has_value());
    EXPECT_EQ(byEntry->name, u"Pattern Viewer"_s);
    EXPECT_EQ(byEntry->identifier, u"org.example.Pattern"_s);
    test::makeActive(u"0x0"_s);

    X11FrontmostApplicationSource noDisplay(u":249"_s);
    EXPECT_FALSE(noDisplay.frontmostApplication().has_value());
}

TEST(ActivityMonitorsIntegration, AnotherProcessRecordingTheMicrophoneIsNoticedAndOurOwnStreamsAreNot)
{
    PulseAudioDeviceUsageQuery usage;
    EXPECT_FALSE(usage.query().inUse);

    PulseAudioInputEngine ownEngine; // this process recording: not a reason to prompt
    ownEngine.installTap(1024, ownEngine.inputFormat(), [](const AudioInputBuffer&) {});
    ownEngine.prepare();
    ownEngine.start();
    EXPECT_FALSE(usage.query().inUse);

    QProcess other;
    other.start(u"parecord"_s, {u"--raw"_s, u"/dev/null"_s});
    ASSERT_TRUE(other.waitForStarted(5000));
    ASSERT_TRUE(waitUntil([&usage] { return usage.query().inUse; }, 1500)) << "within one poll";
    EXPECT_EQ(usage.query().deviceNames, QStringList{u"Test_Microphone"_s});

    other.kill();
    other.waitForFinished(5000);
    EXPECT_TRUE(waitUntil([&usage] { return !usage.query().inUse; }, 1500));
    ownEngine.stop();
    ownEngine.removeTap();
}

TEST(ActivityMonitorsIntegration, AudioActivityHearsAToneAndTimesOutOnSilence)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    X11FrontmostApplicationSource frontmost;
    AppActivityMonitor apps(frontmost, {});
    AudioActivityMonitor monitor({.silenceThreshold = 0.025,
                                  .autoStopSilenceSeconds = 0.5,
                                  .autoStartRecording = true,
                                  .onlyAutoRecordWatchedApps = false},
                                 apps, logger, std::make_unique<PulseAudioInputEngine>());
    int starts = 0;
    int timeouts = 0;
    monitor.onActivityStart = [&starts] {
        ++starts;
    };
    monitor.onSilenceTimeout = [&timeouts] {
        ++timeouts;
    };
    monitor.start();
    ASSERT_TRUE(monitor.isMonitoring());

    EXPECT_TRUE(waitUntil([&timeouts] { return timeouts >= 1; }, 3000)) << "the quiet microphone times out";
    EXPECT_EQ(starts, 0);
    {
        test::TonePlayer tone(u"ebbcast_mic_feed"_s, folder.path(), 5);
        EXPECT_TRUE(waitUntil([&starts] { return starts >= 1; }, 3000)) << "a loud tone asks for a recording";
    }
    monitor.stop();
}

} // namespace
} // namespace ebbcast
