#include "session/RecordingSession.h"

#include "capture/AppActivityMonitor.h"
#include "capture/MicRecorder.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/AtomicFile.h"
#include "core/base/BuildInfo.h"
#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/documents/SessionFolder.h"
#include "core/documents/Timecode.h"
#include "core/json/JsonDocumentFile.h"
#include "core/json/ShortestNumber.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/RecordingAudioFormat.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/ChunkSessionFields.h"
#include "session/RecorderFactory.h"
#include "session/SessionLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

double secondsBetween(const QDateTime& from, const QDateTime& to)
{
    return static_cast<double>(from.msecsTo(to)) / 1000.0;
}

// The completed document: what is stored (with what others wrote into it) plus the stop's members, and any
// chunk or marker of the in-memory copy whose append to the file had failed.
void completeStoredDocument(SessionMetadata& stored, const SessionMetadata& completed)
{
    stored.endTime = completed.endTime;
    stored.duration = completed.duration;
    stored.systemAudioCapture = completed.systemAudioCapture;
    if (completed.liveChunks)
        stored.addMissingChunks(*completed.liveChunks);
    for (const SessionMarker& marker : completed.markers) {
        if (std::none_of(stored.markers.begin(), stored.markers.end(),
                         [&marker](const auto& entry) { return entry.id == marker.id; }))
            stored.markers.push_back(marker);
    }
}

QString markerPath(const QString& sessionFolder)
{
    return sessionFolder + u'/' + RecordingSession::markerFileName();
}

// "00:00:05.2": where a track stopped, to a tenth of a second.
QString tenthsTimecode(double seconds)
{
    const auto tenths = static_cast<long long>(std::llround(std::max(0.0, seconds) * 10.0));
    return QString::asprintf("%02lld:%02lld:%02lld.%lld", tenths / 36000, tenths / 600 % 60, tenths / 10 % 60,
                             tenths % 10);
}

} // namespace

RecordingSession::RecordingSession(PreferencesStore& preferences, PermissionManager& permissions,
                                   AppActivityMonitor& appActivityMonitor, ClockSyncManager& clockSyncManager,
                                   Logger& logger, RecorderFactory& recorders, ActivityInhibitor& inhibitor,
                                   AlertPresenter& alerts, WallClock clock)
    : preferences_(preferences)
    , permissions_(permissions)
    , appActivityMonitor_(appActivityMonitor)
    , clockSyncManager_(clockSyncManager)
    , logger_(logger)
    , recorders_(recorders)
    , inhibitor_(inhibitor)
    , alerts_(alerts)
    , clock_(std::move(clock))
{}

RecordingSession::~RecordingSession()
{
    // Recorders report into this object: they go before it.
    screenRecorder_.reset();
    micRecorder_.reset();
    systemAudioRecorder_.reset();
}

QString RecordingSession::timecode(double seconds)
{
    return ebbcast::timecode(seconds);
}

QString RecordingSession::markerFileName()
{
    return u".ebbcast_recording_active"_s;
}

QCoro::Task<> RecordingSession::start(bool autoStarted)
{
    if (isRecording_ || isStarting_ || isStopping_) {
        logger_.info(
            u"Ignored recording start request because a recording lifecycle transition is already active"_s);
        co_return;
    }
    isStarting_ = true;
    std::optional<QString> failure;
    try {
        co_await startSteps(autoStarted);
    } catch (const EbbcastError& error) {
        failure = error.description();
    } catch (const std::exception& error) {
        failure = QString::fromLocal8Bit(error.what());
    }
    if (failure) {
        logger_.error(u"Failed to start recording: "_s + *failure);
        alerts_.showError(*failure);
        co_await cleanUpPartialStart();
    }
    isStarting_ = false;
}

QCoro::Task<> RecordingSession::startSteps(bool autoStarted)
{
    co_await permissions_.validateForRecording();
    const QDateTime startTime = clock_();
    const std::optional<ClockSyncMetadata> clockSync = co_await clockSyncManager_.sync();
    const QString sessionID = SessionFolder::sessionID(startTime);
    QString root = preferences_.recordingFolderURL().toLocalFile();
    if (root.endsWith(u'/') && root.size() > 1)
        root.chop(1);
    const QString folder = SessionFolder::create(root, sessionID);
    sessionFolder_ = folder;
    // Held until the stop has completed the document: a repair in another process leaves this folder alone.
    sessionLock_ = SessionLock::acquire(folder);
    const ActiveAppMetadata application = appActivityMonitor_.activeApplicationInfo();

    const QString screenPath = folder + u"/screen.mov"_s;
    const QString systemAudioPath = folder + u'/' + RecordingAudioFormat::systemAudioFileName();
    const QString microphonePath = folder + u'/' + RecordingAudioFormat::microphoneFileName();
    const QString chunkFolder = folder + u"/chunks"_s;
    const QString metadataPath = folder + u"/metadata.json"_s;

    systemAudioRecorder_ = recorders_.makeSystemAudioRecorder(systemAudioPath, chunkFolder, logger_);
    // Both audio tracks begin at the session's start, so their offsets are session times.
    systemAudioRecorder_->setTimelineStart(startTime);
    systemAudioRecorder_->onLevel = [this](float level) {
        if (onSystemAudioLevel)
            onSystemAudioLevel(level);
    };
    systemAudioRecorder_->onChunkCompleted = [this, folder](const RecordingChunkMetadata& chunk,
                                                            const QString& path) {
        postChunk(folder, chunk, path);
    };
    std::unique_ptr<ScreenRecorder> screen = recorders_.makeScreenRecorder(screenPath, preferences_, logger_);
    std::unique_ptr<MicRecorder> microphone =
        recorders_.makeMicRecorder(microphonePath, preferences_.micInputDeviceName(), logger_);
    microphone->onLevel = [this](float level) {
        if (onMicLevel)
            onMicLevel(level);
    };
    microphone->onChunkCompleted = [this, folder](const RecordingChunkMetadata& chunk, const QString& path) {
        postChunk(folder, chunk, path);
    };

    inhibitor_.begin(u"Ebbcast is actively recording"_s);
    activity_ = true;

    const DisplayMetadata display = co_await screen->prepare();

    SessionMetadata document;
    document.sessionID = sessionID;
    document.startTime = startTime;
    document.activeAppName = application.name;
    document.activeAppBundleID = application.bundleIdentifier;
    document.recorder = {preferences_.recorderID(), preferences_.recorderName()};
    document.clockSync = clockSync;
    document.display = display;
    document.audioDevices = {microphone->deviceName(), SystemAudioRecorder::sourceDescription()};
    document.systemAudioCapture = SystemAudioCaptureMetadata::unavailable();
    document.liveChunks = std::vector<RecordingChunkMetadata>{};
    document.files = {screenPath, systemAudioPath, microphonePath, metadataPath};
    document.appVersion = QString::fromLatin1(BuildInfo::version);
    currentSession_ = document;
    MetadataWriter::write(document, metadataPath);
    AtomicFile::write(markerPath(folder), QByteArray());

    screenRecorder_ = std::move(screen);
    micRecorder_ = std::move(microphone);
    micRecorder_->start(chunkFolder, startTime);
    co_await screenRecorder_->start();
    // A system-audio source that cannot start is logged; the session goes on without it.
    co_await runOnWorker([this] { systemAudioRecorder_->start(); });

    startDate_ = startTime;
    currentRecordingWasAutoStarted_ = autoStarted;
    isRecording_ = true;
    if (onStateChange)
        onStateChange(true);
    if (onSessionStarted)
        onSessionStarted(folder);
    logger_.info(u"Recording started: "_s + folder);
}

QCoro::Task<> RecordingSession::cleanUpPartialStart()
{
    if (screenRecorder_) {
        co_await screenRecorder_->stop();
        co_await runOnWorker([this] { systemAudioRecorder_->stop(); });
    }
    if (micRecorder_)
        co_await runOnWorker([this] { micRecorder_->stop(); });
    recordPostedChunks();
    if (currentSession_)
        QFile::remove(markerPath(SessionFolder::ofMetadataPath(currentSession_->files.metadata)));
    removeFolderWithoutMedia();
    returnToIdle();
}

void RecordingSession::removeFolderWithoutMedia()
{
    if (!sessionFolder_)
        return;
    const QString& folder = *sessionFolder_;
    // The recorders leave no movie or system-audio file without a frame or buffer in it; the microphone file
    // always exists once its recorder started, so its frame count tells.
    const bool microphone = micRecorder_ && micRecorder_->framesWritten() > 0;
    const bool movie = QFileInfo::exists(folder + u"/screen.mov"_s);
    const bool systemAudio = QFileInfo::exists(folder + u'/' + RecordingAudioFormat::systemAudioFileName());
    if (microphone || movie || systemAudio)
        return; // kept for the repair at the next launch
    if (sessionLock_)
        sessionLock_->removeAndRelease();
    if (!QDir(folder).removeRecursively())
        logger_.error(u"Failed to remove the folder of a recording that did not start: "_s + folder);
}

void RecordingSession::returnToIdle()
{
    screenRecorder_.reset();
    micRecorder_.reset();
    systemAudioRecorder_.reset();
    if (activity_) {
        inhibitor_.end();
        activity_ = false;
    }
    currentSession_.reset();
    startDate_.reset();
    sessionFolder_.reset();
    if (sessionLock_) {
        sessionLock_->removeAndRelease();
        sessionLock_.reset();
    }
    currentRecordingWasAutoStarted_ = false;
    isRecording_ = false;
    if (onStateChange)
        onStateChange(false);
}

QStringList RecordingSession::endedTracks() const
{
    QStringList lines;
    const auto describe = [&](const QString& track, const std::optional<TrackInterruption>& interruption) {
        if (!interruption)
            return;
        QString line;
        if (interruption->lastDataAt && startDate_) {
            const double at = static_cast<double>(startDate_->msecsTo(*interruption->lastDataAt)) / 1000.0;
            line = track + u" stopped at "_s + tenthsTimecode(at) + u": "_s + interruption->reason;
        } else {
            line = track + u" recorded nothing: "_s + interruption->reason;
        }
        logger_.error(u"Recording track ended early: "_s + line);
        lines.append(line);
    };
    if (micRecorder_)
        describe(u"the microphone"_s, micRecorder_->interruption());
    if (systemAudioRecorder_)
        describe(u"the system audio"_s, systemAudioRecorder_->interruption());
    if (screenRecorder_)
        describe(u"the screen recording"_s, screenRecorder_->interruption());
    return lines;
}

void RecordingSession::completeChunk(RecordingChunkMetadata& chunk) const
{
    completeChunkSessionFields(chunk, currentSession_ ? &*currentSession_ : nullptr);
}

void RecordingSession::postChunk(const QString& sessionFolder, const RecordingChunkMetadata& chunk,
                                 const QString& chunkPath)
{
    {
        const std::lock_guard lock(postedLock_);
        posted_.push_back({sessionFolder, chunk, chunkPath});
    }
    QMetaObject::invokeMethod(
        this, [this] { recordPostedChunks(); }, Qt::QueuedConnection);
}

void RecordingSession::recordPostedChunks()
{
    std::vector<PostedChunk> reports;
    {
        const std::lock_guard lock(postedLock_);
        reports.swap(posted_);
    }
    for (const PostedChunk& report : reports)
        recordChunk(report.sessionFolder, report.chunk, report.path);
}

void RecordingSession::recordChunk(const QString& sessionFolder, const RecordingChunkMetadata& chunk,
                                   const QString& chunkPath)
{
    RecordingChunkMetadata completed = chunk;
    completeChunk(completed);
    if (currentSession_ && currentSession_->liveChunks)
        currentSession_->liveChunks->push_back(completed);
    updateDocument(sessionFolder, [&completed](SessionMetadata& document) {
        if (!document.liveChunks)
            document.liveChunks = std::vector<RecordingChunkMetadata>{};
        document.liveChunks->push_back(completed);
    });
    const QString documentPath = MetadataWriter::chunkDocumentPath(chunkPath);
    try {
        MetadataWriter::write(completed, documentPath);
        Q_EMIT chunkCompleted(QFileInfo(QFileInfo(chunkPath).absolutePath()).absolutePath(), documentPath);
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to write chunk metadata: "_s + error.description());
    }
    Q_EMIT chunkCompleted(sessionFolder, chunkPath);
}

QCoro::Task<> RecordingSession::stop(bool suppressUpload)
{
    if (isStopping_)
        co_return;
    if (!isRecording_ && !screenRecorder_ && !micRecorder_)
        co_return;
    isStopping_ = true;
    const QDateTime stopTime = clock_();
    if (screenRecorder_)
        co_await screenRecorder_->stop();
    if (systemAudioRecorder_)
        co_await runOnWorker([this] { systemAudioRecorder_->stop(); });
    if (micRecorder_)
        co_await runOnWorker([this] { micRecorder_->stop(); });
    // The last chunks the recorders reported while they stopped belong in the completed document.
    recordPostedChunks();

    std::optional<SessionMetadata> session = currentSession_;
    StopOutcome outcome;
    outcome.endedTracks = endedTracks();
    if (session) {
        const QString folder = SessionFolder::ofMetadataPath(session->files.metadata);
        lastCompletedSessionFolder_ = folder;
        session->endTime = stopTime;
        session->duration = secondsBetween(startDate_.value_or(session->startTime), stopTime);
        session->systemAudioCapture = systemAudioRecorder_ ? systemAudioRecorder_->captureMetadata()
                                                           : SystemAudioCaptureMetadata::unavailable();
        bool written = false;
        {
            try {
                // The stop completes what is stored, so what others wrote into the document (transcription
                // outcomes of its chunks, members of newer versions) stays.
                SessionDocumentFile::update(session->files.metadata, [&](SessionMetadata& stored) {
                    completeStoredDocument(stored, *session);
                });
                written = true;
            } catch (const FileError&) {
                written = false; // the stored document is gone or unreadable: the in-memory copy is written
            } catch (const EbbcastError&) {
                written = false;
            }
            if (!written) {
                try {
                    MetadataWriter::write(*session, session->files.metadata);
                    written = true;
                } catch (const EbbcastError& error) {
                    logger_.error(u"Failed to write metadata: "_s + error.description());
                    alerts_.showError(u"Recording stopped, but metadata could not be written: "_s +
                                      error.description());
                }
            }
        }
        outcome.sessionFolder = folder;
        outcome.documentCompleted = written;
        if (written) {
            QFile::remove(markerPath(folder));
            if (!suppressUpload && onSessionCompleted)
                onSessionCompleted(folder);
        }
    }

    lastStopOutcome_ = outcome;
    returnToIdle();
    logger_.info(u"Recording stopped"_s);
    isStopping_ = false;
}

void RecordingSession::createMarker(const QString& label)
{
    if (!currentSession_ || !startDate_)
        return;
    const QDateTime now = clock_();
    const SessionMarker marker{QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(),
                               secondsBetween(*startDate_, now), now, label};
    currentSession_->markers.push_back(marker);
    updateDocument(SessionFolder::ofMetadataPath(currentSession_->files.metadata),
                   [&marker](SessionMetadata& document) { document.markers.push_back(marker); });
    logger_.info(u"Marker created at "_s + QString::fromLatin1(ShortestNumber::format(marker.timestamp)) +
                 u"s"_s);
}

void RecordingSession::updateDocument(const QString& sessionFolder,
                                      const std::function<void(SessionMetadata&)>& change)
{
    try {
        SessionDocumentFile::update(sessionFolder + u"/metadata.json"_s, change);
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to update session metadata: "_s + error.description());
    }
}

void RecordingSession::markWrapUpPending(const QString& sessionFolder)
{
    updateDocument(sessionFolder,
                   [](SessionMetadata& document) { document.wrapUp = WrapUpSessionMetadata::pending(); });
}

void RecordingSession::markWrapUpCompleted(const QString& sessionFolder, const QString& wrapUpFile,
                                           const QString& wrapUpMetadata)
{
    updateDocument(sessionFolder, [&](SessionMetadata& document) {
        document.wrapUp = WrapUpSessionMetadata::complete(wrapUpFile, wrapUpMetadata);
    });
}

void RecordingSession::markWrapUpFailed(const QString& sessionFolder, const QString& reason)
{
    updateDocument(sessionFolder, [&](SessionMetadata& document) {
        document.wrapUp = WrapUpSessionMetadata::failed(reason);
    });
}

RecoveryOutcome RecordingSession::recoverInterruptedSession()
{
    SessionRecovery recovery(preferences_.recordingFolderURL().toLocalFile(), logger_, clock_,
                             [this](const QString& path) { return recorders_.recordedAudioSeconds(path); });
    RecoveryOutcome outcome = recovery.run();
    if (outcome.kind == RecoveryOutcome::Kind::repaired)
        lastCompletedSessionFolder_ = outcome.folder;
    return outcome;
}

std::optional<QString> RecordingSession::recoverInterruptedSessionIfNeeded()
{
    const RecoveryOutcome outcome = recoverInterruptedSession();
    if (outcome.kind != RecoveryOutcome::Kind::repaired)
        return std::nullopt;
    return outcome.folder;
}

} // namespace ebbcast
