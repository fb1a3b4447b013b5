#include "app/SettingsWiring.h"

#include "capture/AppActivityMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/Recorder.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/RecorderFactory.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakeDeviceUsageQuery.h"
#include "support/FakeFrontmostApplicationSource.h"
#include "support/FakeHttpServer.h"
#include "support/ManualClock.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/GlossenGatewayError.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The store as the application builds it, over a settings file the test may fill first, and the components
// built from it and connected the way main() does.
class SettingsWiringTest : public ::testing::Test {
protected:
    SettingsWiringTest()
    {
        server_.setHandler([](const auto&) { return clockAnswer(); });
    }

    static test::FakeHttpServer::Response clockAnswer() { return {200, R"({"unix_ms": 1765010000000})"}; }

    PreferencesStore& open()
    {
        preferences_ = std::make_unique<PreferencesStore>(settingsFile_, logger_);
        return *preferences_;
    }

    QString settingsPath() const { return folder_.file(u"settings.json"_s); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    SettingsFile settingsFile_{settingsPath(), logger_};
    std::unique_ptr<PreferencesStore> preferences_;
    QNetworkAccessManager network_;
    test::FakeHttpServer server_;
    test::ManualClock clock_;
    test::FakeFrontmostApplicationSource frontmost_;
    test::FakeDeviceUsageQuery usage_;
};

TEST_F(SettingsWiringTest, ComponentsStartWithTheStoredValues)
{
    test::TemporaryFolder::writeAll(
        settingsPath(), QJsonDocument(QJsonObject{{u"clockSyncEnabled"_s, true},
                                                  {u"clockSyncURL"_s, server_.url(u"/time"_s).toString()},
                                                  {u"enabledWatchListApps"_s, QJsonArray{u"Terminal"_s}},
                                                  {u"promptWhenMicrophoneIsUsed"_s, true},
                                                  {u"onlyPromptWatchedApps"_s, true},
                                                  {u"microphonePromptCooldownSeconds"_s, 5},
                                                  {u"silenceThreshold"_s, 0.5},
                                                  {u"autoStopSilenceSeconds"_s, 2},
                                                  {u"autoStartRecording"_s, true},
                                                  {u"onlyAutoRecordWatchedApps"_s, true}})
                            .toJson());
    PreferencesStore& preferences = open();

    EXPECT_EQ(SettingsWiring::watchList(preferences), QStringList{u"Terminal"_s});
    const ClockSyncManager::Config clockSync = SettingsWiring::clockSyncConfig(preferences);
    EXPECT_TRUE(clockSync.enabled);
    EXPECT_EQ(clockSync.url, server_.url(u"/time"_s).toString());
    const MicrophoneUsageMonitor::Config microphone = SettingsWiring::microphoneUsageConfig(preferences);
    EXPECT_TRUE(microphone.promptWhenMicrophoneIsUsed);
    EXPECT_TRUE(microphone.onlyPromptWatchedApps);
    EXPECT_EQ(microphone.microphonePromptCooldownSeconds, 5.0);
    const AudioActivityMonitor::Config audio = SettingsWiring::audioActivityConfig(preferences);
    EXPECT_EQ(audio.silenceThreshold, 0.5);
    EXPECT_EQ(audio.autoStopSilenceSeconds, 2.0);
    EXPECT_TRUE(audio.autoStartRecording);
    EXPECT_TRUE(audio.onlyAutoRecordWatchedApps);

    // And the reverse of every switch, so that no two of them are swapped.
    preferences.setPromptWhenMicrophoneIsUsed(false);
    preferences.setAutoStartRecording(false);
    preferences.setClockSyncEnabled(false);
    EXPECT_FALSE(SettingsWiring::microphoneUsageConfig(preferences).promptWhenMicrophoneIsUsed);
    EXPECT_TRUE(SettingsWiring::microphoneUsageConfig(preferences).onlyPromptWatchedApps);
    EXPECT_FALSE(SettingsWiring::audioActivityConfig(preferences).autoStartRecording);
    EXPECT_TRUE(SettingsWiring::audioActivityConfig(preferences).onlyAutoRecordWatchedApps);
    EXPECT_FALSE(SettingsWiring::clockSyncConfig(preferences).enabled);
}

TEST_F(SettingsWiringTest, ClockSyncFollowsTheStoreFromTheNextSync)
{
    PreferencesStore& preferences = open();
    ClockSyncManager clockSync(SettingsWiring::clockSyncConfig(preferences), logger_, network_);
    SettingsWiring wiring(preferences);
    wiring.connect(clockSync);
    EXPECT_FALSE(test::runTask(clockSync.sync()).has_value()) << "off by default";

    preferences.setClockSyncEnabled(true);
    preferences.setClockSyncURL(server_.url(u"/now"_s).toString());
    const auto synced = test::runTask(clockSync.sync());
    ASSERT_TRUE(synced.has_value());
    EXPECT_EQ(synced->status, u"synced"_s);
    EXPECT_EQ(server_.requests().value(0).target, "/now");

    preferences.setClockSyncEnabled(false);
    EXPECT_FALSE(test::runTask(clockSync.sync()).has_value());
    EXPECT_EQ(server_.requests().size(), ClockSyncManager::sampleCount);
}

TEST_F(SettingsWiringTest, TheGatewayClientUsesTheStoresValuesOfTheMomentItCalls)
{
    PreferencesStore& preferences = open();
    server_.setHandler([](const test::FakeHttpServer::Request&) {
        return test::FakeHttpServer::Response{200, R"({"job":{"id":"j-1","state":"running"}})"};
    });
    GlossenGatewayClient client(SettingsWiring::gatewaySettings(preferences), network_);
    try {
        test::runTask(client.getJob(u"j-1"_s));
        ADD_FAILURE() << "a call without a token succeeded";
    } catch (const GlossenGatewayError& error) {
        EXPECT_EQ(error.description(), u"Glossen Gateway token is missing."_s);
    }

    preferences.setGlossenGatewayToken(u"first-token"_s);
    preferences.setGlossenGatewayBaseURL(server_.url(u"/gw"_s).toString());
    EXPECT_EQ(test::runTask(client.getJob(u"j-1"_s)).job.state, u"running"_s);
    preferences.setGlossenGatewayToken(u"second-token"_s);
    test::runTask(client.getJob(u"j-1"_s));

    ASSERT_EQ(server_.requests().size(), 2);
    EXPECT_EQ(server_.requests()[0].header("Authorization"), QByteArray("Bearer first-token"));
    EXPECT_EQ(server_.requests()[1].header("Authorization"), QByteArray("Bearer second-token"));
    EXPECT_EQ(server_.requests()[1].path, QByteArray("/gw/v1/jobs/j-1"));
}

TEST_F(SettingsWiringTest, TheWatchListReachesBothMonitorsThatUseIt)
{
    PreferencesStore& preferences = open();
    AppActivityMonitor apps(frontmost_, SettingsWiring::watchList(preferences));
    MicrophoneUsageMonitor microphone(SettingsWiring::microphoneUsageConfig(preferences), apps, logger_,
                                      usage_, clock_.wallClock());
    SettingsWiring wiring(preferences);
    wiring.connect(apps);
    wiring.connect(microphone);
    int prompts = 0;
    microphone.onMicrophoneUseDetected = [&prompts](const ActiveAppMetadata&) {
        ++prompts;
    };
    const auto busyPeriodAfter = [this, &microphone](double seconds) {
        usage_.busy = false;
        microphone.poll();
        clock_.advance(seconds);
        usage_.busy = true;
        microphone.poll();
    };

    frontmost_.application = FrontmostApplication{u"Terminal"_s, u"terminal"_s};
    EXPECT_FALSE(apps.isActiveAppInWatchList());
    preferences.setEnabledWatchListApps({u"term"_s});
    EXPECT_TRUE(apps.isActiveAppInWatchList());

    preferences.setOnlyPromptWatchedApps(true);
    preferences.setEnabledWatchListApps({u"Zoom"_s});
    busyPeriodAfter(1.5);
    EXPECT_EQ(prompts, 0) << "Terminal is not watched";
    preferences.setEnabledWatchListApps({u"Terminal"_s});
    busyPeriodAfter(1.5);
    EXPECT_EQ(prompts, 1);

    busyPeriodAfter(30);
    EXPECT_EQ(prompts, 1) << "inside the 120 s cooldown";
    preferences.setMicrophonePromptCooldownSeconds(20);
    busyPeriodAfter(1.5);
    EXPECT_EQ(prompts, 2) << "the cooldown is read at each poll";

    preferences.setPromptWhenMicrophoneIsUsed(false);
    busyPeriodAfter(60);
    EXPECT_EQ(prompts, 2);
}

TEST_F(SettingsWiringTest, AudioActivityFollowsTheStore)
{
    PreferencesStore& preferences = open();
    AppActivityMonitor apps(frontmost_, SettingsWiring::watchList(preferences));
    auto engine = std::make_unique<test::FakeAudioInputEngine>();
    test::FakeAudioInputEngine& input = *engine;
    AudioActivityMonitor audio(SettingsWiring::audioActivityConfig(preferences), apps, logger_,
                               std::move(engine), clock_.wallClock());
    SettingsWiring wiring(preferences);
    wiring.connect(audio);
    int starts = 0;
    int timeouts = 0;
    audio.onActivityStart = [&starts] {
        ++starts;
    };
    audio.onSilenceTimeout = [&timeouts] {
        ++timeouts;
    };
    const auto levels = [this, &input](double seconds, float level) {
        for (int i = 0; i < static_cast<int>(seconds * 48000 / 1024); ++i) {
            clock_.advance(1024 / 48000.0);
            input.deliver(1, 1024, level);
        }
        QCoreApplication::processEvents();
    };
    audio.start();

    preferences.setAutoStartRecording(true);
    levels(0.1, 0.3F);
    EXPECT_GT(starts, 0) << "0.3 is loud against the default threshold";
    preferences.setSilenceThreshold(0.5);
    preferences.setAutoStopSilenceSeconds(1);
    starts = 0;
    levels(1.5, 0.3F);
    EXPECT_EQ(starts, 0) << "0.3 is silence against 0.5";
    EXPECT_EQ(timeouts, 1) << "after one second instead of ten";

    preferences.setOnlyAutoRecordWatchedApps(true);
    frontmost_.application = FrontmostApplication{u"Terminal"_s, u"terminal"_s};
    levels(0.1, 0.9F);
    EXPECT_EQ(starts, 0) << "Terminal is not on the default watch list";
    audio.stop();
}

TEST_F(SettingsWiringTest, ConnectionsEndWithTheWiring)
{
    PreferencesStore& preferences = open();
    ClockSyncManager clockSync(SettingsWiring::clockSyncConfig(preferences), logger_, network_);
    {
        SettingsWiring wiring(preferences);
        wiring.connect(clockSync);
        preferences.setClockSyncURL(server_.url(u"/time"_s).toString());
    }
    preferences.setClockSyncEnabled(true);
    EXPECT_FALSE(test::runTask(clockSync.sync()).has_value()) << "the switch came after the wiring was gone";
    EXPECT_TRUE(server_.requests().isEmpty());
}

} // namespace
} // namespace ebbcast

namespace ebbcast {
namespace {

class NoRecorders : public RecorderFactory {
public:
    std::unique_ptr<Recorder> makeMicRecorder(const QString&, const QString&, const QString&,
                                              Logger&) override
    {
        return nullptr;
    }
    std::unique_ptr<Recorder> makeSystemAudioRecorder(const QString&, const QString&, Logger&) override
    {
        return nullptr;
    }
    std::unique_ptr<Recorder> makeScreenRecorder(const QString&, quint32, Logger&) override
    {
        return nullptr;
    }
    std::optional<double> recordedAudioSeconds(const QString&) const override { return std::nullopt; }
};

class NoInhibitor : public ActivityInhibitor {
public:
    void begin(const QString&) override {}
    void end() override {}
};

class NoAlerts : public AlertPresenter {
public:
    void showError(const QString&) override {}
};

TEST_F(SettingsWiringTest, TheSessionStartsWithTheStoredSettingsAndFollowsEveryChange)
{
    PreferencesStore& preferences = open();
    preferences.setRecordingFolderPath(u"~/Talks"_s);
    PermissionManager permissions(logger_);
    AppActivityMonitor apps(frontmost_, {});
    ClockSyncManager clockSync({}, logger_, network_);
    NoRecorders recorders;
    NoInhibitor inhibitor;
    NoAlerts alerts;
    RecordingSession session(SettingsWiring::sessionSettings(preferences), permissions, apps, clockSync,
                             logger_, recorders, inhibitor, alerts);
    EXPECT_EQ(session.settings().recordingFolder, QDir::homePath() + u"/Talks/"_s) << "with ~ expanded";

    SettingsWiring wiring(preferences);
    wiring.connect(session);
    preferences.setRecordingFolderPath(u"/srv/recordings"_s);
    preferences.setMicInputDeviceName(u"USB Microphone"_s);
    preferences.setDefaultDisplayID(42);
    preferences.setRecorderID(u"ada"_s);
    preferences.setRecorderName(u"Ada"_s);
    const RecordingSession::Settings& now = session.settings();
    EXPECT_EQ(now.recordingFolder, u"/srv/recordings/"_s);
    EXPECT_EQ(now.microphoneName, u"USB Microphone"_s);
    EXPECT_EQ(now.displayID, 42u);
    EXPECT_EQ(now.recorderID, u"ada"_s);
    EXPECT_EQ(now.recorderName, u"Ada"_s);
}

} // namespace
} // namespace ebbcast
