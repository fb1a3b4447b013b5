#pragma once

#include "app/DesktopShell.h"
#include "app/TrayIcon.h"
#include "capture/WrapUpRepair.h"

#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace ebbcast {

class AlertPresenter;
class AppActivityMonitor;
class AudioActivityMonitor;
class ClockSyncManager;
class CorvanePelkoNotifier;
class EbbcastAppModel;
class GlossenGatewayClient;
class GoogleAuthManager;
class GoogleDriveClient;
class Logger;
class MicrophoneUsageMonitor;
class PermissionManager;
class PreferencesStore;
class RecordingSession;
class SettingsFile;
class ShutdownInhibitor;
class UploadManager;
class UserNotifier;

// Makes the application's long-lived components, each from the ones made before it; the application
// delegate calls it in its fixed creation order and owns what it returns. Production builds the components on
// the platform's devices and services (LinuxAppComponentFactory); tests build them on fakes and record the
// order. The factory itself may own devices the components use; it outlives them.
class AppComponentFactory {
public:
    virtual ~AppComponentFactory() = default;

    // Where Drive's web pages are (the links the model and the final transcripts show).
    virtual QUrl driveWebURL() const = 0;

    virtual std::unique_ptr<Logger> createLogger() = 0;
    virtual std::unique_ptr<SettingsFile> createSettingsFile(Logger& logger) = 0;
    // The one HTTP access of the process, shared by every network client.
    virtual std::unique_ptr<QNetworkAccessManager> createNetwork() = 0;
    virtual std::unique_ptr<PreferencesStore> createPreferences(SettingsFile& file, Logger& logger) = 0;
    virtual std::unique_ptr<EbbcastAppModel> createAppModel() = 0;
    // Desktop notifications; headless, on standard error as well.
    virtual std::unique_ptr<UserNotifier> createNotifier(Logger& logger) = 0;
    // Alerts of failed user commands: a message box in the tray, standard error headless.
    virtual std::unique_ptr<AlertPresenter> createAlerts() = 0;
    virtual std::unique_ptr<PermissionManager> createPermissionManager(Logger& logger) = 0;
    virtual std::unique_ptr<AppActivityMonitor>
    createAppActivityMonitor(const PreferencesStore& preferences) = 0;
    virtual std::unique_ptr<ClockSyncManager> createClockSyncManager(const PreferencesStore& preferences,
                                                                     Logger& logger,
                                                                     QNetworkAccessManager& network) = 0;
    virtual std::unique_ptr<RecordingSession>
    createRecordingSession(const PreferencesStore& preferences, PermissionManager& permissions,
                           AppActivityMonitor& appActivityMonitor, ClockSyncManager& clockSyncManager,
                           Logger& logger, AlertPresenter& alerts) = 0;
    virtual std::unique_ptr<GoogleAuthManager> createGoogleAuthManager(const PreferencesStore& preferences,
                                                                       Logger& logger,
                                                                       QNetworkAccessManager& network) = 0;
    virtual std::unique_ptr<GoogleDriveClient> createDriveClient(GoogleAuthManager& auth,
                                                                 QNetworkAccessManager& network) = 0;
    virtual std::unique_ptr<UploadManager> createUploadManager(const PreferencesStore& preferences,
                                                               GoogleDriveClient& drive, Logger& logger) = 0;
    // The transcription gateway's client; for the setting "local" it finds or starts the offline gateway,
    // and may store the token it makes for it.
    virtual std::unique_ptr<GlossenGatewayClient>
    createGatewayClient(PreferencesStore& preferences, Logger& logger, QNetworkAccessManager& network) = 0;
    virtual std::unique_ptr<CorvanePelkoNotifier> createRelayNotifier(const PreferencesStore& preferences,
                                                                      Logger& logger,
                                                                      QNetworkAccessManager& network) = 0;
    virtual std::unique_ptr<AudioActivityMonitor>
    createAudioActivityMonitor(const PreferencesStore& preferences, AppActivityMonitor& appActivityMonitor,
                               Logger& logger) = 0;
    virtual std::unique_ptr<MicrophoneUsageMonitor>
    createMicrophoneUsageMonitor(const PreferencesStore& preferences, AppActivityMonitor& appActivityMonitor,
                                 Logger& logger) = 0;
    // The tray icon and its menu; nothing when the application runs headless.
    virtual std::unique_ptr<TrayIcon> createTrayIcon(EbbcastAppModel& model, TrayIcon::Actions actions,
                                                     Logger& logger) = 0;
    // The logind shutdown delay held while recording.
    virtual std::unique_ptr<ShutdownInhibitor> createShutdownInhibitor(Logger& logger) = 0;
    // The tray's menu, the windows and the wrap-up note (with its camera and microphone); nothing when the
    // application runs headless.
    virtual std::unique_ptr<DesktopShell> createDesktopShell(DesktopShellComponents components,
                                                             DesktopShellActions actions,
                                                             PermissionManager& permissions,
                                                             QNetworkAccessManager& network) = 0;
    // How long a wrap-up movie plays (a note a crash cut short is given its document at launch).
    virtual MovieDurationProbe movieDuration() const = 0;
};

} // namespace ebbcast
