#pragma once

#include "app/AutomaticStartGate.h"
#include "app/TrayIcon.h"
#include "core/base/CoroutineWaiters.h"
#include "shell/QuitCoordinator.h"
#include "shell/QuitTarget.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace ebbcast {

class AlertPresenter;
class AppActivityMonitor;
class AppComponentFactory;
class AudioActivityMonitor;
class ClockSyncManager;
class CorvanePelkoNotifier;
class DesktopShell;
class DriveDeliveryPresenter;
class EbbcastAppModel;
class FinalTranscriptWriter;
class GlossenChunkPipeline;
class GlossenGatewayClient;
class GoogleAuthManager;
class GoogleDriveClient;
class Logger;
class MicrophoneUsageMonitor;
class PermissionManager;
class PreferencesStore;
class RecordingSession;
class RelayTranscriptAnnouncer;
class SessionTranscriptCompletion;
class RetryTimer;
class SessionFileUploader;
class SettingsFile;
class SettingsWiring;
class ShutdownInhibitor;
class StopSignals;
class TranscriptFinalizer;
class TranscriptStatusSink;
class UploadManager;
class UserNotifier;

struct AppDelegateOptions {
    QuitCoordinator::Options quit;
    // Off for `ebbcast record`: it records once, on request.
    bool startMonitors = true;
    // For `ebbcast transcribe`: chunks and final transcripts are made whatever enableLiveTranscription
    // says.
    bool transcriptionRequested = false;
};

// The application's composition root: creates the long-lived components once, in a fixed order, through the
// factory, hands them to each other, installs their callbacks and quits in order. It wires and decides
// nothing else.
//
// launch() (from the event loop) creates the log, the settings, the model, the notifier, the permission
// manager, the frontmost-application monitor, the clock sync, the recording session, the Google sign-in and
// Drive client, the upload manager, the gateway client, the relay notifier, the final transcripts and the
// Drive delivery presenter, the sound and microphone monitors, the tray icon and the shutdown delay; then it
// installs the session's callbacks, repairs a session a crash left unfinished (and hands it to the upload
// and the final transcript), restores the last Drive delivery and transcript status, queues the uploads a
// quit cut short, and starts the monitors.
//
// Quitting goes through one QuitCoordinator: the tray menu, SIGINT, SIGTERM and SIGHUP, the end of the
// desktop session and a system shutdown. A recording is stopped (its start or stop awaited first) before
// the components are destroyed in the reverse order of their creation.
//
// Main thread. Callbacks from other threads hop to it through a context object of the delegate's own, so a
// callback that arrives after the teardown is dropped.
class AppDelegate : public QObject, public QuitTarget {
    Q_OBJECT

public:
    using Options = AppDelegateOptions;

    AppDelegate(AppComponentFactory& factory, Options options = {});
    ~AppDelegate() override;

    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch sequence: create(), then start(); a failure to create a component is thrown.
    void launch();
    // Creates the components and installs their callbacks (what the commands that run the application use).
    void create();
    // Repairs an interrupted session, restores the last delivery and transcript status, resumes unfinished
    // transcription and uploads, and starts the monitors (unless Options::startMonitors is off). Returns
    // the folder of a repaired session.
    std::optional<QString> start();
    // Turns each signal `signals` catches, and one it caught already, into a quit (after launch()).
    void quitOn(StopSignals& signals);

    QuitCoordinator& quitCoordinator() { return *quit_; }
    bool isLaunched() const { return c_ && c_->session; }

    // The components, for tests (null before launch() and after the teardown).
    EbbcastAppModel* model() const { return c_ ? c_->model.get() : nullptr; }
    RecordingSession* session() const { return c_ ? c_->session.get() : nullptr; }
    UploadManager* uploads() const { return c_ ? c_->uploads.get() : nullptr; }
    TranscriptFinalizer* finalizer() const { return c_ ? c_->finalizer.get() : nullptr; }
    GlossenChunkPipeline* pipeline() const { return c_ ? c_->pipeline.get() : nullptr; }
    PreferencesStore* preferences() const { return c_ ? c_->preferences.get() : nullptr; }
    SettingsFile* settingsFile() const { return c_ ? c_->settingsFile.get() : nullptr; }
    GoogleAuthManager* googleAuth() const { return c_ ? c_->googleAuth.get() : nullptr; }
    GoogleDriveClient* googleDrive() const { return c_ ? c_->googleDrive.get() : nullptr; }
    // Whether anything still works on sessions: chunks in flight, a final transcript being made or retried,
    // uploads, or the delegate's own tasks.
    bool hasWorkInFlight() const;
    AudioActivityMonitor* audioActivityMonitor() const
    {
        return c_ ? c_->audioActivityMonitor.get() : nullptr;
    }
    MicrophoneUsageMonitor* microphoneUsageMonitor() const
    {
        return c_ ? c_->microphoneUsageMonitor.get() : nullptr;
    }
    TrayIcon* trayIcon() const { return c_ ? c_->trayIcon.get() : nullptr; }
    ShutdownInhibitor* shutdownInhibitor() const { return c_ ? c_->shutdownInhibitor.get() : nullptr; }
    // The tray's menu and the windows; null headless.
    DesktopShell* desktop() const { return c_ ? c_->desktop.get() : nullptr; }
    Logger* logger() const { return c_ ? c_->logger.get() : nullptr; }

    // What the tray's menu and the monitors run.
    void startRecording(bool autoStarted);
    void stopRecording();
    // Whether a wrap-up note starts, records or stops: no session starts meanwhile.
    bool isWrapUpActive() const;
    // The application was launched again: the dashboard, and the mini controller while recording.
    void reopen();

public Q_SLOTS:
    // The desktop session ends (QGuiApplication::commitDataRequest).
    void sessionEnding();

    // QuitTarget: the quit coordinator's view of the application. Besides a recording that runs, starts or
    // stops, the delegate's own tasks (start-up restores, relay announcements) and a final transcript being
    // written are let finish before the teardown: they use the components.
    bool isRecordingOrTransitioning() const override;
    QCoro::Task<void> stopForQuit() override;
    void tearDown() override;

private:
    // Counts one of the delegate's own tasks while it runs (the first local of each such coroutine).
    class TaskCount {
    public:
        explicit TaskCount(AppDelegate& delegate);
        ~TaskCount();
        TaskCount(const TaskCount&) = delete;
        TaskCount& operator=(const TaskCount&) = delete;

    private:
        AppDelegate& delegate_;
    };

    void createComponents();
    void createTranscriptFinalizer();
    void createChunkPipeline();
    void installSessionCallbacks();
    void installMonitorCallbacks();
    std::optional<QString> recoverInterruptedSession();
    // Settles a wrap-up note a crash left pending and uploads its session.
    void settlePendingWrapUp();
    // Passes the latest level of a capture thread to the main thread, one hop at a time (latest wins).
    void levelArrived(std::atomic<float>& latest, std::atomic<bool>& posted, float level,
                      void (AppDelegate::*show)(float));
    void showMicLevel(float level);
    void showSystemLevel(float level);
    QCoro::Task<void> restoreAndResume();
    void startMonitors();

    void stateChanged(bool recording);
    void sessionCompleted(const QString& folder, bool uploadHeldBack);
    QCoro::Task<void> refreshDesktopWhenSettled();
    QCoro::Task<void> announceSessionStart(QString folder);
    QCoro::Task<void> startDetached(bool autoStarted);
    QCoro::Task<void> startAutomatically();
    // Automatic recording switched on or off, or its rules changed: while idle the sound monitor follows.
    void automaticRecordingSettingsChanged();
    QCoro::Task<void> stopDetached();
    QCoro::Task<void> refreshGoogleConnected();
    QString recordingsFolder() const;
    // Runs `work` on the main thread from the event loop, unless the delegate is gone or torn down by then.
    template <typename Work>
    void onMain(Work work);

    AppComponentFactory& factory_;
    Options options_;
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QuitCoordinator> quit_;
    bool tornDown_ = false;
    int runningTasks_ = 0;
    CoroutineWaiters tasksDone_;
    AutomaticStartGate automaticStarts_;
    // Set when a stop completed a session, so the "not recording" that follows keeps "Session saved: …".
    bool sessionJustSaved_ = false;
    // The levels on their way to the main thread.
    std::atomic<float> micLevel_{0};
    std::atomic<bool> micLevelPosted_{false};
    std::atomic<float> systemLevel_{0};
    std::atomic<bool> systemLevelPosted_{false};

    // The components, in creation order, so they are destroyed in the reverse order.
    struct Components {
        std::unique_ptr<Logger> logger;
        std::unique_ptr<SettingsFile> settingsFile;
        std::unique_ptr<QNetworkAccessManager> network;
        std::unique_ptr<PreferencesStore> preferences;
        std::unique_ptr<SettingsWiring> settingsWiring;
        std::unique_ptr<EbbcastAppModel> model;
        std::unique_ptr<UserNotifier> notifier;
        std::unique_ptr<AlertPresenter> alerts;
        std::unique_ptr<PermissionManager> permissions;
        std::unique_ptr<AppActivityMonitor> appActivityMonitor;
        std::unique_ptr<ClockSyncManager> clockSyncManager;
        std::unique_ptr<RecordingSession> session;
        std::unique_ptr<GoogleAuthManager> googleAuth;
        std::unique_ptr<GoogleDriveClient> googleDrive;
        std::unique_ptr<UploadManager> uploads;
        std::unique_ptr<GlossenGatewayClient> gateway;
        std::unique_ptr<CorvanePelkoNotifier> relay;
        std::unique_ptr<FinalTranscriptWriter> transcriptWriter;
        std::unique_ptr<SessionFileUploader> transcriptUploader;
        std::unique_ptr<RelayTranscriptAnnouncer> transcriptAnnouncer;
        std::unique_ptr<TranscriptStatusSink> transcriptStatus;
        std::unique_ptr<RetryTimer> transcriptRetryTimer;
        std::unique_ptr<TranscriptFinalizer> finalizer;
        std::unique_ptr<SessionTranscriptCompletion> transcriptCompletion;
        std::unique_ptr<GlossenChunkPipeline> pipeline;
        std::unique_ptr<DriveDeliveryPresenter> deliveryPresenter;
        std::unique_ptr<AudioActivityMonitor> audioActivityMonitor;
        std::unique_ptr<MicrophoneUsageMonitor> microphoneUsageMonitor;
        std::unique_ptr<TrayIcon> trayIcon;
        std::unique_ptr<DesktopShell> desktop;
        std::unique_ptr<ShutdownInhibitor> shutdownInhibitor;
    };
    std::unique_ptr<Components> c_;
};

} // namespace ebbcast
