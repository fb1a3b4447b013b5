#include "session/RecordingSession.h"

#include "capture/AppActivityMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/Recorder.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/AtomicFile.h"
#include "core/base/BuildInfo.h"
#include "core/base/EbbcastError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionFolder.h"
#include "core/documents/Timecode.h"
#include "core/json/ShortestNumber.h"
#include "core/settings/RecordingAudioFormat.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/ChunkSessionFields.h"
#include "session/RecorderFactory.h"
#include "session/SessionDocument.h"
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

RecordingSession::RecordingSession(Settings settings, PermissionManager& permissions,
                                   AppActivityMonitor& appActivityMonitor, ClockSyncManager& clockSyncManager,
                                   Logger& logger, RecorderFactory& recorders, ActivityInhibitor& inhibitor,
                                   AlertPresenter& alerts, WallClock clock)
    : settings_(std::move(settings))
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
    tracks_.clear();
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
    lastStartFailure_.reset();
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
        lastStartFailure_ = failure;
        alerts_.showError(*failure);
        co_await cleanUpPartialStart();
    }
    isStarting_ = false;
    settledWaiters_.resumeAll(this);
}

QCoro::Task<> RecordingSession::waitUntilSettled()
{
    while (isTransitioning()) {
        const ParkOn untilSettled{settledWaiters_, false};
        co_await untilSettled;
    }
}

QCoro::Task<> RecordingSession::startSteps(bool autoStarted)
{
    co_await permissions_.validateForRecording();
    const QDateTime startTime = clock_();
    const std::optional<ClockSyncMetadata> clockSync = co_await clockSyncManager_.sync();
    const QString sessionID = SessionFolder::sessionID(startTime);
    QString root = settings_.recordingFolder;
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

    std::vector<std::unique_ptr<Recorder>> tracks;
    tracks.push_back(
        recorders_.makeMicRecorder(microphonePath, chunkFolder, settings_.microphoneName, logger_));
    tracks.back()->onLevel = [this](float level) {
        if (onMicLevel)
            onMicLevel(level);
    };
    tracks.push_back(recorders_.makeSystemAudioRecorder(systemAudioPath, chunkFolder, logger_));
    tracks.back()->onLevel = [this](float level) {
        if (onSystemAudioLevel)
            onSystemAudioLevel(level);
    };
    tracks.push_back(recorders_.makeScreenRecorder(screenPath, settings_.displayID, logger_));
    for (const auto& track : tracks) {
        track->onChunkCompleted = [this, folder](const RecordingChunkMetadata& chunk, const QString& path) {
            postChunk(folder, chunk, path);
        };
    }

    inhibitor_.begin(u"Ebbcast is actively recording"_s);
    activity_ = true;

    SessionMetadata document;
    document.sessionID = sessionID;
    document.startTime = startTime;
    document.activeAppName = application.name;
    document.activeAppBundleID = application.bundleIdentifier;
    document.recorder = {settings_.recorderID, settings_.recorderName};
    document.clockSync = clockSync;
    for (const auto& track : tracks)
        co_await track->prepare(document);
    document.liveChunks = std::vector<RecordingChunkMetadata>{};
    document.files = {screenPath, systemAudioPath, microphonePath, metadataPath};
    document.appVersion = QString::fromLatin1(BuildInfo::version);
    document_ = std::make_unique<SessionDocument>(document, logger_);
    document_->create();
    AtomicFile::write(markerPath(folder), QByteArray());

    tracks_ = std::move(tracks);
    // Every track begins at the session's start, so the audio offsets are session times.
    for (const auto& track : tracks_)
        co_await track->start(startTime);

    startDate_ = startTime;
    currentRecordingWasAutoStarted_ = autoStarted;
    isRecording_ = true;
    if (onStateChange)
        onStateChange(true);
    if (onSessionStarted)
        onSessionStarted(folder);
    logger_.info(u"Recording started: "_s + folder);
}

QCoro::Task<> RecordingSession::stopRecorders()
{
    for (auto track = tracks_.rbegin(); track != tracks_.rend(); ++track)
        co_await (*track)->stop();
    // The last chunks the recorders reported while they stopped belong in the document.
    recordPostedChunks();
}

QCoro::Task<> RecordingSession::cleanUpPartialStart()
{
    co_await stopRecorders();
    if (document_)
        QFile::remove(markerPath(document_->folder()));
    removeFolderWithoutMedia();
    returnToIdle();
}

void RecordingSession::removeFolderWithoutMedia()
{
    if (!sessionFolder_)
        return;
    const QString& folder = *sessionFolder_;
    if (std::any_of(tracks_.begin(), tracks_.end(), [](const auto& track) { return track->hasRecorded(); }))
        return; // kept for the repair at the next launch
    if (sessionLock_)
        sessionLock_->removeAndRelease();
    if (!QDir(folder).removeRecursively())
        logger_.error(u"Failed to remove the folder of a recording that did not start: "_s + folder);
}

void RecordingSession::returnToIdle()
{
    tracks_.clear();
    if (activity_) {
        inhibitor_.end();
        activity_ = false;
    }
    document_.reset();
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
    for (const auto& track : tracks_)
        describe(track->trackName(), track->interruption());
    return lines;
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
    if (document_)
        completed = document_->appendChunk(chunk);
    else {
        completeChunkSessionFields(completed, nullptr);
        SessionDocument::update(sessionFolder, logger_, [&completed](SessionMetadata& document) {
            if (!document.liveChunks)
                document.liveChunks = std::vector<RecordingChunkMetadata>{};
            document.liveChunks->push_back(completed);
        });
    }
    const QString documentPath = MetadataWriter::chunkDocumentPath(chunkPath);
    try {
        MetadataWriter::write(completed, documentPath);
        Q_EMIT chunkCompleted(QFileInfo(QFileInfo(chunkPath).absolutePath()).absolutePath(), documentPath);
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to write chunk metadata: "_s + error.description());
    }
    Q_EMIT chunkCompleted(sessionFolder, chunkPath);
}

QCoro::Task<std::optional<RecordingSession::StopOutcome>> RecordingSession::stop(bool suppressUpload)
{
    if (isStopping_)
        co_return std::nullopt;
    if (!isRecording_ && tracks_.empty())
        co_return std::nullopt;
    isStopping_ = true;
    const QDateTime stopTime = clock_();
    co_await stopRecorders();

    StopOutcome outcome;
    outcome.endedTracks = endedTracks();
    if (document_) {
        const QString folder = document_->folder();
        lastCompletedSessionFolder_ = folder;
        const double duration =
            secondsBetween(startDate_.value_or(document_->metadata().startTime), stopTime);
        // The stop completes what is stored, so what others wrote into the document (transcription outcomes
        // of its chunks, members of newer versions) stays.
        const std::optional<QString> failure =
            document_->complete(stopTime, duration, [this](SessionMetadata& document) {
                for (const auto& track : tracks_)
                    track->complete(document);
            });
        if (failure) {
            logger_.error(u"Failed to write metadata: "_s + *failure);
            alerts_.showError(u"Recording stopped, but metadata could not be written: "_s + *failure);
        }
        outcome.sessionFolder = folder;
        outcome.documentCompleted = !failure;
        if (!failure) {
            QFile::remove(markerPath(folder));
            if (onSessionCompleted)
                onSessionCompleted(folder, suppressUpload);
        }
    }

    returnToIdle();
    logger_.info(u"Recording stopped"_s);
    isStopping_ = false;
    settledWaiters_.resumeAll(this);
    co_return outcome;
}

std::optional<double> RecordingSession::createMarker(const QString& label)
{
    if (!document_ || !startDate_)
        return std::nullopt;
    const QDateTime now = clock_();
    const SessionMarker marker{QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(),
                               secondsBetween(*startDate_, now), now, label};
    document_->addMarker(marker);
    logger_.info(u"Marker created at "_s + QString::fromLatin1(ShortestNumber::format(marker.timestamp)) +
                 u"s"_s);
    return marker.timestamp;
}

void RecordingSession::markWrapUpPending(const QString& sessionFolder)
{
    SessionDocument::update(sessionFolder, logger_, [](SessionMetadata& document) {
        document.wrapUp = WrapUpSessionMetadata::pending();
    });
}

void RecordingSession::markWrapUpCompleted(const QString& sessionFolder, const QString& wrapUpFile,
                                           const QString& wrapUpMetadata)
{
    SessionDocument::update(sessionFolder, logger_, [&](SessionMetadata& document) {
        document.wrapUp = WrapUpSessionMetadata::complete(wrapUpFile, wrapUpMetadata);
    });
}

void RecordingSession::markWrapUpFailed(const QString& sessionFolder, const QString& reason)
{
    SessionDocument::update(sessionFolder, logger_, [&](SessionMetadata& document) {
        document.wrapUp = WrapUpSessionMetadata::failed(reason);
    });
}

RecoveryOutcome RecordingSession::recoverInterruptedSession()
{
    SessionRecovery recovery(settings_.recordingFolder, logger_, clock_,
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
