#include "app/LinuxAppComponentFactory.h"

#include "app/Console.h"
#include "app/LinuxRecorderFactory.h"
#include "app/MessageBoxAlerts.h"
#include "app/SettingsWiring.h"
#include "app/StandardErrorAlerts.h"
#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/linux/PulseAudioDeviceUsageQuery.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "clocksync/ClockSyncManager.h"
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

#include <QDBusConnection>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>

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
    if (options_.tray)
        return std::make_unique<MessageBoxAlerts>(console_);
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
LinuxAppComponentFactory::createGatewayClient(const PreferencesStore& preferences,
                                              QNetworkAccessManager& network)
{
    return std::make_unique<GlossenGatewayClient>(SettingsWiring::gatewaySettings(preferences), network);
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

} // namespace ebbcast
