#pragma once

#include "core/base/CoroutineWaiters.h"
#include "core/base/RetryTimer.h"
#include "core/base/WallClock.h"
#include "drive/UploadState.h"
#include "transcription/TranscriptFinalizationGate.h"
#include "transcription/TranscriptFinalizationState.h"
#include "transcription/TranscriptFinalizerPorts.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <array>
#include <map>
#include <memory>

namespace ebbcast {

class FinalTranscriptWriter;
class Logger;

// Turns a stopped session whose chunks all reached a final transcription status into its final transcript
// documents, delivers them to the session's Drive folder and tells the relay once that the transcript is
// ready; shows each outcome through the status sink and records it in the session's
// ".ebbcast_transcript_state.json".
//
// finalizeSessionTranscriptIfReady is called often and cheaply (after each chunk outcome, at a session's stop
// and upload completion, at restart, by its own retries): a session that is not ready only has its progress
// shown. One finalization per session runs at a time (TranscriptFinalizationGate); a failed Drive delivery or
// a refused notification is tried again 2, 5, 15 and 30 s after each failure, at most four times. Writing
// failures are shown and logged but not retried.
//
// Main thread: every run is a coroutine on the event loop; the documents are written on a worker. Detached
// runs (retries, follow-up runs) catch and log their errors; destroying the finalizer cancels pending
// retries, and it must outlive the runs in flight (waitUntilIdle).
class TranscriptFinalizer {
public:
    struct Config {
        bool transcriptionEnabled = false; // enableLiveTranscription, or an explicit request
        bool uploadEnabled = false;        // googleUploadEnabled
        QString recordingsFolder;          // recordingFolderURL as a local path
    };

    struct Collaborators {
        FinalTranscriptWriter& writer;
        SessionFileUploader& uploader;
        TranscriptReadyAnnouncer& announcer;
        TranscriptStatusSink& status;
        RetryTimer& retryTimer;
        Logger& logger;
    };

    static constexpr std::array<int, 4> retryDelaysSeconds{2, 5, 15, 30};
    static constexpr int maximumRetries = 4;

    TranscriptFinalizer(Config config, Collaborators collaborators, WallClock clock = systemTime);
    TranscriptFinalizer(Config config, Collaborators collaborators, WallClock clock,
                        SessionFolderGate::Options gateOptions);
    ~TranscriptFinalizer();

    TranscriptFinalizer(const TranscriptFinalizer&) = delete;
    TranscriptFinalizer& operator=(const TranscriptFinalizer&) = delete;

    void setConfig(Config config);

    // Finalizes the session when it is ready (see above); `retryAttempt` is 0 except for retries. Resumes
    // when this call's run, and any run that calls during it made necessary, is over; a call that found the
    // session's finalization running returns at once. Never throws.
    QCoro::Task<void> finalizeSessionTranscriptIfReady(QString sessionFolder, int retryAttempt = 0);
    // The same, detached: for callers that do not wait.
    void requestFinalization(const QString& sessionFolder);

    // Schedules the next delivery attempt after `retryAttempt` failed (one pending retry per session), or
    // logs that the retries are exhausted.
    void scheduleTranscriptFinalizationRetry(const QString& sessionFolder, int retryAttempt);
    // Whether a retry of the session is scheduled.
    bool hasPendingRetry(const QString& sessionFolder) const;

    // Throws FileError or DocumentError.
    void writeTranscriptFinalizationState(const TranscriptFinalizationState& state,
                                          const QString& sessionFolder) const;
    static QString transcriptReadyDetail(qint64 sourceChunkCount, qint64 emptySourceChunkCount);

    // Shows the transcript status of the newest session with a transcript state (at start-up).
    void restoreLatestTranscriptState();
    // Shows the stored transcript status of one session, given its upload state.
    void restoreTranscriptState(const QString& sessionFolder, const UploadState& uploadState);

    // The upload keys of the five final documents, in upload order.
    static const std::array<QString, 5>& finalDocumentKeys();

    // Whether a finalization runs now.
    bool isFinalizing() const;
    // Whether no finalization runs and no retry is scheduled.
    bool isIdle() const;
    // Resume once no finalization runs, and once moreover no retry is scheduled.
    QCoro::Task<void> waitUntilNotFinalizing();
    QCoro::Task<void> waitUntilIdle();

    static const QString processingStatus;
    static const QString unavailableStatus;
    static const QString incompleteStatus;
    static const QString readyStatus;
    static const QString driveFailedStatus;
    static const QString uploadedStatus;
    static const QString errorStatus;

private:
    class Run;

    QCoro::Task<void> detached(QString sessionFolder, int retryAttempt);
    void scheduleRetry(const QString& sessionFolder, const QString& sessionID, int retryAttempt);
    void cancelRetry(const QString& key);
    void resumeIfIdle();

    Config config_;
    Collaborators with_;
    WallClock clock_;
    TranscriptFinalizationGate gate_;
    std::map<QString, RetryTimer::Id> retries_; // session key -> its one scheduled retry
    CoroutineWaiters notFinalizingWaiters_;
    CoroutineWaiters idleWaiters_;
    QObject context_;
};

} // namespace ebbcast
