#include "app/AppDelegate.h"

#include "app/AppComponentFactory.h"
#include "app/DesktopShell.h"
#include "app/DriveDeliveryPresenter.h"
#include "app/ModelTranscriptStatus.h"
#include "app/SettingsWiring.h"
#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "capture/PermissionManager.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/RetryTimer.h"
#include "core/base/UserNotifier.h"
#include "core/base/WallClock.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/DriveInfo.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/UnfinishedUploads.h"
#include "drive/UploadManager.h"
#include "drive/UploadStateFile.h"
#include "model/EbbcastAppModel.h"
#include "relay/CorvanePelkoNotifier.h"
#include "session/AlertPresenter.h"
#include "session/PendingWrapUp.h"
#include "session/RecordingSession.h"
#include "shell/ShutdownInhibitor.h"
#include "shell/StopSignals.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/FinalizerAdapters.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/TranscriptFinalizer.h"
#include "transcription/UploadStateRecord.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

const QString recordingStatus = u"Recording separate screen, mic, and system audio streams."_s;
const QString readyStatus = u"Ready"_s;

QString folderName(const QString& folder)
{
    return QFileInfo(folder).fileName();
}

} // namespace

AppDelegate::AppDelegate(AppComponentFactory& factory, Options options)
    : factory_(factory)
    , options_(std::move(options))
    , context_(std::make_unique<QObject>())
    , automaticStarts_(monotonicSeconds)
{}

AppDelegate::~AppDelegate()
{
    // A stop still hanging (the quit gave up on it), or a final transcript being written on a pool thread,
    // keeps the components to the end of the process: destroying them would pull them from under it.
    if (c_ && !tornDown_ &&
        ((c_->session && c_->session->isTransitioning()) || runningTasks_ > 0 ||
         (c_->finalizer && c_->finalizer->isFinalizing())))
        (void)c_.release();
    tearDown();
}

AppDelegate::TaskCount::TaskCount(AppDelegate& delegate)
    : delegate_(delegate)
{
    ++delegate_.runningTasks_;
}

AppDelegate::TaskCount::~TaskCount()
{
    if (--delegate_.runningTasks_ == 0)
        delegate_.tasksDone_.resumeAll(delegate_.context_.get());
}

template <typename Work>
void AppDelegate::onMain(Work work)
{
    QMetaObject::invokeMethod(
        context_.get(),
        [this, work = std::move(work)]() mutable {
            if (!tornDown_)
                work();
        },
        Qt::QueuedConnection);
}

void AppDelegate::quitOn(StopSignals& signals)
{
    quit_->quitOn(signals);
}

void AppDelegate::launch()
{
    create();
    (void)start();
}

void AppDelegate::create()
{
    createComponents();
    installSessionCallbacks();
    installMonitorCallbacks();
}

std::optional<QString> AppDelegate::start()
{
    const std::optional<QString> recovered = recoverInterruptedSession();
    settlePendingWrapUp();
    QCoro::Task<void> restoring = restoreAndResume();
    Q_UNUSED(restoring);
    if (options_.startMonitors)
        startMonitors();
    c_->logger->info(u"Ebbcast started"_s);
    return recovered;
}

void AppDelegate::createComponents()
{
    c_ = std::make_unique<Components>();
    c_->logger = factory_.createLogger();
    c_->settingsFile = factory_.createSettingsFile(*c_->logger);
    c_->network = factory_.createNetwork();
    QNetworkAccessManager& network = *c_->network;
    c_->preferences = factory_.createPreferences(*c_->settingsFile, *c_->logger);
    c_->settingsWiring = std::make_unique<SettingsWiring>(*c_->preferences);
    c_->model = factory_.createAppModel();
    c_->notifier = factory_.createNotifier(*c_->logger);
    c_->alerts = factory_.createAlerts();
    quit_ = std::make_unique<QuitCoordinator>(*this, *c_->logger, options_.quit);

    c_->permissions = factory_.createPermissionManager(*c_->logger);
    c_->appActivityMonitor = factory_.createAppActivityMonitor(*c_->preferences);
    c_->settingsWiring->connect(*c_->appActivityMonitor);
    c_->clockSyncManager = factory_.createClockSyncManager(*c_->preferences, *c_->logger, network);
    c_->settingsWiring->connect(*c_->clockSyncManager);
    c_->session = factory_.createRecordingSession(*c_->preferences, *c_->permissions, *c_->appActivityMonitor,
                                                  *c_->clockSyncManager, *c_->logger, *c_->alerts);
    c_->settingsWiring->connect(*c_->session);

    c_->googleAuth = factory_.createGoogleAuthManager(*c_->preferences, *c_->logger, network);
    c_->googleDrive = factory_.createDriveClient(*c_->googleAuth, network);
    c_->uploads = factory_.createUploadManager(*c_->preferences, *c_->googleDrive, *c_->logger);
    c_->settingsWiring->connect(*c_->uploads);
    c_->gateway = factory_.createGatewayClient(*c_->preferences, *c_->logger, network);
    c_->relay = factory_.createRelayNotifier(*c_->preferences, *c_->logger, network);
    c_->settingsWiring->connect(*c_->relay);
    createTranscriptFinalizer();
    createChunkPipeline();

    c_->deliveryPresenter = std::make_unique<DriveDeliveryPresenter>(
        *c_->model, *c_->notifier, *c_->logger,
        [this](const QString& folder) { c_->finalizer->requestFinalization(folder); },
        [this] {
            QCoro::Task<void> refreshing = refreshGoogleConnected();
            Q_UNUSED(refreshing);
        });
    c_->uploads->setCallbacks(c_->deliveryPresenter->callbacks());

    c_->audioActivityMonitor =
        factory_.createAudioActivityMonitor(*c_->preferences, *c_->appActivityMonitor, *c_->logger);
    c_->settingsWiring->connect(*c_->audioActivityMonitor);
    c_->microphoneUsageMonitor =
        factory_.createMicrophoneUsageMonitor(*c_->preferences, *c_->appActivityMonitor, *c_->logger);
    c_->settingsWiring->connect(*c_->microphoneUsageMonitor);

    const auto quit = [this] {
        quit_->requestQuit(QuitReason::menu());
    };
    c_->trayIcon = factory_.createTrayIcon(*c_->model,
                                           {.startRecording = [this] { startRecording(false); },
                                            .stopRecording = [this] { stopRecording(); },
                                            .quit = quit,
                                            .open =
                                                [this] {
                                                    if (c_->desktop)
                                                        c_->desktop->showDashboard();
                                                }},
                                           *c_->logger);
    if (c_->trayIcon) {
        c_->desktop =
            factory_.createDesktopShell(DesktopShellComponents{*c_->session, *c_->uploads, *c_->preferences,
                                                               *c_->model, *c_->trayIcon, *c_->logger},
                                        DesktopShellActions{.quit = quit,
                                                            .recordingsFolder =
                                                                [this] {
                                                                    return recordingsFolder();
                                                                }},
                                        *c_->permissions, network);
    }
    c_->shutdownInhibitor = factory_.createShutdownInhibitor(*c_->logger);
    quit_->quitOn(*c_->shutdownInhibitor);
}

void AppDelegate::createTranscriptFinalizer()
{
    Logger& logger = *c_->logger;
    const DriveWebLinks links(factory_.driveWebURL());
    c_->transcriptWriter = std::make_unique<FinalTranscriptWriter>(
        FinalTranscriptWriter::Config{c_->preferences->recorderID()}, logger,
        [&logger](const QString& folder) {
            return std::optional(transcriptDriveRecord(UploadStateFile(folder, logger).load()));
        },
        [links](const QString& id) { return links.fileLink(id); });
    QObject::connect(c_->preferences.get(), &PreferencesStore::recorderIDChanged, context_.get(),
                     [this](const QString& id) { c_->transcriptWriter->setConfig({id}); });
    c_->transcriptUploader = std::make_unique<UploadManagerFileUploader>(*c_->uploads);
    c_->transcriptAnnouncer = std::make_unique<RelayTranscriptAnnouncer>(*c_->relay);
    c_->transcriptStatus = std::make_unique<ModelTranscriptStatus>(*c_->model);
    c_->transcriptRetryTimer = std::make_unique<QtRetryTimer>();
    TranscriptFinalizer::Config config = SettingsWiring::transcriptFinalizerConfig(*c_->preferences);
    config.transcriptionEnabled = config.transcriptionEnabled || options_.transcriptionRequested;
    c_->finalizer = std::make_unique<TranscriptFinalizer>(
        config, TranscriptFinalizer::Collaborators{*c_->transcriptWriter, *c_->transcriptUploader,
                                                   *c_->transcriptAnnouncer, *c_->transcriptStatus,
                                                   *c_->transcriptRetryTimer, logger});
    if (!options_.transcriptionRequested)
        c_->settingsWiring->connect(*c_->finalizer);
}

void AppDelegate::createChunkPipeline()
{
    Logger& logger = *c_->logger;
    const DriveWebLinks links(factory_.driveWebURL());
    c_->transcriptCompletion = std::make_unique<FinalizerTranscriptCompletion>(*c_->finalizer);
    GlossenChunkPipeline::Config config = SettingsWiring::chunkPipelineConfig(*c_->preferences);
    config.transcriptionEnabled = config.transcriptionEnabled || options_.transcriptionRequested;
    c_->pipeline = std::make_unique<GlossenChunkPipeline>(
        config,
        GlossenChunkPipeline::Collaborators{*c_->gateway, *c_->transcriptCompletion, *c_->transcriptUploader,
                                            *c_->transcriptAnnouncer,
                                            [links, &logger](const QString& folder, const QString& file) {
                                                return readDriveInfo(folder, file, links, logger);
                                            },
                                            logger});
    if (!options_.transcriptionRequested)
        c_->settingsWiring->connect(*c_->pipeline);
}

void AppDelegate::installSessionCallbacks()
{
    RecordingSession& session = *c_->session;
    AudioActivityMonitor& audio = *c_->audioActivityMonitor;
    session.onStateChange = [this](bool recording) {
        stateChanged(recording);
    };
    session.onMicLevel = [this, &audio](float level) {
        audio.observeRecordingLevel(level);
        levelArrived(micLevel_, micLevelPosted_, level, &AppDelegate::showMicLevel);
    };
    session.onSystemAudioLevel = [this, &audio](float level) {
        audio.observeRecordingLevel(level);
        levelArrived(systemLevel_, systemLevelPosted_, level, &AppDelegate::showSystemLevel);
    };
    session.onSessionStarted = [this](const QString& folder) {
        QCoro::Task<void> announcing = announceSessionStart(folder);
        Q_UNUSED(announcing);
    };
    session.onSessionCompleted = [this](const QString& folder, bool uploadHeldBack) {
        sessionCompleted(folder, uploadHeldBack);
    };
    connect(&session, &RecordingSession::chunkCompleted, context_.get(),
            [this](const QString& folder, const QString& file) {
                // Both reports of a chunk (its document, then its audio) go to both: the pipeline takes only
                // the audio, the upload manager both files.
                c_->pipeline->enqueueGlossenChunkUpload(folder, file);
                c_->uploads->uploadFileInSessionIfEnabled(folder, file);
            });
}

void AppDelegate::levelArrived(std::atomic<float>& latest, std::atomic<bool>& posted, float level,
                               void (AppDelegate::*show)(float))
{
    latest.store(level, std::memory_order_relaxed);
    // One hop on its way at a time: a busy main thread gets the newest level, not a queue of old ones.
    if (posted.exchange(true, std::memory_order_acq_rel))
        return;
    onMain([this, &latest, &posted, show] {
        posted.store(false, std::memory_order_release);
        (this->*show)(latest.load(std::memory_order_relaxed));
    });
}

void AppDelegate::showMicLevel(float level)
{
    c_->model->setMicLevelFromRecorder(level);
    if (c_->desktop)
        c_->desktop->updateMicLevel(c_->model->micLevel());
}

void AppDelegate::showSystemLevel(float level)
{
    c_->model->setSystemLevelFromRecorder(level);
    if (c_->desktop)
        c_->desktop->updateSystemLevel(c_->model->systemLevel());
}

void AppDelegate::stateChanged(bool recording)
{
    if (c_->desktop) {
        c_->desktop->recordingStateChanged(recording);
        QCoro::Task<void> following = refreshDesktopWhenSettled();
        Q_UNUSED(following);
    }
    // The sound monitor's rules apply at once: a recording it started may stop on silence, one asked for
    // otherwise never does; while idle it listens again when automatic recording is on.
    AudioActivityMonitor& audio = *c_->audioActivityMonitor;
    if (recording) {
        automaticStarts_.succeeded();
        audio.stop();
        audio.setRecordingAutoStopEnabled(c_->session->currentRecordingWasAutoStarted());
    } else if (options_.startMonitors && c_->preferences->autoStartRecording()) {
        audio.setRecordingAutoStopEnabled(false);
        audio.start();
    }
    // Held from the start until the stop has completed the document (this call comes after it).
    c_->shutdownInhibitor->setRecording(recording);
    const std::optional<QString> folder = c_->session->currentSessionFolder();
    onMain([this, recording, folder] {
        if (recording) {
            c_->model->setState(EbbcastRunState::recording);
            c_->model->setCurrentSessionFolder(folder);
            c_->model->startElapsedTimer();
            c_->model->setStatusMessage(recordingStatus);
            return;
        }
        c_->model->setState(EbbcastRunState::idle);
        c_->model->setCurrentSessionFolder(std::nullopt);
        c_->model->stopElapsedTimer(true);
        if (!sessionJustSaved_)
            c_->model->setStatusMessage(readyStatus);
        sessionJustSaved_ = false;
    });
}

QCoro::Task<void> AppDelegate::refreshDesktopWhenSettled()
{
    const TaskCount counted(*this);
    // The change comes while the start or stop still runs; the menu's commands wait for its end.
    co_await c_->session->waitUntilSettled();
    if (!tornDown_ && c_->desktop)
        c_->desktop->sessionSettled();
}

void AppDelegate::sessionCompleted(const QString& folder, bool uploadHeldBack)
{
    // A session stopped for a wrap-up note uploads once the note is in it.
    if (!uploadHeldBack)
        c_->uploads->uploadSessionIfEnabled(folder);
    const bool transcribing = c_->preferences->enableLiveTranscription();
    onMain([this, folder, transcribing] {
        sessionJustSaved_ = true;
        c_->model->setLastSessionFolder(folder);
        c_->model->setStatusMessage(u"Session saved: "_s + folderName(folder));
        if (transcribing) {
            c_->model->setTranscriptStatus(TranscriptFinalizer::processingStatus);
            c_->model->setTranscriptDetail(u"Waiting for canonical Gateway/Glossen chunk artifacts."_s);
            c_->model->setLastTranscriptURL(std::nullopt);
            c_->model->setLastTranscriptDriveFolderID(std::nullopt);
        }
        c_->finalizer->requestFinalization(folder);
    });
}

QCoro::Task<void> AppDelegate::announceSessionStart(QString folder)
{
    const TaskCount counted(*this);
    try {
        co_await c_->relay->notifyRecordingSessionStarted(folder);
    } catch (...) {
        c_->logger->error(u"Relay session start failed for "_s + folder + u": "_s +
                          describeError(std::current_exception()));
    }
}

void AppDelegate::installMonitorCallbacks()
{
    AudioActivityMonitor& audio = *c_->audioActivityMonitor;
    audio.onActivityStart = [this, &audio] {
        if (tornDown_ || (quit_ && quit_->isQuitting()) || c_->session->isRecording() ||
            c_->session->isTransitioning() || isWrapUpActive() || !automaticStarts_.tryBegin())
            return;
        audio.setRecordingAutoStopEnabled(true);
        QCoro::Task<void> starting = startAutomatically();
        Q_UNUSED(starting);
    };
    PreferencesStore& preferences = *c_->preferences;
    const auto changed = [this](auto) {
        automaticRecordingSettingsChanged();
    };
    connect(&preferences, &PreferencesStore::autoStartRecordingChanged, context_.get(), changed);
    connect(&preferences, &PreferencesStore::silenceThresholdChanged, context_.get(), changed);
    connect(&preferences, &PreferencesStore::onlyAutoRecordWatchedAppsChanged, context_.get(), changed);
    audio.onSilenceTimeout = [this] {
        if (c_->session->isRecording())
            stopRecording();
    };
    MicrophoneUsageMonitor& microphone = *c_->microphoneUsageMonitor;
    microphone.isRecordingProvider = [this] {
        return c_->session->isRecording() || c_->session->isTransitioning() || isWrapUpActive();
    };
    microphone.onMicrophoneUseDetected = [this](const ActiveAppMetadata& application) {
        c_->logger->info(u"Microphone in use while "_s + application.name + u" is frontmost"_s);
        if (!c_->trayIcon) {
            // Headless there is nobody to ask: the question is a line (on standard error), answered "Not
            // Now".
            onMain([this, name = application.name] {
                c_->notifier->showNotification(u"Start recording?"_s,
                                               u"The microphone appears to be active while "_s + name +
                                                   u" is frontmost. Not Now (no window to ask in): "
                                                   "'ebbcast ctl start' records."_s,
                                               UserNotifier::Kind::information);
            });
            return;
        }
        onMain([this, name = application.name] {
            if (c_->session->isRecording() || c_->session->isTransitioning() || isWrapUpActive())
                return;
            // A prompted session is not stopped by silence. The answer may come long after the question: a
            // session or note begun meanwhile is not joined by a second one.
            c_->trayIcon->promptToRecord(name, [this] {
                if (!tornDown_ && !c_->session->isRecording() && !c_->session->isTransitioning() &&
                    !isWrapUpActive())
                    startRecording(false);
            });
        });
    };
}

std::optional<QString> AppDelegate::recoverInterruptedSession()
{
    const std::optional<QString> recovered = c_->session->recoverInterruptedSessionIfNeeded();
    if (!recovered)
        return std::nullopt;
    c_->model->setLastSessionFolder(*recovered);
    c_->model->setStatusMessage(u"Recovered interrupted session: "_s + folderName(*recovered));
    c_->uploads->uploadSessionIfEnabled(*recovered);
    c_->finalizer->requestFinalization(*recovered);
    return recovered;
}

void AppDelegate::settlePendingWrapUp()
{
    const std::optional<SettledWrapUp> settled =
        ebbcast::settlePendingWrapUp(recordingsFolder(), factory_.movieDuration(), *c_->logger);
    if (settled)
        c_->uploads->uploadSessionIfEnabled(settled->sessionFolder);
}

QCoro::Task<void> AppDelegate::restoreAndResume()
{
    const TaskCount counted(*this);
    // The session to resume is the newest one now: a recording started while the restores wait for the
    // keyring would otherwise be taken for it (and, having no end time yet, leave the earlier one waiting).
    const std::optional<QString> latest = c_->pipeline->latestSessionFolder();
    try {
        co_await refreshGoogleConnected();
        // A quit that came meanwhile only waits for this task: nothing more is started.
        if (tornDown_ || quit_->isQuitting())
            co_return;
        const QString recordings = recordingsFolder();
        if (const auto restored = c_->deliveryPresenter->restoreLastDriveDeliveryState(recordings))
            c_->finalizer->restoreTranscriptState(restored->sessionFolder, restored->state);
        else
            c_->finalizer->restoreLatestTranscriptState();
        if (latest && c_->pipeline->config().transcriptionEnabled)
            (void)c_->pipeline->resumeSessionTranscription(*latest);
        // Whole-session uploads a quit or a crash cut short go on, newest first.
        if (c_->preferences->googleUploadEnabled()) {
            const QStringList unfinished =
                sessionsWithUnfinishedUploads(recordings, RecordingSession::markerFileName(), *c_->logger);
            for (const QString& folder : unfinished) {
                c_->logger->info(u"Resuming the upload of "_s + folder);
                c_->uploads->uploadSessionIfEnabled(folder);
            }
        }
    } catch (...) {
        c_->logger->error(u"Start-up restore failed: "_s + describeError(std::current_exception()));
    }
}

QCoro::Task<void> AppDelegate::refreshGoogleConnected()
{
    const TaskCount counted(*this);
    QPointer<QObject> alive(context_.get());
    bool connected = false;
    try {
        connected = co_await c_->uploads->isGoogleConnected();
    } catch (...) {
        connected = false;
    }
    if (alive && !tornDown_)
        c_->model->setGoogleConnected(connected);
}

void AppDelegate::startMonitors()
{
    if (c_->preferences->autoStartRecording())
        c_->audioActivityMonitor->start();
    c_->microphoneUsageMonitor->start();
}

QString AppDelegate::recordingsFolder() const
{
    return SettingsWiring::sessionSettings(*c_->preferences).recordingFolder;
}

void AppDelegate::startRecording(bool autoStarted)
{
    if (tornDown_ || (quit_ && quit_->isQuitting()))
        return;
    QCoro::Task<void> starting = startDetached(autoStarted);
    Q_UNUSED(starting);
}

void AppDelegate::stopRecording()
{
    if (tornDown_)
        return;
    QCoro::Task<void> stopping = stopDetached();
    Q_UNUSED(stopping);
}

QCoro::Task<void> AppDelegate::startDetached(bool autoStarted)
{
    const TaskCount counted(*this);
    try {
        co_await c_->session->start(autoStarted);
    } catch (...) {
        c_->logger->error(u"Recording start failed: "_s + describeError(std::current_exception()));
    }
}

QCoro::Task<void> AppDelegate::startAutomatically()
{
    const TaskCount counted(*this);
    co_await startDetached(true);
    if (tornDown_)
        co_return;
    if (c_->session->isRecording()) {
        automaticStarts_.succeeded();
    } else if (automaticStarts_.failed()) {
        c_->logger->info(
            u"Automatic recording pauses for five minutes after a failed start (until a recording "
            "starts or its settings change)"_s);
    }
}

void AppDelegate::automaticRecordingSettingsChanged()
{
    automaticStarts_.reset();
    if (!options_.startMonitors || c_->session->isRecording() || c_->session->isTransitioning())
        return;
    // While a recording runs the monitor is off and its end decides (stateChanged).
    AudioActivityMonitor& audio = *c_->audioActivityMonitor;
    if (c_->preferences->autoStartRecording() && !audio.isMonitoring()) {
        audio.setRecordingAutoStopEnabled(false);
        audio.start();
    } else if (!c_->preferences->autoStartRecording() && audio.isMonitoring()) {
        audio.stop();
    }
}

QCoro::Task<void> AppDelegate::stopDetached()
{
    const TaskCount counted(*this);
    try {
        co_await c_->session->stop(false);
    } catch (...) {
        c_->logger->error(u"Recording stop failed: "_s + describeError(std::current_exception()));
    }
}

bool AppDelegate::isWrapUpActive() const
{
    return c_ && !tornDown_ && c_->desktop && c_->desktop->isWrapUpActive();
}

void AppDelegate::reopen()
{
    if (c_ && !tornDown_ && c_->desktop)
        c_->desktop->reopen();
}

void AppDelegate::sessionEnding()
{
    if (quit_)
        quit_->sessionEnding();
}

bool AppDelegate::hasWorkInFlight() const
{
    if (!c_ || tornDown_)
        return false;
    return runningTasks_ > 0 || !c_->pipeline->isIdle() || !c_->finalizer->isIdle() ||
           c_->uploads->isBusy() || c_->session->isTransitioning();
}

bool AppDelegate::isRecordingOrTransitioning() const
{
    if (!c_ || tornDown_)
        return false;
    return c_->session->isRecording() || c_->session->isTransitioning() || runningTasks_ > 0 ||
           c_->finalizer->isFinalizing() || isWrapUpActive();
}

QCoro::Task<void> AppDelegate::stopForQuit()
{
    // A wrap-up note is finished first: its movie completed, its session marked and uploaded.
    if (c_->desktop)
        co_await c_->desktop->finishWrapUp();
    // A start under way ends first (into a recording, or not); a stop under way is awaited, not repeated.
    co_await c_->session->waitUntilSettled();
    std::optional<QString> incomplete;
    if (c_->session->isRecording()) {
        const std::optional<RecordingSession::StopOutcome> outcome = co_await c_->session->stop(false);
        if (outcome && !outcome->sessionFolder.isEmpty() && !outcome->documentCompleted)
            incomplete = outcome->sessionFolder;
    }
    // The delegate's own tasks and a final transcript being written use the components: they end before the
    // teardown (which follows this without a turn of the event loop, so nothing new starts in between).
    while (runningTasks_ > 0 || c_->finalizer->isFinalizing()) {
        if (runningTasks_ > 0) {
            const ParkOn park{tasksDone_, false};
            co_await park;
        } else {
            co_await c_->finalizer->waitUntilNotFinalizing();
        }
    }
    if (incomplete)
        throw EbbcastError(u"The session document of "_s + *incomplete + u" could not be completed"_s);
}

void AppDelegate::tearDown()
{
    if (tornDown_ || !c_)
        return;
    tornDown_ = true;
    c_->logger->info(u"Ebbcast quits"_s);
    if (RecordingSession* session = c_->session.get()) {
        session->onStateChange = nullptr;
        session->onMicLevel = nullptr;
        session->onSystemAudioLevel = nullptr;
        session->onSessionStarted = nullptr;
        session->onSessionCompleted = nullptr;
    }
    c_.reset();
}

} // namespace ebbcast
