#pragma once

#include "core/base/CoroutineWaiters.h"
#include "core/base/WallClock.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"
#include "transcription/ChunkPipelinePorts.h"
#include "transcription/ChunkTranscriptionStatus.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <coroutine>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace ebbcast {

class FileLock;
class Logger;
class SessionFileUploader;
struct ChunkOutcomeRecord;

// Takes each finished audio chunk of a session through the transcription gateway: uploads it with its
// metadata (four attempts, 1, 4 and 9 s apart), records the gateway's job in the chunk's document and in
// the session's "live_chunks", polls the job (every 5 s, at most 60 times), fetches the transcript, records
// the outcome, writes the chunk's transcript file, asks the final transcript whether the session is complete,
// and hands the transcript on to Drive and the relay. After a restart it resumes a stopped session: chunks
// never submitted or whose upload failed are uploaded again, accepted ones are polled again, and complete
// ones whose transcript file, Drive upload or relay event is missing get them from the stored text.
//
// Each chunk is one task; a chunk is never in flight twice, at most `Timing::maximumUploads` uploads run at
// once (first come, first served), polls are not limited. Every task is started, caught, logged and counted
// by one wrapper (pendingChunks); a task whose pipeline is destroyed ends quietly at its next step. The
// documents are changed with the session's locked read-modify-write on a worker, so the recording session
// and other processes lose nothing. While it has work for a session, the pipeline holds the session's
// ".ebbcast_transcription.lock"; a session another process holds is left alone.
//
// Main thread, except enqueueGlossenChunkUpload, which may be called from any thread.
class GlossenChunkPipeline : public QObject {
    Q_OBJECT

public:
    struct Config {
        bool transcriptionEnabled = false; // enableLiveTranscription, or an explicit request
        bool uploadEnabled = false;        // googleUploadEnabled
        QString recorderID;
        QString recorderName;
        QString recordingsFolder; // recordingFolderURL as a local path
    };

    struct Collaborators {
        ChunkTranscriptionGateway& gateway;
        SessionTranscriptCompletion& completion;
        SessionFileUploader& uploader;
        ChunkTranscriptAnnouncer& announcer;
        ChunkDriveInfoSource driveInfo;
        Logger& logger;
    };

    using Pause = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;
    struct Timing {
        Pause pause;                  // default: a timer on the event loop
        WallClock clock = systemTime; // the completion times recorded
        int maximumUploads = 2;       // uploads at once
    };

    static constexpr int uploadAttempts = 4;
    static constexpr int pollLimit = 60;
    static constexpr std::chrono::seconds pollInterval{5};

    // What resumeSessionTranscription made of a session.
    enum class Resume {
        started,       // chunk tasks started (or a finalization check, when none was needed)
        disabled,      // live transcription is off
        notASession,   // no readable "metadata.json"
        notEnded,      // no end time: recording, or interrupted and not repaired
        heldElsewhere, // another process works on the session
        unavailable,   // the session's lock could not be taken (a read-only folder)
    };

    // A session kept claimed (its lock held) beyond its tasks, for as long as the claim lives.
    class Claim {
    public:
        Claim() = default;
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&& other) noexcept;
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

    private:
        friend class GlossenChunkPipeline;
        Claim(GlossenChunkPipeline& pipeline, QString key);
        QPointer<GlossenChunkPipeline> pipeline_;
        QString key_;
    };

    GlossenChunkPipeline(Config config, Collaborators collaborators);
    GlossenChunkPipeline(Config config, Collaborators collaborators, Timing timing);
    ~GlossenChunkPipeline() override;

    GlossenChunkPipeline(const GlossenChunkPipeline&) = delete;
    GlossenChunkPipeline& operator=(const GlossenChunkPipeline&) = delete;

    void setConfig(Config config);
    const Config& config() const { return config_; }

    // A chunk of `sessionFolder` was completed (its ".json" document or its audio file; only audio files
    // directly in the session's "chunks" folder are taken). Any thread: hops to the main thread first.
    void enqueueGlossenChunkUpload(const QString& sessionFolder, const QString& chunkFile);

    // The newest session of the recordings folder, at start-up.
    void resumeLatestSessionTranscription();
    // That session: the newest folder of the recordings folder holding a "metadata.json".
    std::optional<QString> latestSessionFolder() const;
    Resume resumeSessionTranscription(const QString& sessionFolder);

    // Holds the session's lock until the claim ends (the transcribe command, across its finalization).
    // Nothing when another process holds it or it cannot be taken (logged; `refusal` says which:
    // heldElsewhere or unavailable).
    std::optional<Claim> claimSession(const QString& sessionFolder, Resume* refusal = nullptr);

    // The session's chunk tasks that have not ended; sessionSettled is emitted when it reaches 0.
    int pendingChunks(const QString& sessionFolder) const;
    bool isIdle() const { return pendingTotal_ == 0; }
    // Resumes once the session has no pending chunk (at once when it has none).
    QCoro::Task<void> waitUntilSessionSettled(QString sessionFolder);

    static QString transcriptionLockFileName();

Q_SIGNALS:
    // A chunk reached a status; `detail` is the error text of a failure, else empty.
    void chunkOutcome(const QString& sessionFolder, const QString& chunkFile, ChunkTranscriptionStatus status,
                      const QString& detail);
    void sessionSettled(const QString& sessionFolder);

private:
    struct Session {
        QString folder;
        std::unique_ptr<FileLock> lock;
        int pending = 0;
        int claims = 0;
        CoroutineWaiters settled;
    };
    struct Gone {}; // thrown into a task whose pipeline is destroyed
    using Alive = std::shared_ptr<bool>;
    struct Fetched;
    enum class Hold { held, heldElsewhere, unavailable };
    enum class Work { upload, poll, redeliver, markMissing, reconcile, finalizeOnly };

    void enqueueOnMain(const QString& sessionFolder, const QString& chunkFile);
    static QString sessionKey(const QString& sessionFolder);
    static QString chunkPathInSession(const QString& sessionFolder, const QString& storedPath);
    // Takes the session's lock unless this pipeline holds it already; logs why it cannot.
    Hold hold(const QString& key, const QString& sessionFolder);
    void forgetIfUnused(const QString& key);
    void releaseClaim(const QString& key);
    std::optional<QString> chunkAudioInSession(const QString& sessionFolder, const QString& storedPath) const;
    bool needsRedelivery(const QString& sessionFolder, const RecordingChunkMetadata& chunk) const;

    // The wrapper of every task: counts it, catches and logs its errors, ends quietly once the pipeline is
    // gone. False when the chunk is in flight already or the session is held elsewhere.
    bool startTask(Work work, const QString& sessionFolder, const QString& chunkFile,
                   std::optional<GlossenUploadResponse> response = std::nullopt);
    QCoro::Task<void> runTask(Work work, QString sessionFolder, QString chunkFile,
                              std::optional<GlossenUploadResponse> response, QString key, QString chunkKey);
    void taskEnded(const QString& key, const QString& chunkKey);

    QCoro::Task<void> uploadChunkToGlossen(QString sessionFolder, QString chunkFile, Alive alive);
    QCoro::Task<void> pollGlossenTranscription(QString sessionFolder, QString chunkFile,
                                               GlossenUploadResponse response, Alive alive);
    QCoro::Task<GlossenGatewayJob> waitForGlossenJobCompletion(QString gatewayJobID, Alive alive);
    // Writes the chunk's transcript file from its stored text, uploads it and tells the relay, then asks for
    // the session's finalization.
    QCoro::Task<void> deliverChunkTranscript(QString sessionFolder, QString chunkFile, Alive alive);
    // Uploads the chunk's transcript file and announces it on the relay.
    QCoro::Task<void> announceChunkTranscript(QString sessionFolder, QString chunkFile,
                                              RecordingChunkMetadata chunk, QString transcriptFile,
                                              Alive alive);
    QCoro::Task<void> markMissingAudio(QString sessionFolder, QString chunkFile, Alive alive);
    // Records a failed status (no transcript members), reports it, then asks for the finalization.
    QCoro::Task<void> recordFailure(QString sessionFolder, QString chunkFile, ChunkTranscriptionStatus status,
                                    QString detail, Alive alive);
    QCoro::Task<void> recordOutcome(QString sessionFolder, QString chunkFile,
                                    const ChunkOutcomeRecord& outcome, Alive alive);
    // Copies the chunk document's outcome into its "live_chunks" entries, then asks for the finalization.
    QCoro::Task<void> reconcile(QString sessionFolder, QString chunkFile, Alive alive);
    static bool liveEntryDiffers(const SessionMetadata& session, const RecordingChunkMetadata& chunk);
    QCoro::Task<void> finalize(QString sessionFolder, Alive alive);
    QCoro::Task<void> acquireUploadSlot(Alive alive);
    void releaseUploadSlot();
    static void ensureAlive(const Alive& alive);

    Config config_;
    Collaborators with_;
    Timing timing_;
    Alive alive_;
    std::map<QString, Session> sessions_; // by session key
    std::set<QString> inFlight_;          // chunk keys
    int pendingTotal_ = 0;
    int activeUploads_ = 0;
    std::deque<std::coroutine_handle<>> uploadQueue_; // waiting for an upload slot
    std::vector<std::coroutine_handle<>> handedOver_; // given a slot, resumed from the event loop next
};

} // namespace ebbcast
