#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "core/base/Logger.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakeDeviceUsageQuery.h"
#include "support/FakeFrontmostApplicationSource.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QStringList meetingApps{u"Zoom"_s,  u"Google Chrome"_s, u"Safari"_s,
                              u"Slack"_s, u"OBS"_s,           u"Premiere Pro"_s};

class ActivityMonitorsTest : public ::testing::Test {
protected:
    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    test::ManualClock clock_;
    test::FakeFrontmostApplicationSource frontmost_;
    AppActivityMonitor apps_{frontmost_, meetingApps};
};

TEST_F(ActivityMonitorsTest, WatchListMatchesNamesContainingAnEntryIgnoringCase)
{
    EXPECT_TRUE(apps_.isActiveAppInWatchList()) << "zoom.us is on the list";
    const std::pair<QString, bool> cases[] = {
        {u"Safari Technology Preview"_s, true},
        {u"GOOGLE CHROME"_s, true},
        {u"Firefox"_s, false},
        {u"obs-studio"_s, true},
        {u""_s, false},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(AppActivityMonitor::isInWatchList(name, meetingApps), expected) << name.toStdString();
    EXPECT_FALSE(AppActivityMonitor::isInWatchList(u"Zoom"_s, {}));
    EXPECT_FALSE(AppActivityMonitor::isInWatchList(u"Zoom"_s, {u""_s})) << "an empty entry matches nothing";

    apps_.setWatchList({u"Teams"_s});
    EXPECT_FALSE(apps_.isActiveAppInWatchList()) << "a new list applies at once";
}

TEST_F(ActivityMonitorsTest, UnknownApplicationsHaveFixedPlaceholders)
{
    EXPECT_EQ(apps_.activeApplicationInfo(), (ActiveAppMetadata{u"zoom.us"_s, u"us.zoom.xos"_s}));
    frontmost_.application = FrontmostApplication{u""_s, u""_s};
    EXPECT_EQ(apps_.activeApplicationInfo(), (ActiveAppMetadata{u"Unknown"_s, u"unknown"_s}));
    frontmost_.application.reset();
    EXPECT_EQ(apps_.activeApplicationInfo(), (ActiveAppMetadata{u"Unknown"_s, u"unknown"_s}));
    EXPECT_FALSE(apps_.isActiveAppInWatchList());
}

class MicrophoneUsageMonitorTest : public ActivityMonitorsTest {
protected:
    MicrophoneUsageMonitorTest()
    {
        monitor_.onMicrophoneUseDetected = [this](const ActiveAppMetadata& application) {
            prompts_.push_back(application);
        };
    }

    void pollAfter(double seconds)
    {
        clock_.advance(seconds);
        monitor_.poll();
    }

    test::FakeDeviceUsageQuery usage_;
    MicrophoneUsageMonitor monitor_{{.promptWhenMicrophoneIsUsed = true,
                                     .onlyPromptWatchedApps = false,
                                     .microphonePromptCooldownSeconds = 120},
                                    apps_,
                                    logger_,
                                    usage_,
                                    clock_.wallClock()};
    std::vector<ActiveAppMetadata> prompts_;
};

TEST_F(MicrophoneUsageMonitorTest, AMicrophoneBusyAtStartPromptsOnlyAfterGoingIdleAndBusyAgain)
{
    usage_.busy = true;
    monitor_.start();
    monitor_.start();
    EXPECT_EQ(countLines(u"[INFO] Microphone usage monitor started"_s), 1);
    pollAfter(1.5);
    EXPECT_TRUE(prompts_.empty());
    usage_.busy = false;
    pollAfter(1.5);
    usage_.busy = true;
    pollAfter(1.5);
    ASSERT_EQ(prompts_.size(), 1U);
    EXPECT_EQ(prompts_[0].name, u"zoom.us"_s);
    EXPECT_EQ(
        countLines(u"[INFO] Microphone input hardware is active; prompting to record. Active app: zoom.us. "
                   "Devices: Built-in Microphone, USB Headset"_s),
        1);
    pollAfter(1.5);
    EXPECT_EQ(prompts_.size(), 1U) << "still the same busy period";
    monitor_.stop();
}

TEST_F(MicrophoneUsageMonitorTest, TwoBusyPeriodsInsideTheCooldownPromptOnce)
{
    monitor_.start();
    usage_.busy = true;
    pollAfter(1.5);
    usage_.busy = false;
    pollAfter(1.5);
    usage_.busy = true;
    pollAfter(58.5); // 60 s after the first prompt, inside the 120 s cooldown
    EXPECT_EQ(prompts_.size(), 1U);
    usage_.busy = false;
    pollAfter(1.5);
    usage_.busy = true;
    pollAfter(60.0); // 121.5 s after the first prompt
    EXPECT_EQ(prompts_.size(), 2U);
}

TEST_F(MicrophoneUsageMonitorTest, OutsideTheWatchListTheLineIsLoggedOncePerBusyPeriodAndNothingPrompts)
{
    monitor_.setOnlyPromptWatchedApps(true);
    frontmost_.application = FrontmostApplication{u"Firefox"_s, u"firefox"_s};
    monitor_.start();
    usage_.busy = true;
    pollAfter(1.5);
    pollAfter(1.5);
    EXPECT_TRUE(prompts_.empty());
    EXPECT_EQ(
        countLines(u"[INFO] Microphone use detected, but active app is outside prompt watch list: Firefox"_s),
        1);

    // No prompt was made, so no cooldown runs: a watched application prompts at its next busy period.
    usage_.busy = false;
    pollAfter(1.5);
    frontmost_.application = FrontmostApplication{u"Slack"_s, u"slack"_s};
    usage_.busy = true;
    pollAfter(1.5);
    EXPECT_EQ(prompts_.size(), 1U);
}

TEST_F(MicrophoneUsageMonitorTest, NothingPromptsWhileRecordingOrWhenSwitchedOff)
{
    bool recording = true;
    monitor_.isRecordingProvider = [&recording] {
        return recording;
    };
    monitor_.start();
    usage_.busy = true;
    pollAfter(1.5);
    EXPECT_TRUE(prompts_.empty());
    recording = false;
    pollAfter(1.5);
    EXPECT_EQ(prompts_.size(), 1U) << "a recording that ended counts as idle before";

    monitor_.setPromptWhenMicrophoneIsUsed(false);
    usage_.busy = false;
    pollAfter(1.5);
    usage_.busy = true;
    pollAfter(200);
    EXPECT_EQ(prompts_.size(), 1U);
}

class AudioActivityMonitorTest : public ActivityMonitorsTest {
protected:
    AudioActivityMonitor& make()
    {
        auto engine = std::make_unique<test::FakeAudioInputEngine>(AudioInputFormat{48000, 1});
        engine_ = engine.get();
        monitor_ = std::make_unique<AudioActivityMonitor>(config_, apps_, logger_, std::move(engine),
                                                          clock_.wallClock());
        monitor_->onActivityStart = [this] {
            ++starts_;
        };
        monitor_->onSilenceTimeout = [this] {
            timeouts_.push_back(clock_.now());
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
        };
        return *monitor_;
    }

    // The recording's levels, one per 1024-frame buffer at 48 kHz, then the queued callbacks.
    void recordingLevels(double seconds, float level)
    {
        const int buffers = static_cast<int>(std::lround(seconds * 48000 / 1024));
        for (int i = 0; i < buffers; ++i) {
            clock_.advance(1024 / 48000.0);
            monitor_->observeRecordingLevel(level);
            QCoreApplication::processEvents();
        }
    }

    AudioActivityMonitor::Config config_{.silenceThreshold = 0.025,
                                         .autoStopSilenceSeconds = 10,
                                         .autoStartRecording = false,
                                         .onlyAutoRecordWatchedApps = false};
    test::FakeAudioInputEngine* engine_ = nullptr;
    std::unique_ptr<AudioActivityMonitor> monitor_;
    int starts_ = 0;
    std::vector<QDateTime> timeouts_;
};

TEST_F(AudioActivityMonitorTest, ASilenceOf25SecondsReportsTwiceWithATenSecondSetting)
{
    make().setRecordingAutoStopEnabled(true);
    const QDateTime start = clock_.now();
    recordingLevels(25, 0.01F);
    ASSERT_EQ(timeouts_.size(), 2U);
    EXPECT_NEAR(start.msecsTo(timeouts_[0]) / 1000.0, 10.0, 0.05);
    EXPECT_NEAR(start.msecsTo(timeouts_[1]) / 1000.0, 20.0, 0.05);
    EXPECT_EQ(starts_, 0) << "recording levels never start a recording";
}

TEST_F(AudioActivityMonitorTest, OneLoudBufferRestartsTheCountAndTheThresholdIsInclusive)
{
    make().setRecordingAutoStopEnabled(true);
    recordingLevels(9, 0.01F);
    recordingLevels(0.03, 0.025F); // at the threshold counts as sound
    recordingLevels(9, 0.01F);
    EXPECT_TRUE(timeouts_.empty());
    recordingLevels(1.1, 0.01F);
    EXPECT_EQ(timeouts_.size(), 1U);
}

TEST_F(AudioActivityMonitorTest, RecordingLevelsCountOnlyWhileAutoStopIsEnabled)
{
    make();
    recordingLevels(30, 0.0F);
    EXPECT_TRUE(timeouts_.empty());
    monitor_->setRecordingAutoStopEnabled(true);
    recordingLevels(5, 0.0F);
    monitor_->setRecordingAutoStopEnabled(false); // clears the window
    monitor_->setRecordingAutoStopEnabled(true);
    recordingLevels(9, 0.0F);
    EXPECT_TRUE(timeouts_.empty());
}

TEST_F(AudioActivityMonitorTest, LoudInputStartsARecordingWhenAutoStartIsOnForAWatchedApplication)
{
    make().start();
    engine_->deliver(2, 1024, 0.5F);
    QCoreApplication::processEvents();
    EXPECT_EQ(starts_, 0) << "auto start is off";

    monitor_->setAutoStartRecording(true);
    engine_->deliver(2, 1024, 0.5F);
    QCoreApplication::processEvents();
    EXPECT_EQ(starts_, 2) << "every loud buffer asks";

    monitor_->setOnlyAutoRecordWatchedApps(true);
    frontmost_.application = FrontmostApplication{u"Terminal"_s, u"terminal"_s};
    std::thread audioThread([this] { engine_->deliver(1, 1024, 0.5F); });
    audioThread.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(starts_, 2);
    monitor_->stop();
}

TEST_F(AudioActivityMonitorTest, AFailedStartIsLoggedAndAStartAfterItInstallsOneTap)
{
    AudioActivityMonitor& monitor = make();
    engine_->failStarts = true;
    monitor.start();
    EXPECT_FALSE(monitor.isMonitoring());
    EXPECT_FALSE(engine_->tapInstalled());
    EXPECT_EQ(countLines(u"[ERROR] Audio activity monitor failed to start: input device unavailable"_s), 1);

    engine_->failStarts = false;
    monitor.setRecordingAutoStopEnabled(false);
    monitor.start();
    EXPECT_TRUE(monitor.isMonitoring());
    EXPECT_TRUE(engine_->tapInstalled());
    monitor.stop();
    EXPECT_FALSE(engine_->tapInstalled());
    monitor.stop(); // a second stop does nothing
}

TEST_F(AudioActivityMonitorTest, ItsOwnSilenceCountsTowardsTheTimeOutToo)
{
    config_.autoStopSilenceSeconds = 1.0;
    make().start();
    for (int i = 0; i < 60; ++i) {
        clock_.advance(1024 / 48000.0);
        engine_->deliver(1, 1024, 0.0F);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(timeouts_.size(), 1U);
}

} // namespace
} // namespace ebbcast
