#pragma once

#include "app/AppComponentFactory.h"
#include "app/PlatformBackends.h"
#include "core/base/AppPaths.h"
#include "drive/GoogleEndpoints.h"

#include <memory>

namespace ebbcast {

class Console;
class DeviceUsageQuery;
class KeychainStore;
class MessageBoxAlerts;

// The application's components on this machine: PulseAudio, X11 (when DISPLAY names a display), FFmpeg,
// the Secret Service, the session bus's notification server and logind on the system bus. In tray mode
// alerts are message boxes and the tray icon exists; headless, alerts and notifications go to standard error
// (notifications to the desktop as well) and there is no icon. Owns the devices the components use.
class LinuxAppComponentFactory final : public AppComponentFactory {
public:
    struct Options {
        bool tray = true;
    };

    LinuxAppComponentFactory(AppPaths paths, GoogleEndpoints endpoints, Console& console, Options options);
    ~LinuxAppComponentFactory() override;

    // The platform's devices, for the commands that run the application ("record": displays, recorders).
    PlatformBackends& backends() { return backends_; }

    QUrl driveWebURL() const override;
    std::unique_ptr<Logger> createLogger() override;
    std::unique_ptr<SettingsFile> createSettingsFile(Logger& logger) override;
    std::unique_ptr<QNetworkAccessManager> createNetwork() override;
    std::unique_ptr<PreferencesStore> createPreferences(SettingsFile& file, Logger& logger) override;
    std::unique_ptr<EbbcastAppModel> createAppModel() override;
    std::unique_ptr<UserNotifier> createNotifier(Logger& logger) override;
    std::unique_ptr<AlertPresenter> createAlerts() override;
    std::unique_ptr<PermissionManager> createPermissionManager(Logger& logger) override;
    std::unique_ptr<AppActivityMonitor>
    createAppActivityMonitor(const PreferencesStore& preferences) override;
    std::unique_ptr<ClockSyncManager> createClockSyncManager(const PreferencesStore& preferences,
                                                             Logger& logger,
                                                             QNetworkAccessManager& network) override;
    std::unique_ptr<RecordingSession> createRecordingSession(const PreferencesStore& preferences,
                                                             PermissionManager& permissions,
                                                             AppActivityMonitor& appActivityMonitor,
                                                             ClockSyncManager& clockSyncManager,
                                                             Logger& logger, AlertPresenter& alerts) override;
    std::unique_ptr<GoogleAuthManager> createGoogleAuthManager(const PreferencesStore& preferences,
                                                               Logger& logger,
                                                               QNetworkAccessManager& network) override;
    std::unique_ptr<GoogleDriveClient> createDriveClient(GoogleAuthManager& auth,
                                                         QNetworkAccessManager& network) override;
    std::unique_ptr<UploadManager> createUploadManager(const PreferencesStore& preferences,
                                                       GoogleDriveClient& drive, Logger& logger) override;
    std::unique_ptr<GlossenGatewayClient> createGatewayClient(PreferencesStore& preferences, Logger& logger,
                                                              QNetworkAccessManager& network) override;
    std::unique_ptr<CorvanePelkoNotifier> createRelayNotifier(const PreferencesStore& preferences,
                                                              Logger& logger,
                                                              QNetworkAccessManager& network) override;
    std::unique_ptr<AudioActivityMonitor> createAudioActivityMonitor(const PreferencesStore& preferences,
                                                                     AppActivityMonitor& appActivityMonitor,
                                                                     Logger& logger) override;
    std::unique_ptr<MicrophoneUsageMonitor>
    createMicrophoneUsageMonitor(const PreferencesStore& preferences, AppActivityMonitor& appActivityMonitor,
                                 Logger& logger) override;
    std::unique_ptr<TrayIcon> createTrayIcon(EbbcastAppModel& model, TrayIcon::Actions actions,
                                             Logger& logger) override;
    std::unique_ptr<ShutdownInhibitor> createShutdownInhibitor(Logger& logger) override;
    std::unique_ptr<DesktopShell> createDesktopShell(DesktopShellComponents components,
                                                     DesktopShellActions actions,
                                                     PermissionManager& permissions,
                                                     QNetworkAccessManager& network) override;
    MovieDurationProbe movieDuration() const override;

private:
    AppPaths paths_;
    GoogleEndpoints endpoints_;
    Console& console_;
    Options options_;
    PlatformBackends backends_;
    std::unique_ptr<DeviceUsageQuery> deviceUsage_;
    std::unique_ptr<KeychainStore> keychain_;
    // The tray's alerts (owned by the application), which the menu shows its own through as well.
    MessageBoxAlerts* messageBoxes_ = nullptr;
};

} // namespace ebbcast
