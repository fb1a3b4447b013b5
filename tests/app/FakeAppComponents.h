#pragma once

// The application's components on fakes, for the tests of its wiring: scripted recorders, no devices, no
// network beyond a closed loopback port, and (when asked) the tray with its menu and windows and a wrap-up
// note on a fake camera.

#include "app/AppComponentFactory.h"
#include "app/DesktopShell.h"
#include "app/MenuBarServices.h"
#include "app/SettingsWiring.h"
#include "app/TrayIcon.h"
#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/Recorder.h"
#include "capture/WrapUpRecorder.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/UserNotifier.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/DriveTestBed.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/UploadManager.h"
#include "drive/UploadStateFile.h"
#include "model/EbbcastAppModel.h"
#include "relay/CorvanePelkoNotifier.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/RecorderFactory.h"
#include "session/RecordingSession.h"
#include "shell/ShutdownInhibitor.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakeCameraSource.h"
#include "support/FakeDeviceUsageQuery.h"
#include "support/FakeFrontmostApplicationSource.h"
#include "support/FakeGlossenGateway.h"
#include "support/FakeHttpServer.h"
#include "support/FakeWrapUpMovieWriter.h"
#include "support/InMemorySecretStore.h"
#include "support/InterruptedSession.h"
#include "support/PreparedSession.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/SessionChunks.h"

#include <QCoro/QCoroTimer>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTest>
#include <QTimeZone>
#include <QUrl>

#include <chrono>
#include <thread>

namespace ebbcast::test {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// What the fake tracks do, shared by the three of a session: starts and stops can be held back.
struct TrackScript {
    bool holdStart = false;
    bool holdStop = false;
    bool chunkOnStop = false; // the microphone reports one chunk as it stops
    // The microphone and the system audio each report chunks from a thread of their own as they stop.
    int chunksFromThreadsOnStop = 0;
    bool failStart = false; // each track's start throws "no input device"
    int starts = 0;
    int stops = 0;
};

class ScriptedTrack final : public Recorder {
public:
    ScriptedTrack(TrackScript& script, QString name, QString chunkFolder = QString(),
                  QString kind = QString())
        : script_(script)
        , name_(std::move(name))
        , chunkFolder_(std::move(chunkFolder))
        , kind_(std::move(kind))
    {}
    QString trackName() const override { return name_; }
    QCoro::Task<> prepare(SessionMetadata&) override { co_return; }
    QCoro::Task<> start(const QDateTime&) override
    {
        ++script_.starts;
        while (script_.holdStart)
            co_await QCoro::sleepFor(5ms);
        if (script_.failStart)
            throw EbbcastError(u"no input device"_s);
    }
    QCoro::Task<> stop() override
    {
        ++script_.stops;
        while (script_.holdStop)
            co_await QCoro::sleepFor(5ms);
        if (chunkFolder_.isEmpty() || !onChunkCompleted)
            co_return;
        if (script_.chunkOnStop && kind_ == u"microphone"_s)
            reportChunk(1);
        if (script_.chunksFromThreadsOnStop > 0) {
            // As a recorder's writer thread does: the reports come from it, before the stop returns.
            std::thread writer([this] {
                for (int index = 1; index <= script_.chunksFromThreadsOnStop; ++index)
                    reportChunk(index);
            });
            writer.join();
        }
    }
    void reportChunk(int index)
    {
        const bool microphone = kind_ == u"microphone"_s;
        const QString path =
            chunkFolder_ +
            (microphone ? u"/mic_chunk_%1.wav"_s : u"/system_chunk_%1.m4a"_s).arg(index, 4, 10, QChar(u'0'));
        QDir().mkpath(chunkFolder_);
        test::TemporaryFolder::writeAll(path, "RIFF chunk");
        RecordingChunkMetadata chunk;
        chunk.index = index;
        chunk.kind = kind_;
        chunk.endTime = QDateTime::currentDateTimeUtc();
        chunk.startTime = chunk.endTime.addSecs(-2);
        chunk.duration = 2;
        chunk.filePath = path;
        onChunkCompleted(chunk, path);
    }
    std::optional<TrackInterruption> interruption() const override { return std::nullopt; }
    bool hasRecorded() const override { return true; }

private:
    TrackScript& script_;
    QString name_;
    QString chunkFolder_;
    QString kind_;
};

class ScriptedRecorders final : public RecorderFactory {
public:
    explicit ScriptedRecorders(TrackScript& script)
        : script_(script)
    {}
    std::unique_ptr<Recorder> makeMicRecorder(const QString&, const QString& chunkFolder, const QString&,
                                              Logger&) override
    {
        return std::make_unique<ScriptedTrack>(script_, u"the microphone"_s, chunkFolder, u"microphone"_s);
    }
    std::unique_ptr<Recorder> makeSystemAudioRecorder(const QString&, const QString& chunkFolder,
                                                      Logger&) override
    {
        return std::make_unique<ScriptedTrack>(script_, u"the system audio"_s, chunkFolder,
                                               u"system_audio"_s);
    }
    std::unique_ptr<Recorder> makeScreenRecorder(const QString&, quint32, Logger&) override
    {
        return std::make_unique<ScriptedTrack>(script_, u"the screen"_s);
    }
    std::optional<double> recordedAudioSeconds(const QString&) const override { return std::nullopt; }

private:
    TrackScript& script_;
};

class NoInhibitor final : public ActivityInhibitor {
public:
    void begin(const QString&) override {}
    void end() override {}
};

class RecordedAlerts final : public AlertPresenter {
public:
    explicit RecordedAlerts(QStringList& alerts)
        : alerts_(alerts)
    {}
    void showError(const QString& message) override { alerts_.append(message); }

private:
    QStringList& alerts_;
};

class RecordedNotifications final : public UserNotifier {
public:
    explicit RecordedNotifications(QStringList& titles)
        : titles_(titles)
    {}
    void showNotification(const QString& title, const QString&, Kind) override { titles_.append(title); }

private:
    QStringList& titles_;
};

// The menu's alerts, as "information: …" and "error: …" lines; questions are answered "no".
class RecordedMenuAlerts final : public MenuAlerts {
public:
    QStringList shown;
    void showInformation(const QString& text, const QString&) override
    {
        shown.append(u"information: "_s + text);
    }
    void showError(const QString& text, const QString&) override { shown.append(u"error: "_s + text); }
    QCoro::Task<bool> ask(const QString& text, const QString&, const QString&, const QString&) override
    {
        shown.append(u"question: "_s + text);
        co_return false;
    }
};

// Every component on fakes (no devices, no network beyond a closed loopback port), recording the order in
// which the delegate asks for them.
class FakeComponents final : public AppComponentFactory {
public:
    explicit FakeComponents(const test::TemporaryFolder& folder)
        : recorders(script)
        , folder_(folder)
    {
        endpoints = GoogleEndpoints::defaults();
        const QUrl closed(u"http://127.0.0.1:9"_s);
        endpoints.apiURL = closed;
        endpoints.tokenURL = QUrl(u"http://127.0.0.1:9/token"_s);
        endpoints.authorizationURL = QUrl(u"http://127.0.0.1:9/auth"_s);
        endpoints.driveWebURL = QUrl(u"https://drive.example"_s);
    }

    QStringList created;
    QStringList alerts;
    QStringList notifications;
    TrackScript script;
    ScriptedRecorders recorders;
    NoInhibitor inhibitor;
    test::FakeFrontmostApplicationSource frontmost;
    test::FakeDeviceUsageQuery usage;
    test::FakeAudioInputEngine* audioEngine = nullptr;
    test::InMemorySecretStore secrets;
    GoogleEndpoints endpoints;
    // When set, Drive is this fake one, signed in.
    test::DriveTestBed* fakeDrive = nullptr;
    // The system bus logind is asked on; none by default.
    QDBusConnection systemBus{u"ebbcast-no-system-bus"_s};
    // With a tray: the icon, its menu, the windows and the wrap-up note on a fake camera and microphone
    // (needs a QApplication).
    bool withTray = false;
    FakeCameraSource* camera = nullptr;
    FakeAudioInputEngine* noteMicrophone = nullptr;
    FakeWrapUpMovieRecord movies;
    RecordedMenuAlerts menuAlerts;
    QList<QUrl> opened;
    QStringList copied;

    QUrl driveWebURL() const override { return endpoints.driveWebURL; }
    std::unique_ptr<Logger> createLogger() override
    {
        created.append(u"logger"_s);
        return std::make_unique<Logger>(folder_.file(u"state/app.log"_s));
    }
    std::unique_ptr<SettingsFile> createSettingsFile(Logger& logger) override
    {
        created.append(u"settings file"_s);
        return std::make_unique<SettingsFile>(folder_.file(u"config/settings.json"_s), logger);
    }
    std::unique_ptr<QNetworkAccessManager> createNetwork() override
    {
        created.append(u"network"_s);
        return std::make_unique<QNetworkAccessManager>();
    }
    std::unique_ptr<PreferencesStore> createPreferences(SettingsFile& file, Logger& logger) override
    {
        created.append(u"preferences"_s);
        return std::make_unique<PreferencesStore>(file, logger);
    }
    std::unique_ptr<EbbcastAppModel> createAppModel() override
    {
        created.append(u"model"_s);
        return std::make_unique<EbbcastAppModel>(endpoints.driveWebURL);
    }
    std::unique_ptr<UserNotifier> createNotifier(Logger&) override
    {
        created.append(u"notifier"_s);
        return std::make_unique<RecordedNotifications>(notifications);
    }
    std::unique_ptr<AlertPresenter> createAlerts() override
    {
        created.append(u"alerts"_s);
        return std::make_unique<RecordedAlerts>(alerts);
    }
    std::unique_ptr<PermissionManager> createPermissionManager(Logger& logger) override
    {
        created.append(u"permissions"_s);
        return std::make_unique<PermissionManager>(logger);
    }
    std::unique_ptr<AppActivityMonitor> createAppActivityMonitor(const PreferencesStore& preferences) override
    {
        created.append(u"app activity"_s);
        return std::make_unique<AppActivityMonitor>(frontmost, SettingsWiring::watchList(preferences));
    }
    std::unique_ptr<ClockSyncManager> createClockSyncManager(const PreferencesStore& preferences,
                                                             Logger& logger,
                                                             QNetworkAccessManager& network) override
    {
        created.append(u"clock sync"_s);
        return std::make_unique<ClockSyncManager>(SettingsWiring::clockSyncConfig(preferences), logger,
                                                  network);
    }
    std::unique_ptr<RecordingSession>
    createRecordingSession(const PreferencesStore& preferences, PermissionManager& permissions,
                           AppActivityMonitor& appActivityMonitor, ClockSyncManager& clockSyncManager,
                           Logger& logger, AlertPresenter& alertPresenter) override
    {
        created.append(u"session"_s);
        return std::make_unique<RecordingSession>(SettingsWiring::sessionSettings(preferences), permissions,
                                                  appActivityMonitor, clockSyncManager, logger, recorders,
                                                  inhibitor, alertPresenter);
    }
    std::unique_ptr<GoogleAuthManager> createGoogleAuthManager(const PreferencesStore& preferences,
                                                               Logger& logger,
                                                               QNetworkAccessManager& network) override
    {
        created.append(u"google auth"_s);
        return std::make_unique<GoogleAuthManager>(
            SettingsWiring::googleOAuthClient(preferences), secrets, network, endpoints, logger,
            [](const QUrl&) {}, GoogleAuthManager::Options{});
    }
    std::unique_ptr<GoogleDriveClient> createDriveClient(GoogleAuthManager& auth,
                                                         QNetworkAccessManager& network) override
    {
        created.append(u"drive"_s);
        if (fakeDrive != nullptr)
            return std::make_unique<GoogleDriveClient>(fakeDrive->tokens, network, fakeDrive->endpoints,
                                                       test::DriveTestBed::smallOptions());
        return std::make_unique<GoogleDriveClient>(auth, network, endpoints);
    }
    std::unique_ptr<UploadManager> createUploadManager(const PreferencesStore& preferences,
                                                       GoogleDriveClient& drive, Logger& logger) override
    {
        created.append(u"uploads"_s);
        return std::make_unique<UploadManager>(SettingsWiring::uploadConfig(preferences), drive, logger);
    }
    std::unique_ptr<GlossenGatewayClient> createGatewayClient(PreferencesStore& preferences, Logger&,
                                                              QNetworkAccessManager& network) override
    {
        created.append(u"gateway"_s);
        return std::make_unique<GlossenGatewayClient>(SettingsWiring::gatewaySettings(preferences), network);
    }
    std::unique_ptr<CorvanePelkoNotifier> createRelayNotifier(const PreferencesStore& preferences,
                                                              Logger& logger,
                                                              QNetworkAccessManager& network) override
    {
        created.append(u"relay"_s);
        return std::make_unique<CorvanePelkoNotifier>(SettingsWiring::relayConfig(preferences, QUrl()),
                                                      logger, network, DriveWebLinks(endpoints.driveWebURL));
    }
    std::unique_ptr<AudioActivityMonitor> createAudioActivityMonitor(const PreferencesStore& preferences,
                                                                     AppActivityMonitor& appActivityMonitor,
                                                                     Logger& logger) override
    {
        created.append(u"audio monitor"_s);
        auto engine = std::make_unique<test::FakeAudioInputEngine>();
        audioEngine = engine.get();
        return std::make_unique<AudioActivityMonitor>(SettingsWiring::audioActivityConfig(preferences),
                                                      appActivityMonitor, logger, std::move(engine));
    }
    std::unique_ptr<MicrophoneUsageMonitor>
    createMicrophoneUsageMonitor(const PreferencesStore& preferences, AppActivityMonitor& appActivityMonitor,
                                 Logger& logger) override
    {
        created.append(u"microphone monitor"_s);
        return std::make_unique<MicrophoneUsageMonitor>(SettingsWiring::microphoneUsageConfig(preferences),
                                                        appActivityMonitor, logger, usage);
    }
    std::unique_ptr<TrayIcon> createTrayIcon(EbbcastAppModel& model, TrayIcon::Actions actions,
                                             Logger& logger) override
    {
        created.append(u"tray"_s);
        if (!withTray)
            return nullptr;
        return std::make_unique<TrayIcon>(model, std::move(actions), logger,
                                          TrayIconOptions{.trayWait = 1h, .errorLine = [](const QString&) {
                                                          }});
    }
    std::unique_ptr<ShutdownInhibitor> createShutdownInhibitor(Logger& logger) override
    {
        created.append(u"shutdown delay"_s);
        return std::make_unique<ShutdownInhibitor>(systemBus, logger);
    }
    std::unique_ptr<DesktopShell> createDesktopShell(DesktopShellComponents components,
                                                     DesktopShellActions actions,
                                                     PermissionManager& permissions,
                                                     QNetworkAccessManager&) override
    {
        created.append(u"desktop"_s);
        auto cameraSource = std::make_unique<FakeCameraSource>();
        camera = cameraSource.get();
        auto microphone = std::make_unique<FakeAudioInputEngine>();
        noteMicrophone = microphone.get();
        DesktopShellParts parts{
            .wrapUp = std::make_unique<WrapUpRecorder>(
                actions.recordingsFolder(), permissions, components.logger, std::move(cameraSource),
                std::move(microphone), FakeWrapUpMovieWriter::factory(movies)),
            .updates = nullptr,
            .alerts = menuAlerts,
            .preferencesSources = {},
            .checkReadiness =
                [] {
                    return std::vector<DeviceReadiness>{{u"Screen"_s, true, u"Ready"_s}};
                },
            .revealFolder = [this](const QString& folder) { opened.append(QUrl::fromLocalFile(folder)); },
            .openURL = [this](const QUrl& url) { opened.append(url); },
            .copyText = [this](const QString& text) { copied.append(text); },
        };
        return std::make_unique<DesktopShell>(components, std::move(parts), std::move(actions));
    }
    MovieDurationProbe movieDuration() const override
    {
        return [this](const QString& path) -> std::optional<double> {
            return QFileInfo(path).size() > 1024 ? std::optional(movieSeconds) : std::nullopt;
        };
    }
    // How long every wrap-up movie of more than 1,024 bytes plays.
    double movieSeconds = 4;

private:
    const test::TemporaryFolder& folder_;
};

} // namespace ebbcast::test
