#include "transcription/TranscriptFinalizer.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"
#include "core/documents/NewestSessionFolder.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "drive/UploadStateFile.h"
#include "transcription/ChunkTranscriptFile.h"
#include "transcription/ChunkTranscriptionStatus.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/SessionChunks.h"
#include "transcription/UploadStateRecord.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {

const QString TranscriptFinalizer::processingStatus = u"Processing"_s;
const QString TranscriptFinalizer::unavailableStatus = u"Unavailable"_s;
const QString TranscriptFinalizer::incompleteStatus = u"Incomplete"_s;
const QString TranscriptFinalizer::readyStatus = u"Ready"_s;
const QString TranscriptFinalizer::driveFailedStatus = u"Ready (Drive failed)"_s;
const QString TranscriptFinalizer::uploadedStatus = u"Ready and uploaded"_s;
const QString TranscriptFinalizer::errorStatus = u"Transcript error"_s;

namespace {

const QString incompleteDetail = u"Some Gateway/Glossen chunks failed. Local diagnostics are available; "
                                 u"Drive delivery and notification are "
                                 "paused."_s;
const QString documentsFailedDetail =
    u"Local transcript is ready, but Drive upload failed. Use Upload Last Session to retry."_s;
const QString provenanceFailedDetail =
    u"Transcript documents uploaded, but provenance upload failed. Use Upload Last Session to retry."_s;
const QString uploadedDetail = u"Final transcript artifacts are in Drive under 04 Final Transcript."_s;
const QString readyStatusValue = u"ready"_s;

// What a run reads of the session folder before deciding anything.
struct SessionSnapshot {
    std::optional<SessionMetadata> session;
    std::vector<RecordingChunkMetadata> chunks;
};

QString metadataPath(const QString& sessionFolder)
{
    return QDir(sessionFolder).filePath(u"metadata.json"_s);
}

std::optional<SessionMetadata> readSession(const QString& sessionFolder)
{
    const auto object = JsonDocumentFile::readObject(metadataPath(sessionFolder));
    if (!object)
        return std::nullopt;
    return SessionMetadata::fromJson(*object);
}

QString sessionIDOf(const QString& sessionFolder)
{
    if (const auto session = readSession(sessionFolder))
        return session->sessionID;
    return QFileInfo(QDir::cleanPath(sessionFolder)).fileName();
}

QString transcriptPath(const QString& sessionFolder, QLatin1StringView name)
{
    return QDir(sessionFolder).filePath(ChunkTranscriptFile::directoryName + u'/' + name);
}

} // namespace

// One pass of the finalization of one session, holding the session's turn.
class TranscriptFinalizer::Run {
public:
    Run(TranscriptFinalizer& owner, QString sessionFolder, int retryAttempt)
        : owner_(owner)
        , with_(owner.with_)
        , folder_(std::move(sessionFolder))
        , attempt_(retryAttempt)
    {}

    // Never throws: every failure ends in the error exit.
    QCoro::Task<void> perform()
    {
        // Nothing to lock in a folder that is no session (or no longer exists).
        if (!QFileInfo::exists(metadataPath(folder_)))
            co_return;
        try {
            SessionFolderGate::Lease lease = co_await owner_.gate_.lockFolder(folder_);
            co_await underLock();
        } catch (...) {
            const QString description = describeError(std::current_exception());
            with_.logger.error(u"Final transcript generation failed for "_s + folder_ + u": "_s +
                               description);
            with_.status.setTranscriptStatus(errorStatus, description);
        }
    }

private:
    QCoro::Task<void> underLock()
    {
        SessionSnapshot snapshot = co_await runOnWorker([this] {
            SessionSnapshot read;
            read.session = readSession(folder_);
            if (read.session && read.session->endTime)
                read.chunks = readSessionChunks(folder_);
            return read;
        });
        if (!snapshot.session || !snapshot.session->endTime)
            co_return; // unreadable, or still recording
        session_ = std::move(*snapshot.session);
        chunks_ = std::move(snapshot.chunks);

        if (chunks_.empty()) {
            with_.status.setTranscriptStatus(unavailableStatus,
                                             u"No transcribed audio chunks were found for "_s +
                                                 QFileInfo(QDir::cleanPath(folder_)).fileName() + u"."_s);
            co_return;
        }
        const auto waiting =
            std::count_if(chunks_.begin(), chunks_.end(), [](const RecordingChunkMetadata& c) {
                return !isFinalTranscriptionStatus(c.transcriptionStatus);
            });
        if (waiting > 0) {
            with_.status.setTranscriptStatus(
                processingStatus, u"Waiting for "_s + QString::number(waiting) + u" of "_s +
                                      QString::number(chunks_.size()) + u" canonical chunk artifacts."_s);
            co_return;
        }

        artifacts_ = co_await runOnWorker(
            [this] { return with_.writer.writeFinalTranscriptArtifacts(folder_, session_, chunks_); });
        const QString emptyStatus = toString(ChunkTranscriptionStatus::completeEmpty);
        emptyCount_ = static_cast<int>(
            std::count_if(chunks_.begin(), chunks_.end(), [&emptyStatus](const RecordingChunkMetadata& c) {
                return c.transcriptionStatus == emptyStatus;
            }));

        state_ = co_await runOnWorker([this] {
            TranscriptFinalizationStateFile file(folder_, with_.logger, owner_.clock_);
            TranscriptFinalizationState state = file.loadForUpdate();
            state.status = artifacts_.status;
            state.sourceChunkCount = static_cast<qint64>(chunks_.size());
            state.finalizedAt = session_.endTime;
            file.save(state);
            return state;
        });
        with_.logger.info(u"Final transcript artifacts ready: session="_s + session_.sessionID +
                          u" status="_s + artifacts_.status + u" chunks="_s +
                          QString::number(chunks_.size()));

        const bool ready = artifacts_.status == readyStatusValue;
        if (ready)
            with_.status.setTranscriptStatus(readyStatus, transcriptReadyDetail(chunkCount(), emptyCount_));
        else
            with_.status.setTranscriptStatus(incompleteStatus, incompleteDetail);
        with_.status.setLastTranscriptURL(artifacts_.cleanTranscript);

        if (!ready || !owner_.config_.uploadEnabled)
            co_return;
        co_await deliver();
    }

    QCoro::Task<void> deliver()
    {
        std::optional<UploadState> uploaded;
        const std::array<QString, 4> documents{artifacts_.brief, artifacts_.cleanTranscript,
                                               artifacts_.timeline, artifacts_.rawTranscript};
        for (const QString& document : documents) {
            uploaded = co_await with_.uploader.uploadFileInSessionNowIfEnabled(folder_, document);
            if (!uploaded) {
                with_.status.setTranscriptStatus(driveFailedStatus, documentsFailedDetail);
                with_.status.setLastTranscriptURL(artifacts_.cleanTranscript);
                owner_.scheduleRetry(folder_, session_.sessionID, attempt_);
                co_return;
            }
        }

        const TranscriptDriveRecord record = transcriptDriveRecord(*uploaded);
        co_await runOnWorker([this, &record] {
            with_.writer.writeProvenanceFile(artifacts_.provenance, folder_, session_, chunks_, record);
        });
        uploaded = co_await with_.uploader.uploadFileInSessionNowIfEnabled(folder_, artifacts_.provenance);
        if (!uploaded) {
            with_.status.setTranscriptStatus(driveFailedStatus, provenanceFailedDetail);
            owner_.scheduleRetry(folder_, session_.sessionID, attempt_);
            co_return;
        }

        with_.status.setTranscriptStatus(uploadedStatus, uploadedDetail);
        with_.status.setLastTranscriptURL(artifacts_.cleanTranscript);
        if (const auto folderID = uploaded->driveFolder(DriveSubfolderKey::finalTranscript))
            with_.status.setLastTranscriptDriveFolderID(folderID);

        const std::array<QString, 5> all{artifacts_.brief, artifacts_.cleanTranscript, artifacts_.timeline,
                                         artifacts_.rawTranscript, artifacts_.provenance};
        for (const QString& document : all) {
            if (!uploaded->uploadedFiles.contains(with_.uploader.uploadKey(folder_, document)))
                co_return;
        }
        const QString key = TranscriptFinalizationGate::key(folder_);
        if (state_.notificationSentAt) {
            owner_.cancelRetry(key); // announced before: nothing is left to retry
            co_return;
        }

        SessionTranscriptReadyEvent event;
        event.folder = folder_;
        event.transcriptText = artifacts_.plainText;
        event.transcriptFile = artifacts_.cleanTranscript;
        event.timelineFile = artifacts_.timeline;
        event.uploadState = uploaded;
        event.sourceChunkCount = chunkCount();
        event.emptySourceChunkCount = emptyCount_;
        const RelayDelivery delivery =
            co_await with_.announcer.notifySessionTranscriptReady(std::move(event));
        if (delivery == RelayDelivery::failed) {
            owner_.scheduleRetry(folder_, session_.sessionID, attempt_);
            co_return;
        }
        owner_.cancelRetry(key);
        if (delivery == RelayDelivery::notConfigured)
            co_return; // nobody to tell: nothing is recorded, a configured relay hears of it next time

        state_.notificationSentAt = owner_.clock_();
        co_await runOnWorker([this] { owner_.writeTranscriptFinalizationState(state_, folder_); });
        with_.logger.info(u"Final transcript notification recorded: session="_s + session_.sessionID);
    }

    int chunkCount() const { return static_cast<int>(chunks_.size()); }

    TranscriptFinalizer& owner_;
    Collaborators& with_;
    QString folder_;
    int attempt_;
    SessionMetadata session_;
    std::vector<RecordingChunkMetadata> chunks_;
    FinalTranscriptArtifacts artifacts_;
    TranscriptFinalizationState state_;
    int emptyCount_ = 0;
};

TranscriptFinalizer::TranscriptFinalizer(Config config, Collaborators collaborators, WallClock clock)
    : TranscriptFinalizer(std::move(config), collaborators, std::move(clock), SessionFolderGate::Options{})
{}

TranscriptFinalizer::TranscriptFinalizer(Config config, Collaborators collaborators, WallClock clock,
                                         SessionFolderGate::Options gateOptions)
    : config_(std::move(config))
    , with_(collaborators)
    , clock_(clock ? std::move(clock) : WallClock(systemTime))
    , gate_(std::move(gateOptions))
{}

TranscriptFinalizer::~TranscriptFinalizer()
{
    for (const auto& [key, id] : retries_)
        with_.retryTimer.cancel(id);
}

void TranscriptFinalizer::setConfig(Config config)
{
    config_ = std::move(config);
}

QCoro::Task<void> TranscriptFinalizer::finalizeSessionTranscriptIfReady(QString sessionFolder,
                                                                        int retryAttempt)
{
    if (!config_.transcriptionEnabled)
        co_return;
    const QString key = TranscriptFinalizationGate::key(sessionFolder);
    if (!gate_.enter(key, retryAttempt))
        co_return; // the running finalization runs once more when it is over
    std::optional<int> attempt = retryAttempt;
    while (attempt) {
        Run run(*this, sessionFolder, *attempt);
        co_await run.perform();
        attempt = gate_.leave(key);
    }
    resumeIfIdle();
}

void TranscriptFinalizer::requestFinalization(const QString& sessionFolder)
{
    QCoro::Task<void> run = detached(sessionFolder, 0);
    Q_UNUSED(run);
}

QCoro::Task<void> TranscriptFinalizer::detached(QString sessionFolder, int retryAttempt)
{
    try {
        co_await finalizeSessionTranscriptIfReady(sessionFolder, retryAttempt);
    } catch (...) {
        with_.logger.error(u"Final transcript generation failed for "_s + sessionFolder + u": "_s +
                           describeError(std::current_exception()));
    }
}

void TranscriptFinalizer::scheduleTranscriptFinalizationRetry(const QString& sessionFolder, int retryAttempt)
{
    scheduleRetry(sessionFolder, sessionIDOf(sessionFolder), retryAttempt);
}

void TranscriptFinalizer::scheduleRetry(const QString& sessionFolder, const QString& sessionID,
                                        int retryAttempt)
{
    if (retryAttempt >= maximumRetries) {
        with_.logger.error(u"Final transcript delivery retries exhausted: session="_s + sessionID);
        return;
    }
    const QString key = TranscriptFinalizationGate::key(sessionFolder);
    if (retries_.contains(key))
        return;
    const int delay = retryDelaysSeconds.at(static_cast<std::size_t>(std::max(retryAttempt, 0)));
    with_.logger.info(u"Final transcript delivery retry scheduled: session="_s + sessionID + u" attempt="_s +
                      QString::number(retryAttempt + 1) + u" delay_seconds="_s + QString::number(delay));
    const int next = retryAttempt + 1;
    retries_[key] = with_.retryTimer.start(std::chrono::seconds(delay), [this, key, sessionFolder, next] {
        retries_.erase(key);
        QCoro::Task<void> run = detached(sessionFolder, next);
        Q_UNUSED(run);
        resumeIfIdle();
    });
}

bool TranscriptFinalizer::hasPendingRetry(const QString& sessionFolder) const
{
    return retries_.contains(TranscriptFinalizationGate::key(sessionFolder));
}

void TranscriptFinalizer::cancelRetry(const QString& key)
{
    const auto found = retries_.find(key);
    if (found == retries_.end())
        return;
    with_.retryTimer.cancel(found->second);
    retries_.erase(found);
}

void TranscriptFinalizer::writeTranscriptFinalizationState(const TranscriptFinalizationState& state,
                                                           const QString& sessionFolder) const
{
    TranscriptFinalizationStateFile(sessionFolder, with_.logger, clock_).save(state);
}

QString TranscriptFinalizer::transcriptReadyDetail(qint64 sourceChunkCount, qint64 emptySourceChunkCount)
{
    QString detail = u"Local convenience transcript assembled from "_s + QString::number(sourceChunkCount) +
                     u" canonical chunk artifacts."_s;
    if (emptySourceChunkCount > 0) {
        detail += u" "_s + QString::number(emptySourceChunkCount) +
                  u" source chunk(s) completed with empty transcript text."_s;
    }
    return detail;
}

const std::array<QString, 5>& TranscriptFinalizer::finalDocumentKeys()
{
    static const std::array<QString, 5> keys{
        u"transcripts/"_s + FinalTranscriptWriter::briefName,
        u"transcripts/"_s + FinalTranscriptWriter::cleanTranscriptName,
        u"transcripts/"_s + FinalTranscriptWriter::timelineName,
        u"transcripts/"_s + FinalTranscriptWriter::rawTranscriptName,
        u"transcripts/"_s + FinalTranscriptWriter::provenanceName,
    };
    return keys;
}

void TranscriptFinalizer::restoreLatestTranscriptState()
{
    const auto newest = newestSessionFolderHolding(config_.recordingsFolder,
                                                   QString(TranscriptFinalizationStateFile::fileName));
    if (!newest)
        return;
    const QString folder = *newest;
    const UploadState uploadState = UploadStateFile(folder, with_.logger, clock_).load();
    restoreTranscriptState(folder, uploadState);
}

void TranscriptFinalizer::restoreTranscriptState(const QString& sessionFolder, const UploadState& uploadState)
{
    QString transcript = transcriptPath(sessionFolder, FinalTranscriptWriter::cleanTranscriptName);
    if (!QFileInfo::exists(transcript)) {
        transcript = transcriptPath(sessionFolder, FinalTranscriptWriter::olderTranscriptName);
        if (!QFileInfo::exists(transcript))
            return;
    }
    const auto state = TranscriptFinalizationStateFile(sessionFolder, with_.logger, clock_).read();
    if (!state)
        return;
    with_.status.setLastTranscriptURL(transcript);
    with_.status.setLastTranscriptDriveFolderID(uploadState.driveFolder(DriveSubfolderKey::finalTranscript));
    const bool allUploaded =
        std::all_of(finalDocumentKeys().begin(), finalDocumentKeys().end(),
                    [&uploadState](const QString& key) { return uploadState.uploadedFiles.contains(key); });
    if (state->status == readyStatusValue) {
        // The empty-chunk sentence needs the chunks themselves, which a restore does not read.
        with_.status.setTranscriptStatus(allUploaded ? uploadedStatus : readyStatus,
                                         transcriptReadyDetail(state->sourceChunkCount, 0));
    } else {
        with_.status.setTranscriptStatus(incompleteStatus, incompleteDetail);
    }
}

bool TranscriptFinalizer::isFinalizing() const
{
    return !gate_.isIdle();
}

bool TranscriptFinalizer::isIdle() const
{
    return gate_.isIdle() && retries_.empty();
}

QCoro::Task<void> TranscriptFinalizer::waitUntilNotFinalizing()
{
    const ParkOn untilNotFinalizing{notFinalizingWaiters_, !isFinalizing()};
    co_await untilNotFinalizing;
}

QCoro::Task<void> TranscriptFinalizer::waitUntilIdle()
{
    const ParkOn untilIdle{idleWaiters_, isIdle()};
    co_await untilIdle;
}

void TranscriptFinalizer::resumeIfIdle()
{
    if (!isFinalizing())
        notFinalizingWaiters_.resumeAll(&context_);
    if (isIdle())
        idleWaiters_.resumeAll(&context_);
}

} // namespace ebbcast
