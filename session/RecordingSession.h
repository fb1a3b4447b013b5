#pragma once

#include "core/base/CoroutineWaiters.h"
#include "core/base/WallClock.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "session/SessionRecovery.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ebbcast {

class ActivityInhibitor;
class AlertPresenter;
class AppActivityMonitor;
class ClockSyncManager;
class FileLock;
class Logger;
class PermissionManager;
class Recorder;
class RecorderFactory;
class SessionDocument;

// One recording at a time: a start request becomes a session folder with its first document, the
// active-recording marker and three running recorders; each finished chunk becomes a chunk document with
// session and server times; a stop completes the document. At launch it repairs the newest session left
// unfinished by a crash.
// Threads: everything runs on the main thread. Recorders report chunks on their own threads; a report is
// copied, queued and handled on the main thread, where the session owns its document (the stop handles the
// reports still queued once the recorders have stopped). A slow disk never holds up a capture thread.
class RecordingSession : public QObject {
    Q_OBJECT

public:
    // The settings a session starts with, wired from the settings store by the application.
    struct Settings {
        // Where session folders go (an absolute path).
        QString recordingFolder;
        // The microphone asked for; empty: the default input.
        QString microphoneName;
        // The display to record; 0: the main display.
        quint32 displayID = 0;
        QString recorderID;
        QString recorderName;
    };

    // What a stop achieved, for callers that report it (the command line's exit status).
    struct StopOutcome {
        QString sessionFolder;
        bool documentCompleted = false;
        // One line per track that stopped before the session did, such as
        // "the microphone stopped at 00:00:05.2: <reason>".
        QStringList endedTracks;
    };

    RecordingSession(Settings settings, PermissionManager& permissions,
                     AppActivityMonitor& appActivityMonitor, ClockSyncManager& clockSyncManager,
                     Logger& logger, RecorderFactory& recorders, ActivityInhibitor& inhibitor,
                     AlertPresenter& alerts, WallClock clock = systemTime);
    ~RecordingSession() override;

    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    // Takes effect at the next start (and, for the recording folder, the next repair).
    void setSettings(const Settings& settings) { settings_ = settings; }
    const Settings& settings() const { return settings_; }

    QCoro::Task<> start(bool autoStarted);
    // Nothing when no recording was running or a stop was already under way.
    QCoro::Task<std::optional<StopOutcome>> stop(bool suppressUpload);
    // The marker's time in the session, in seconds; nothing when no recording runs.
    std::optional<double> createMarker(const QString& label = QStringLiteral("Marker"));
    void markWrapUpPending(const QString& sessionFolder);
    void markWrapUpCompleted(const QString& sessionFolder, const QString& wrapUpFile,
                             const QString& wrapUpMetadata);
    void markWrapUpFailed(const QString& sessionFolder, const QString& reason);
    // Repairs the newest session a crash left unfinished (see SessionRecovery) and tells how that went.
    RecoveryOutcome recoverInterruptedSession();
    // The folder of the session repaired, if one needed it and the repair succeeded.
    std::optional<QString> recoverInterruptedSessionIfNeeded();

    static QString timecode(double seconds);
    static QString markerFileName();

    bool isRecording() const { return isRecording_; }
    // A start or a stop is under way.
    bool isTransitioning() const { return isStarting_ || isStopping_; }
    bool isStarting() const { return isStarting_; }
    bool isStopping() const { return isStopping_; }
    // Resumes (from the event loop) once no start or stop is under way; at once when none is.
    QCoro::Task<> waitUntilSettled();
    bool currentRecordingWasAutoStarted() const { return currentRecordingWasAutoStarted_; }
    std::optional<QString> lastCompletedSessionFolder() const { return lastCompletedSessionFolder_; }
    // The folder of the running (or starting) session, once it exists.
    std::optional<QString> currentSessionFolder() const { return sessionFolder_; }
    // Why the last start failed (the text of its alert); nothing when it succeeded or was ignored.
    std::optional<QString> lastStartFailure() const { return lastStartFailure_; }

    std::function<void(bool recording)> onStateChange;
    std::function<void(float level)> onMicLevel;
    std::function<void(float level)> onSystemAudioLevel;
    std::function<void(const QString& sessionFolder)> onSessionStarted;
    // A stop completed the session's document; `uploadHeldBack` when the stop was asked to hold its upload
    // back (a wrap-up note is added first).
    std::function<void(const QString& sessionFolder, bool uploadHeldBack)> onSessionCompleted;

Q_SIGNALS:
    // A chunk file is ready: emitted twice per chunk, first with its ".json" document (the first argument is
    // then the folder above the chunk's folder), then with its audio file. On the main thread.
    void chunkCompleted(const QString& sessionFolder, const QString& file);

private:
    QCoro::Task<> startSteps(bool autoStarted);
    QCoro::Task<> stopRecorders();
    QCoro::Task<> cleanUpPartialStart();
    // Drops the recorders and the document, ends the inhibition and reports "not recording".
    void returnToIdle();
    // Lines for the tracks that ended before the stop; each is also logged.
    QStringList endedTracks() const;
    // After a failed start: the folder goes when no recorder wrote anything into it.
    void removeFolderWithoutMedia();
    // From a recorder's thread: the report is copied and handled on the main thread.
    void postChunk(const QString& sessionFolder, const RecordingChunkMetadata& chunk,
                   const QString& chunkPath);
    // Main thread: handles every report posted so far, in the order they came.
    void recordPostedChunks();
    void recordChunk(const QString& sessionFolder, const RecordingChunkMetadata& chunk,
                     const QString& chunkPath);

    Settings settings_;
    PermissionManager& permissions_;
    AppActivityMonitor& appActivityMonitor_;
    ClockSyncManager& clockSyncManager_;
    Logger& logger_;
    RecorderFactory& recorders_;
    ActivityInhibitor& inhibitor_;
    AlertPresenter& alerts_;
    WallClock clock_;

    struct PostedChunk {
        QString sessionFolder;
        RecordingChunkMetadata chunk;
        QString path;
    };
    std::mutex postedLock_;
    std::vector<PostedChunk> posted_; // guarded by postedLock_
    std::unique_ptr<SessionDocument> document_;
    // The session's tracks, in the order they start: the microphone, the system audio, the screen. They stop
    // in the reverse order, so the microphone hears the session to its end.
    std::vector<std::unique_ptr<Recorder>> tracks_;
    std::optional<QDateTime> startDate_;
    std::optional<QString> sessionFolder_;
    std::optional<QString> lastStartFailure_;
    std::unique_ptr<FileLock> sessionLock_; // held from the folder's creation to the end of the stop
    bool activity_ = false;
    CoroutineWaiters settledWaiters_;
    bool isStarting_ = false;
    bool isStopping_ = false;
    bool isRecording_ = false;
    bool currentRecordingWasAutoStarted_ = false;
    std::optional<QString> lastCompletedSessionFolder_;
};

} // namespace ebbcast
