#include "app/LinuxAppComponentFactory.h"

#include "app/CameraChoice.h"
#include "app/Console.h"
#include "app/FolderRevealer.h"
#include "app/LinuxRecorderFactory.h"
#include "app/LoginAutostart.h"
#include "app/MessageBoxAlerts.h"
#include "app/SettingsWiring.h"
#include "app/StandardErrorAlerts.h"
#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/CameraSource.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenFrameSource.h"
#include "capture/WrapUpRecorder.h"
#include "capture/linux/FfmpegMediaDuration.h"
#include "capture/linux/FfmpegWrapUpMovieWriter.h"
#include "capture/linux/PulseAudioConnection.h"
#include "capture/linux/PulseAudioDeviceUsageQuery.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/BuildInfo.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/KeychainStore.h"
#include "drive/SystemBrowser.h"
#include "drive/UploadManager.h"
#include "model/EbbcastAppModel.h"
#include "relay/CorvanePelkoNotifier.h"
#include "relay/RelayEndpoint.h"
#include "session/ActivityInhibitor.h"
#include "session/RecordingSession.h"
#include "shell/DesktopNotifier.h"
#include "shell/ShutdownInhibitor.h"
#include "shell/StandardErrorNotifier.h"
#include "shell/TeeNotifier.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/LocalGatewayLauncher.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Headless notifications: to the desktop's server (if any) and as lines on standard error.
class HeadlessNotifier final : public UserNotifier {
public:
    explicit HeadlessNotifier(Logger& logger)
        : desktop_(QDBusConnection::sessionBus(), logger)
        , tee_(desktop_, standardError_)
    {}

    void showNotification(const QString& title, const QString& body, Kind kind) override
    {
        tee_.showNotification(title, body, kind);
    }

private:
    DesktopNotifier desktop_;
    StandardErrorNotifier standardError_;
    TeeNotifier tee_;
};

// The default input's description, or the default output's monitor's; throws when the sound server cannot
// say.
QString soundServerSource(bool outputMonitor)
{
    PulseAudioConnection connection(u"Ebbcast"_s);
    const PulseAudioConnection::Source source =
        outputMonitor ? connection.defaultSinkMonitor() : connection.defaultSource();
    return source.description.isEmpty() ? source.name : source.description;
}

} // namespace

LinuxAppComponentFactory::LinuxAppComponentFactory(AppPaths paths, GoogleEndpoints endpoints,
                                                   Console& console, Options options)
    : paths_(std::move(paths))
    , endpoints_(std::move(endpoints))
    , console_(console)
    , options_(options)
    , backends_(loadPlatformBackends(QProcessEnvironment::systemEnvironment()))
    , deviceUsage_(std::make_unique<PulseAudioDeviceUsageQuery>())
    , keychain_(std::make_unique<KeychainStore>())
{
    for (const QString& note : backends_.notes)
        console_.error(note);
}

LinuxAppComponentFactory::~LinuxAppComponentFactory() = default;

QUrl LinuxAppComponentFactory::driveWebURL() const
{
    return endpoints_.driveWebURL;
}

std::unique_ptr<Logger> LinuxAppComponentFactory::createLogger()
{
    return std::make_unique<Logger>(paths_.logFilePath());
}

std::unique_ptr<SettingsFile> LinuxAppComponentFactory::createSettingsFile(Logger& logger)
{
    return std::make_unique<SettingsFile>(paths_.settingsFilePath(), logger);
}

std::unique_ptr<QNetworkAccessManager> LinuxAppComponentFactory::createNetwork()
{
    return std::make_unique<QNetworkAccessManager>();
}

std::unique_ptr<PreferencesStore> LinuxAppComponentFactory::createPreferences(SettingsFile& file,
                                                                              Logger& logger)
{
    return std::make_unique<PreferencesStore>(file, logger);
}

std::unique_ptr<EbbcastAppModel> LinuxAppComponentFactory::createAppModel()
{
    return std::make_unique<EbbcastAppModel>(endpoints_.driveWebURL);
}

std::unique_ptr<UserNotifier> LinuxAppComponentFactory::createNotifier(Logger& logger)
{
    if (options_.tray)
        return std::make_unique<DesktopNotifier>(QDBusConnection::sessionBus(), logger);
    return std::make_unique<HeadlessNotifier>(logger);
}

std::unique_ptr<AlertPresenter> LinuxAppComponentFactory::createAlerts()
{
    if (options_.tray) {
        auto alerts = std::make_unique<MessageBoxAlerts>(console_);
        messageBoxes_ = alerts.get();
        return alerts;
    }
    return std::make_unique<StandardErrorAlerts>(console_);
}

std::unique_ptr<PermissionManager> LinuxAppComponentFactory::createPermissionManager(Logger& logger)
{
    return std::make_unique<PermissionManager>(logger);
}

std::unique_ptr<AppActivityMonitor>
LinuxAppComponentFactory::createAppActivityMonitor(const PreferencesStore& preferences)
{
    return std::make_unique<AppActivityMonitor>(*backends_.frontmostApplication,
                                                SettingsWiring::watchList(preferences));
}

std::unique_ptr<ClockSyncManager>
LinuxAppComponentFactory::createClockSyncManager(const PreferencesStore& preferences, Logger& logger,
                                                 QNetworkAccessManager& network)
{
    return std::make_unique<ClockSyncManager>(SettingsWiring::clockSyncConfig(preferences), logger, network);
}

std::unique_ptr<RecordingSession> LinuxAppComponentFactory::createRecordingSession(
    const PreferencesStore& preferences, PermissionManager& permissions,
    AppActivityMonitor& appActivityMonitor, ClockSyncManager& clockSyncManager, Logger& logger,
    AlertPresenter& alerts)
{
    return std::make_unique<RecordingSession>(SettingsWiring::sessionSettings(preferences), permissions,
                                              appActivityMonitor, clockSyncManager, logger,
                                              *backends_.recorders, *backends_.inhibitor, alerts);
}

std::unique_ptr<GoogleAuthManager>
LinuxAppComponentFactory::createGoogleAuthManager(const PreferencesStore& preferences, Logger& logger,
                                                  QNetworkAccessManager& network)
{
    // The application never opens a browser by itself: signing in is the user's own request.
    return std::make_unique<GoogleAuthManager>(SettingsWiring::googleOAuthClient(preferences), *keychain_,
                                               network, endpoints_, logger, openInSystemBrowser,
                                               GoogleAuthManager::Options{.interactiveSignInAllowed = false});
}

std::unique_ptr<GoogleDriveClient> LinuxAppComponentFactory::createDriveClient(GoogleAuthManager& auth,
                                                                               QNetworkAccessManager& network)
{
    return std::make_unique<GoogleDriveClient>(auth, network, endpoints_);
}

std::unique_ptr<UploadManager>
LinuxAppComponentFactory::createUploadManager(const PreferencesStore& preferences, GoogleDriveClient& drive,
                                              Logger& logger)
{
    return std::make_unique<UploadManager>(SettingsWiring::uploadConfig(preferences), drive, logger);
}

std::unique_ptr<GlossenGatewayClient>
LinuxAppComponentFactory::createGatewayClient(PreferencesStore& preferences, Logger& logger,
                                              QNetworkAccessManager& network)
{
    // The offline gateway's program beside this one (the build folder, the installed bin/), else on PATH.
    // The launcher lives as long as the client does.
    auto launcher = std::make_shared<LocalGatewayLauncher>(
        LocalGatewayLauncher::runtimeFolder(QProcessEnvironment::systemEnvironment()),
        LocalGatewayLauncher::findProgram(QCoreApplication::applicationDirPath()),
        SettingsWiring::gatewayTokenSink(preferences), network, logger, LocalGatewayLauncher::Options{});
    return std::make_unique<GlossenGatewayClient>(
        SettingsWiring::gatewaySettings(preferences),
        [launcher](GlossenGatewaySettings stored) { return launcher->resolve(std::move(stored)); }, network,
        GlossenGatewayClient::Options{});
}

std::unique_ptr<CorvanePelkoNotifier>
LinuxAppComponentFactory::createRelayNotifier(const PreferencesStore& preferences, Logger& logger,
                                              QNetworkAccessManager& network)
{
    const RelayEndpoint endpoint = RelayEndpoint::fromProcess(logger);
    return std::make_unique<CorvanePelkoNotifier>(SettingsWiring::relayConfig(preferences, endpoint.url),
                                                  logger, network, DriveWebLinks(endpoints_.driveWebURL));
}

std::unique_ptr<AudioActivityMonitor>
LinuxAppComponentFactory::createAudioActivityMonitor(const PreferencesStore& preferences,
                                                     AppActivityMonitor& appActivityMonitor, Logger& logger)
{
    return std::make_unique<AudioActivityMonitor>(
        SettingsWiring::audioActivityConfig(preferences), appActivityMonitor, logger,
        // Sound is noticed within a fifth of a second; fewer
        // wakeups matter more for a monitor that always runs.
        std::make_unique<PulseAudioInputEngine>(std::chrono::milliseconds(200)));
}

std::unique_ptr<MicrophoneUsageMonitor>
LinuxAppComponentFactory::createMicrophoneUsageMonitor(const PreferencesStore& preferences,
                                                       AppActivityMonitor& appActivityMonitor, Logger& logger)
{
    return std::make_unique<MicrophoneUsageMonitor>(SettingsWiring::microphoneUsageConfig(preferences),
                                                    appActivityMonitor, logger, *deviceUsage_);
}

std::unique_ptr<TrayIcon> LinuxAppComponentFactory::createTrayIcon(EbbcastAppModel& model,
                                                                   TrayIcon::Actions actions, Logger& logger)
{
    if (!options_.tray)
        return nullptr;
    return std::make_unique<TrayIcon>(model, std::move(actions), logger);
}

std::unique_ptr<ShutdownInhibitor> LinuxAppComponentFactory::createShutdownInhibitor(Logger& logger)
{
    return std::make_unique<ShutdownInhibitor>(QDBusConnection::systemBus(), logger);
}

std::unique_ptr<DesktopShell> LinuxAppComponentFactory::createDesktopShell(DesktopShellComponents components,
                                                                           DesktopShellActions actions,
                                                                           PermissionManager& permissions,
                                                                           QNetworkAccessManager& network)
{
    if (!options_.tray || messageBoxes_ == nullptr)
        return nullptr;
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const CameraChoice camera = CameraChoice::parse(environment.value(u"EBBCAST_CAMERA"_s));
    const QString recordings = actions.recordingsFolder ? actions.recordingsFolder() : QString();
    PreferencesStore& preferences = components.preferences;

    UpdateChecker::Options updateOptions;
    updateOptions.currentVersion = QString::fromLatin1(BuildInfo::version);
    updateOptions.currentBuild = QString::fromLatin1(BuildInfo::buildNumber);
    updateOptions.downloadHosts =
        QString::fromUtf8(BuildInfo::updateDownloadHosts).split(u',', Qt::SkipEmptyParts);
    for (QString& host : updateOptions.downloadHosts)
        host = host.trimmed();

    // The readiness check runs on a worker with a camera of its own (the note's may be recording).
    std::shared_ptr<CameraSource> readinessCamera = camera.createSource();
    ScreenFrameSource* screens = backends_.screens.get();
    const bool wayland = environment.value(u"XDG_SESSION_TYPE"_s) == u"wayland";
    auto folders = std::make_shared<FolderRevealer>(QDBusConnection::sessionBus());

    DesktopShellParts parts{
        .wrapUp = std::make_unique<WrapUpRecorder>(
            recordings, permissions, components.logger, camera.createSource(),
            std::make_unique<PulseAudioInputEngine>(), FfmpegWrapUpMovieWriter::factory()),
        .updates = std::make_unique<UpdateChecker>([&preferences] { return preferences.updateFeedURL(); },
                                                   network, updateOptions),
        .alerts = *messageBoxes_,
        .preferencesSources = systemPreferencesSources(*backends_.screens),
        .checkReadiness =
            [readinessCamera, screens, wayland] {
                RecordingReadiness::Probes probes;
                probes.screens = screens;
                probes.defaultInput = [] {
                    return soundServerSource(false);
                };
                probes.defaultOutputMonitor = [] {
                    return soundServerSource(true);
                };
                probes.camera = readinessCamera.get();
                probes.waylandSession = wayland;
                return RecordingReadiness::check(probes);
            },
        .revealFolder = [folders](const QString& folder) { folders->reveal(folder); },
        .openURL = [](const QUrl& url) { QDesktopServices::openUrl(url); },
        .copyText = [](const QString& text) { QGuiApplication::clipboard()->setText(text); },
    };
    const auto autostart = std::make_shared<LoginAutostart>(LoginAutostart::entryPathFor(environment),
                                                            QCoreApplication::applicationFilePath());
    parts.preferencesSources.startsAtLogin = [autostart] {
        return autostart->isEnabled();
    };
    parts.preferencesSources.setStartsAtLogin = [autostart](bool enabled) {
        autostart->setEnabled(enabled);
    };
    return std::make_unique<DesktopShell>(components, std::move(parts), std::move(actions));
}

MovieDurationProbe LinuxAppComponentFactory::movieDuration() const
{
    return [](const QString& path) {
        return FfmpegMediaDuration::videoSeconds(path);
    };
}

} // namespace ebbcast
