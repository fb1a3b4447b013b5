#include "transcription/GlossenChunkPipeline.h"

#include "core/base/AtomicFile.h"
#include "core/base/EbbcastError.h"
#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/base/TimerPause.h"
#include "core/base/WorkerTask.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/NewestSessionFolder.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/documents/Timecode.h"
#include "core/json/JsonDocumentFile.h"
#include "transcription/ChunkTranscriptFile.h"
#include "transcription/GlossenGatewayError.h"
#include "transcription/SessionChunks.h"
#include "transcription/TranscriptFinalizerPorts.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QStringDecoder>
#include <QThread>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

const QString metadataFileName = u"metadata.json"_s;
const QString chunksFolderName = u"chunks"_s;
const QString transcriptArtifactType = u"transcript-txt"_s;

QString nameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}

// The session id of a folder: its name, which differs from "session_id" for a folder with a "-N" suffix.
QString sessionIDOf(const QString& sessionFolder)
{
    return QFileInfo(QDir::cleanPath(sessionFolder)).fileName();
}

bool isChunkAudioName(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == u"wav" || suffix == u"m4a";
}

// The canonical path when the file exists, else the cleaned absolute path.
QString canonicalOrAbsolute(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

// The chunk document read and decoded; nothing when it is missing or does not decode.
std::optional<RecordingChunkMetadata> readChunkDocument(const QString& chunkFile)
{
    const std::optional<QJsonObject> object =
        JsonDocumentFile::readObject(MetadataWriter::chunkDocumentPath(chunkFile));
    if (!object)
        return std::nullopt;
    return RecordingChunkMetadata::fromJson(*object);
}

bool hasSessionTimes(const RecordingChunkMetadata& chunk)
{
    return chunk.sessionStartTime && chunk.startOffsetSeconds && chunk.endOffsetSeconds &&
           chunk.timecodeStart && chunk.timecodeEnd;
}

// Fills the session-relative members a chunk document lacks, from the session's start time (in memory).
void backfillChunkTimecode(RecordingChunkMetadata& chunk, const QString& sessionFolder)
{
    if (hasSessionTimes(chunk))
        return;
    const std::optional<QJsonObject> object =
        JsonDocumentFile::readObject(QDir(sessionFolder).filePath(metadataFileName));
    const std::optional<SessionMetadata> session = object ? SessionMetadata::fromJson(*object) : std::nullopt;
    if (!session || !session->startTime.isValid())
        return;
    const double start =
        std::max(0.0, static_cast<double>(session->startTime.msecsTo(chunk.startTime)) / 1000.0);
    const double end =
        std::max(start, static_cast<double>(session->startTime.msecsTo(chunk.endTime)) / 1000.0);
    chunk.sessionStartTime = session->startTime;
    chunk.startOffsetSeconds = start;
    chunk.endOffsetSeconds = end;
    chunk.timecodeStart = timecode(start);
    chunk.timecodeEnd = timecode(end);
}

} // namespace

// What one step of a chunk records in its documents.
struct ChunkOutcomeRecord {
    std::optional<GlossenUploadResponse> accepted; // the upload's acceptance; else a status below
    ChunkTranscriptionStatus status = ChunkTranscriptionStatus::accepted;
    std::optional<QString> text;
    std::optional<GlossenArtifact> artifact;
    std::optional<QString> glossenJobID;
    std::optional<QDateTime> completedAt;

    void applyTo(RecordingChunkMetadata& chunk) const
    {
        if (accepted) {
            chunk.gatewayJobID = accepted->gatewayJobID;
            chunk.ebbcastChunkID = accepted->ebbcastChunkID;
            chunk.collectionID = accepted->collectionID;
            chunk.gatewayStatusURL = accepted->statusURL;
            chunk.transcriptionStatus = toString(ChunkTranscriptionStatus::accepted);
            return;
        }
        chunk.transcriptionStatus = toString(status);
        chunk.transcriptText = text;
        chunk.transcriptArtifactID = artifact ? std::optional(artifact->id) : std::nullopt;
        chunk.transcriptArtifactType = artifact ? artifact->artifactType : std::nullopt;
        chunk.transcriptArtifactChecksum = artifact ? artifact->checksum : std::nullopt;
        chunk.transcriptArtifactSizeBytes = artifact ? artifact->sizeBytes : std::nullopt;
        chunk.glossenJobID = glossenJobID;
        chunk.transcriptionCompletedAt = completedAt;
    }
};

namespace {

// Records `outcome` in the chunk's "live_chunks" entries (matched by the stored "file_path" or by the chunk's
// path), then in the chunk's own document. The document is what a restart reads, so it is written last: a
// crash between the two writes leaves the chunk to be done again, never a stale entry that nobody repairs.
// Each document is changed under the session's lock; the failures of both are collected into one text, so
// that nothing is lost silently.
void persistOutcome(const QString& sessionFolder, const QString& chunkFile, const ChunkOutcomeRecord& outcome)
{
    QStringList failures;
    const std::optional<RecordingChunkMetadata> stored = readChunkDocument(chunkFile);
    const std::optional<QString> storedPath = stored ? std::optional(stored->filePath) : std::nullopt;
    try {
        SessionDocumentFile::update(
            QDir(sessionFolder).filePath(metadataFileName), [&](SessionMetadata& session) {
                if (!session.liveChunks)
                    return;
                for (RecordingChunkMetadata& entry : *session.liveChunks) {
                    if (entry.filePath == chunkFile || (storedPath && entry.filePath == *storedPath))
                        outcome.applyTo(entry);
                }
            });
    } catch (const EbbcastError& error) {
        failures.append(error.description());
    }
    try {
        SessionDocumentFile::updateChunk(
            MetadataWriter::chunkDocumentPath(chunkFile),
            [&outcome](RecordingChunkMetadata& chunk) { outcome.applyTo(chunk); });
    } catch (const EbbcastError& error) {
        failures.append(error.description());
    }
    if (!failures.isEmpty())
        throw EbbcastError(failures.join(u"; "_s));
}

// The members the pipeline writes, copied from one copy of a chunk to another.
void copyTranscriptionMembers(const RecordingChunkMetadata& from, RecordingChunkMetadata& to)
{
    to.gatewayJobID = from.gatewayJobID;
    to.ebbcastChunkID = from.ebbcastChunkID;
    to.collectionID = from.collectionID;
    to.gatewayStatusURL = from.gatewayStatusURL;
    to.transcriptionStatus = from.transcriptionStatus;
    to.transcriptText = from.transcriptText;
    to.transcriptArtifactID = from.transcriptArtifactID;
    to.transcriptArtifactType = from.transcriptArtifactType;
    to.transcriptArtifactChecksum = from.transcriptArtifactChecksum;
    to.transcriptArtifactSizeBytes = from.transcriptArtifactSizeBytes;
    to.glossenJobID = from.glossenJobID;
    to.transcriptionCompletedAt = from.transcriptionCompletedAt;
}

bool sameTranscription(const RecordingChunkMetadata& a, const RecordingChunkMetadata& b)
{
    RecordingChunkMetadata copy = b;
    copyTranscriptionMembers(a, copy);
    return copy == b;
}

// Brings the chunk's "live_chunks" entries in line with its document (a rewrite of "metadata.json" that
// failed before). Throws like persistOutcome.
void reconcileLiveEntries(const QString& sessionFolder, const QString& chunkFile)
{
    const std::optional<RecordingChunkMetadata> stored = readChunkDocument(chunkFile);
    if (!stored)
        return;
    SessionDocumentFile::update(QDir(sessionFolder).filePath(metadataFileName),
                                [&](SessionMetadata& session) {
                                    if (!session.liveChunks)
                                        return;
                                    for (RecordingChunkMetadata& entry : *session.liveChunks) {
                                        if (entry.filePath == chunkFile || entry.filePath == stored->filePath)
                                            copyTranscriptionMembers(*stored, entry);
                                    }
                                });
}

// The transcript text of a download: UTF-8, invalid bytes replaced (and reported), trimmed at both ends.
QString decodeTranscript(const QByteArray& bytes, bool& invalid)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    invalid = decoder.hasError();
    return text.trimmed();
}

} // namespace

// The transcript file of a chunk, written from its stored text (step after each complete outcome).
struct GlossenChunkPipeline::Fetched {
    std::optional<RecordingChunkMetadata> chunk; // the document as read again
    std::optional<QString> transcriptFile;       // written (or already there), else nothing
};

GlossenChunkPipeline::Claim::Claim(GlossenChunkPipeline& pipeline, QString key)
    : pipeline_(&pipeline)
    , key_(std::move(key))
{}

GlossenChunkPipeline::Claim::Claim(Claim&& other) noexcept
    : pipeline_(std::exchange(other.pipeline_, nullptr))
    , key_(std::move(other.key_))
{}

GlossenChunkPipeline::Claim& GlossenChunkPipeline::Claim::operator=(Claim&& other) noexcept
{
    if (this != &other) {
        if (pipeline_)
            pipeline_->releaseClaim(key_);
        pipeline_ = std::exchange(other.pipeline_, nullptr);
        key_ = std::move(other.key_);
    }
    return *this;
}

GlossenChunkPipeline::Claim::~Claim()
{
    if (pipeline_)
        pipeline_->releaseClaim(key_);
}

GlossenChunkPipeline::GlossenChunkPipeline(Config config, Collaborators collaborators)
    : GlossenChunkPipeline(std::move(config), std::move(collaborators), Timing())
{}

GlossenChunkPipeline::GlossenChunkPipeline(Config config, Collaborators collaborators, Timing timing)
    : config_(std::move(config))
    , with_(std::move(collaborators))
    , timing_(std::move(timing))
    , alive_(std::make_shared<bool>(true))
{
    if (!timing_.pause)
        timing_.pause = pauseOnTimer;
    timing_.maximumUploads = std::max(1, timing_.maximumUploads);
}

GlossenChunkPipeline::~GlossenChunkPipeline()
{
    // Tasks see the pipeline gone at their next step and end there; those waiting for an upload slot are
    // woken for that.
    *alive_ = false;
    std::deque<std::coroutine_handle<>> parked;
    parked.swap(uploadQueue_);
    for (const std::coroutine_handle<> handle : handedOver_)
        parked.push_back(handle);
    handedOver_.clear();
    for (const std::coroutine_handle<> handle : parked)
        handle.resume();
}

void GlossenChunkPipeline::setConfig(Config config)
{
    config_ = std::move(config);
}

QString GlossenChunkPipeline::transcriptionLockFileName()
{
    return u".ebbcast_transcription.lock"_s;
}

QString GlossenChunkPipeline::sessionKey(const QString& sessionFolder)
{
    return canonicalOrAbsolute(sessionFolder);
}

void GlossenChunkPipeline::ensureAlive(const Alive& alive)
{
    if (!*alive)
        throw Gone{};
}

int GlossenChunkPipeline::pendingChunks(const QString& sessionFolder) const
{
    const auto found = sessions_.find(sessionKey(sessionFolder));
    return found == sessions_.end() ? 0 : found->second.pending;
}

QCoro::Task<void> GlossenChunkPipeline::waitUntilSessionSettled(QString sessionFolder)
{
    const auto found = sessions_.find(sessionKey(sessionFolder));
    if (found == sessions_.end() || found->second.pending == 0)
        co_return;
    const ParkOn park{found->second.settled, false};
    co_await park;
}

// --- Sessions and their locks ---------------------------------------------------------------------------

GlossenChunkPipeline::Hold GlossenChunkPipeline::hold(const QString& key, const QString& sessionFolder)
{
    Session& session = sessions_[key];
    if (session.lock)
        return Hold::held;
    session.folder = sessionFolder;
    const QString lockPath = QDir(sessionFolder).filePath(transcriptionLockFileName());
    try {
        FileLock::TryResult attempt = FileLock::tryAcquire(lockPath, true);
        if (attempt.attempt == FileLock::Attempt::acquired) {
            session.lock = std::move(attempt.lock);
            return Hold::held;
        }
        with_.logger.info(u"Glossen transcription left alone: another process is working on "_s +
                          sessionFolder);
        forgetIfUnused(key);
        return Hold::heldElsewhere;
    } catch (const EbbcastError& error) {
        with_.logger.error(u"Glossen transcription cannot lock the session "_s + sessionFolder + u": "_s +
                           error.description());
        forgetIfUnused(key);
        return Hold::unavailable;
    }
}

void GlossenChunkPipeline::forgetIfUnused(const QString& key)
{
    const auto found = sessions_.find(key);
    if (found != sessions_.end() && found->second.pending == 0 && found->second.claims == 0)
        sessions_.erase(found);
}

std::optional<GlossenChunkPipeline::Claim> GlossenChunkPipeline::claimSession(const QString& sessionFolder,
                                                                              Resume* refusal)
{
    const QString key = sessionKey(sessionFolder);
    const Hold held = hold(key, sessionFolder);
    if (held != Hold::held) {
        if (refusal)
            *refusal = held == Hold::heldElsewhere ? Resume::heldElsewhere : Resume::unavailable;
        return std::nullopt;
    }
    ++sessions_[key].claims;
    return Claim(*this, key);
}

void GlossenChunkPipeline::releaseClaim(const QString& key)
{
    const auto found = sessions_.find(key);
    if (found == sessions_.end())
        return;
    --found->second.claims;
    forgetIfUnused(key);
}

std::optional<QString> GlossenChunkPipeline::chunkAudioInSession(const QString& sessionFolder,
                                                                 const QString& storedPath) const
{
    // Only the sibling in this session's "chunks" folder, named by the last part of the stored path: a path
    // elsewhere, "../x.wav" or a symbolic link out of the folder never names a file to send.
    const QString name = nameOf(storedPath);
    if (name.isEmpty() || name == u"." || name == u".." || !isChunkAudioName(name))
        return std::nullopt;
    const QString chunks = QFileInfo(QDir(sessionFolder).filePath(chunksFolderName)).canonicalFilePath();
    if (chunks.isEmpty())
        return std::nullopt;
    const QString candidate = chunks + u'/' + name;
    const QFileInfo resolved(QFileInfo(candidate).canonicalFilePath());
    if (resolved.filePath().isEmpty() || !resolved.isFile() || resolved.absolutePath() != chunks)
        return std::nullopt;
    return candidate;
}

QString GlossenChunkPipeline::chunkPathInSession(const QString& sessionFolder, const QString& storedPath)
{
    return QDir(sessionFolder).filePath(chunksFolderName + u'/' + nameOf(storedPath));
}

// --- Entry points ---------------------------------------------------------------------------------------

void GlossenChunkPipeline::enqueueGlossenChunkUpload(const QString& sessionFolder, const QString& chunkFile)
{
    if (QThread::currentThread() == thread()) {
        enqueueOnMain(sessionFolder, chunkFile);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, sessionFolder, chunkFile] { enqueueOnMain(sessionFolder, chunkFile); },
        Qt::QueuedConnection);
}

void GlossenChunkPipeline::enqueueOnMain(const QString& sessionFolder, const QString& chunkFile)
{
    if (!config_.transcriptionEnabled)
        return;
    if (!chunkFile.contains(u"/chunks/"_s) || !isChunkAudioName(chunkFile))
        return;
    const QString chunks = QFileInfo(QDir(sessionFolder).filePath(chunksFolderName)).canonicalFilePath();
    const std::optional<QString> audio = chunkAudioInSession(sessionFolder, chunkFile);
    if (chunks.isEmpty() || !audio ||
        QFileInfo(QFileInfo(chunkFile).absolutePath()).canonicalFilePath() != chunks) {
        with_.logger.error(u"Glossen chunk upload skipped: "_s + chunkFile +
                           u" is not an audio file in the session's chunks folder"_s);
        return;
    }
    startTask(Work::upload, sessionFolder, *audio);
}

void GlossenChunkPipeline::resumeLatestSessionTranscription()
{
    if (!config_.transcriptionEnabled)
        return;
    if (const std::optional<QString> latest = latestSessionFolder())
        (void)resumeSessionTranscription(*latest);
}

std::optional<QString> GlossenChunkPipeline::latestSessionFolder() const
{
    return newestSessionFolderHolding(config_.recordingsFolder, metadataFileName);
}

GlossenChunkPipeline::Resume GlossenChunkPipeline::resumeSessionTranscription(const QString& sessionFolder)
{
    if (!config_.transcriptionEnabled)
        return Resume::disabled;
    const std::optional<QJsonObject> object =
        JsonDocumentFile::readObject(QDir(sessionFolder).filePath(metadataFileName));
    const std::optional<SessionMetadata> session = object ? SessionMetadata::fromJson(*object) : std::nullopt;
    if (!session)
        return Resume::notASession;
    if (!session->endTime) {
        with_.logger.info(u"Glossen transcription not resumed: "_s + sessionFolder +
                          u" has no end time (recording, or interrupted and not repaired)"_s);
        return Resume::notEnded;
    }
    // The scan holds the session like a claim, so that tasks ending during it do not drop the lock.
    Resume refusal = Resume::unavailable;
    const std::optional<Claim> scanning = claimSession(sessionFolder, &refusal);
    if (!scanning)
        return refusal;

    const QString sessionID = sessionIDOf(sessionFolder);
    int started = 0;
    for (const RecordingChunkMetadata& chunk : readSessionChunks(sessionFolder)) {
        const std::optional<QString> audio = chunkAudioInSession(sessionFolder, chunk.filePath);
        const QString chunkFile = audio ? *audio : chunkPathInSession(sessionFolder, chunk.filePath);
        const QString name = nameOf(chunkFile);
        if (name.isEmpty() || !isChunkAudioName(name))
            continue;
        const std::optional<ChunkTranscriptionStatus> status =
            chunk.transcriptionStatus ? chunkTranscriptionStatus(*chunk.transcriptionStatus) : std::nullopt;
        if (chunk.transcriptionStatus && !status)
            continue; // a status this version does not know: left as it is
        const bool hasJob = chunk.gatewayJobID && !chunk.gatewayJobID->isEmpty();
        const bool polls = status && (*status == ChunkTranscriptionStatus::accepted ||
                                      *status == ChunkTranscriptionStatus::pollingFailed);
        if (polls && hasJob) {
            with_.logger.info(u"Resuming Glossen artifact retrieval: session="_s + sessionID +
                              u" gateway_job_id="_s + *chunk.gatewayJobID);
            const GlossenUploadResponse response{
                *chunk.gatewayJobID, chunk.ebbcastChunkID.value_or(QString()),
                chunk.gatewayStatusURL.value_or(QString()), chunk.collectionID};
            started += startTask(Work::poll, sessionFolder, chunkFile, response) ? 1 : 0;
        } else if (status == ChunkTranscriptionStatus::uploadFailed) {
            if (!audio)
                continue;
            with_.logger.info(u"Replaying failed Glossen chunk upload: session="_s + sessionID + u" file="_s +
                              name);
            started += startTask(Work::upload, sessionFolder, chunkFile) ? 1 : 0;
        } else if (!status || (*status == ChunkTranscriptionStatus::accepted && !hasJob)) {
            // Never submitted, or cut off during its upload (a quit or a crash).
            if (audio) {
                with_.logger.info(u"Replaying interrupted Glossen chunk upload: session="_s + sessionID +
                                  u" file="_s + name);
                started += startTask(Work::upload, sessionFolder, chunkFile) ? 1 : 0;
            } else {
                started += startTask(Work::markMissing, sessionFolder, chunkFile) ? 1 : 0;
            }
        } else if (status == ChunkTranscriptionStatus::complete && needsRedelivery(sessionFolder, chunk)) {
            with_.logger.info(u"Redelivering Glossen chunk transcript: session="_s + sessionID + u" file="_s +
                              name);
            started += startTask(Work::redeliver, sessionFolder, chunkFile) ? 1 : 0;
        } else if (liveEntryDiffers(*session, chunk)) {
            with_.logger.info(u"Bringing the session's entry of a Glossen chunk up to date: session="_s +
                              sessionID + u" file="_s + name);
            started += startTask(Work::reconcile, sessionFolder, chunkFile) ? 1 : 0;
        }
    }
    // A session whose chunks all ended before the restart still gets its final documents.
    if (started == 0)
        startTask(Work::finalizeOnly, sessionFolder, QString());
    return Resume::started;
}

bool GlossenChunkPipeline::needsRedelivery(const QString& sessionFolder,
                                           const RecordingChunkMetadata& chunk) const
{
    if (!chunk.transcriptText || chunk.transcriptText->trimmed().isEmpty())
        return false;
    const std::optional<QString> fileName = ChunkTranscriptFile::writerFileName(chunk);
    if (!fileName)
        return false;
    const QString transcriptFile = ChunkTranscriptFile::path(sessionFolder, *fileName);
    if (!QFileInfo(transcriptFile).isFile())
        return true;
    if (!config_.uploadEnabled || !chunk.gatewayJobID || chunk.gatewayJobID->isEmpty())
        return false;
    const bool uploaded =
        with_.driveInfo && with_.driveInfo(sessionFolder, transcriptFile).fileID.has_value();
    return !uploaded ||
           !with_.announcer.isChunkTranscribedEventRecorded(sessionFolder, ChunkRef{chunk.kind, chunk.index});
}

// --- Tasks ------------------------------------------------------------------------------------------------

bool GlossenChunkPipeline::startTask(Work work, const QString& sessionFolder, const QString& chunkFile,
                                     std::optional<GlossenUploadResponse> response)
{
    const QString key = sessionKey(sessionFolder);
    const QString chunkKey = chunkFile.isEmpty() ? QString() : canonicalOrAbsolute(chunkFile);
    if (!chunkKey.isEmpty() && inFlight_.contains(chunkKey)) {
        with_.logger.info(u"Glossen chunk already in flight: file="_s + nameOf(chunkFile));
        return false;
    }
    if (hold(key, sessionFolder) != Hold::held)
        return false;
    if (!chunkKey.isEmpty())
        inFlight_.insert(chunkKey);
    ++sessions_[key].pending;
    ++pendingTotal_;
    QCoro::Task<void> task = runTask(work, sessionFolder, chunkFile, std::move(response), key, chunkKey);
    Q_UNUSED(task);
    return true;
}

QCoro::Task<void> GlossenChunkPipeline::runTask(Work work, QString sessionFolder, QString chunkFile,
                                                std::optional<GlossenUploadResponse> response, QString key,
                                                QString chunkKey)
{
    const Alive alive = alive_;
    try {
        switch (work) {
        case Work::upload:
            co_await uploadChunkToGlossen(sessionFolder, chunkFile, alive);
            break;
        case Work::poll:
            co_await pollGlossenTranscription(sessionFolder, chunkFile, *response, alive);
            break;
        case Work::redeliver:
            // From the stored text: no gateway request; the file is written again only when missing.
            co_await deliverChunkTranscript(sessionFolder, chunkFile, alive);
            break;
        case Work::markMissing:
            co_await markMissingAudio(sessionFolder, chunkFile, alive);
            break;
        case Work::reconcile:
            co_await reconcile(sessionFolder, chunkFile, alive);
            break;
        case Work::finalizeOnly:
            co_await finalize(sessionFolder, alive);
            break;
        }
    } catch (const Gone&) {
        co_return;
    } catch (...) {
        if (!*alive)
            co_return;
        with_.logger.error(u"Glossen chunk task failed for "_s +
                           (chunkFile.isEmpty() ? sessionFolder : nameOf(chunkFile)) + u": "_s +
                           describeError(std::current_exception()));
    }
    if (!*alive)
        co_return;
    taskEnded(key, chunkKey);
}

void GlossenChunkPipeline::taskEnded(const QString& key, const QString& chunkKey)
{
    if (!chunkKey.isEmpty())
        inFlight_.erase(chunkKey);
    --pendingTotal_;
    const auto found = sessions_.find(key);
    if (found == sessions_.end())
        return;
    Session& session = found->second;
    if (--session.pending > 0)
        return;
    const QString folder = session.folder;
    session.settled.resumeAll(this);
    forgetIfUnused(key);
    Q_EMIT sessionSettled(folder);
}

QCoro::Task<void> GlossenChunkPipeline::acquireUploadSlot(Alive alive)
{
    if (activeUploads_ < timing_.maximumUploads) {
        ++activeUploads_;
        co_return;
    }
    struct Queue {
        std::deque<std::coroutine_handle<>>& queue;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) const { queue.push_back(handle); }
        void await_resume() const noexcept {}
    };
    const Queue queued{uploadQueue_};
    co_await queued;
    // The slot was handed over by the upload that ended (activeUploads_ unchanged), or the pipeline is gone.
    ensureAlive(alive);
}

void GlossenChunkPipeline::releaseUploadSlot()
{
    if (uploadQueue_.empty()) {
        --activeUploads_;
        return;
    }
    const std::coroutine_handle<> next = uploadQueue_.front();
    uploadQueue_.pop_front();
    handedOver_.push_back(next);
    QMetaObject::invokeMethod(
        this,
        [this, next] {
            std::erase(handedOver_, next);
            next.resume();
        },
        Qt::QueuedConnection);
}

QCoro::Task<void> GlossenChunkPipeline::uploadChunkToGlossen(QString sessionFolder, QString chunkFile,
                                                             Alive alive)
{
    const QString name = nameOf(chunkFile);
    const QString sessionID = sessionIDOf(sessionFolder);
    // The chunk's small document is read here, so that the chunks ask for an upload slot in the order they
    // were reported; only a backfill, which reads the whole session document, goes to a worker.
    std::optional<RecordingChunkMetadata> chunk = readChunkDocument(chunkFile);
    if (!chunk) {
        with_.logger.error(u"Glossen chunk upload skipped: missing chunk metadata for "_s + chunkFile);
        co_return;
    }
    if (!hasSessionTimes(*chunk)) {
        co_await runOnWorker([&sessionFolder, &chunk] { backfillChunkTimecode(*chunk, sessionFolder); });
        ensureAlive(alive);
    }
    const DriveInfo drive = with_.driveInfo ? with_.driveInfo(sessionFolder, chunkFile) : DriveInfo{};
    GlossenChunkUploadMetadata metadata;
    metadata.recorderID = config_.recorderID;
    metadata.recorderName = config_.recorderName;
    metadata.sessionID = sessionID;
    metadata.recordingName = sessionID;
    metadata.threadKey = sessionThreadKey(config_.recorderID, sessionID);
    metadata.chunkIndex = chunk->index;
    metadata.chunkKind = chunk->kind;
    metadata.sessionStartTime = chunk->sessionStartTime;
    metadata.chunkStartTime = chunk->startTime;
    metadata.chunkEndTime = chunk->endTime;
    metadata.chunkDuration = chunk->duration;
    metadata.chunkStartOffsetSeconds = chunk->startOffsetSeconds;
    metadata.chunkEndOffsetSeconds = chunk->endOffsetSeconds;
    metadata.chunkTimecodeStart = chunk->timecodeStart;
    metadata.chunkTimecodeEnd = chunk->timecodeEnd;
    metadata.serverChunkStartTime = chunk->serverStartTime;
    metadata.serverChunkEndTime = chunk->serverEndTime;
    metadata.clockOffsetMilliseconds = chunk->clockOffsetMilliseconds;
    metadata.clockRoundTripMilliseconds = chunk->clockRoundTripMilliseconds;
    metadata.clockSyncStatus = chunk->clockSyncStatus;
    metadata.localFileName = name;
    metadata.driveFileID = drive.fileID;
    metadata.driveURL = drive.driveURL;
    metadata.folderURL = drive.folderURL;

    with_.logger.info(u"Glossen chunk upload started: session="_s + sessionID + u" file="_s + name);
    std::optional<GlossenUploadResponse> response;
    QString lastError;
    for (int attempt = 1; attempt <= uploadAttempts; ++attempt) {
        co_await acquireUploadSlot(alive);
        std::exception_ptr error;
        try {
            GlossenUploadResponse accepted =
                co_await with_.gateway.uploadChunk(sessionID, metadata, chunkFile);
            response = std::move(accepted);
        } catch (...) {
            error = std::current_exception();
        }
        ensureAlive(alive);
        releaseUploadSlot();
        if (response)
            break;
        lastError = describeError(error);
        if (attempt < uploadAttempts) {
            co_await timing_.pause(std::chrono::seconds(attempt * attempt));
            ensureAlive(alive);
        }
    }

    if (!response) {
        with_.logger.error(u"Glossen chunk upload failed for "_s + name + u": "_s + lastError);
        co_await recordFailure(sessionFolder, chunkFile, ChunkTranscriptionStatus::uploadFailed, lastError,
                               alive);
        co_return;
    }
    with_.logger.info(u"Glossen chunk upload accepted: file="_s + name + u" gateway_job_id="_s +
                      response->gatewayJobID);
    ChunkOutcomeRecord accepted;
    accepted.accepted = *response;
    co_await recordOutcome(sessionFolder, chunkFile, accepted, alive);
    const GlossenUploadResponse job = *response;
    co_await pollGlossenTranscription(sessionFolder, chunkFile, job, alive);
}

QCoro::Task<GlossenGatewayJob> GlossenChunkPipeline::waitForGlossenJobCompletion(QString gatewayJobID,
                                                                                 Alive alive)
{
    for (int attempt = 1;; ++attempt) {
        GlossenJobStatus status = co_await with_.gateway.getJob(gatewayJobID);
        ensureAlive(alive);
        const QString state = status.job.state;
        if (state == u"COMPLETE")
            co_return status.job;
        if (state == u"PERMANENT_FAILURE" || state == u"CANCELLED")
            throw GlossenGatewayError::requestFailed(u"gateway job "_s + gatewayJobID + u" ended in "_s +
                                                     state);
        if (attempt == pollLimit)
            throw GlossenGatewayError::requestFailed(u"gateway job "_s + gatewayJobID +
                                                     u" did not complete before polling timed out"_s);
        co_await timing_.pause(pollInterval);
        ensureAlive(alive);
    }
}

QCoro::Task<void> GlossenChunkPipeline::pollGlossenTranscription(QString sessionFolder, QString chunkFile,
                                                                 GlossenUploadResponse response, Alive alive)
{
    const QString name = nameOf(chunkFile);
    const QString jobID = response.gatewayJobID;
    std::optional<GlossenGatewayJob> job;
    std::optional<GlossenArtifact> artifact;
    QByteArray bytes;
    QString failure;
    bool failed = false;
    try {
        GlossenGatewayJob done = co_await waitForGlossenJobCompletion(jobID, alive);
        job = std::move(done);
        GlossenArtifactsResponse listed = co_await with_.gateway.listArtifacts(jobID);
        ensureAlive(alive);
        const auto found = std::find_if(listed.artifacts.begin(), listed.artifacts.end(),
                                        [](const GlossenArtifact& candidate) {
                                            return candidate.artifactType == transcriptArtifactType;
                                        });
        if (found != listed.artifacts.end()) {
            artifact = *found;
            QByteArray downloaded =
                co_await with_.gateway.downloadArtifact(jobID, artifact->id, artifact->sizeBytes);
            ensureAlive(alive);
            bytes = std::move(downloaded);
        }
    } catch (const Gone&) {
        throw;
    } catch (...) {
        failed = true;
        failure = describeError(std::current_exception());
    }

    if (failed) {
        with_.logger.error(u"Glossen transcript polling failed for "_s + name + u": "_s + failure);
        co_await recordFailure(sessionFolder, chunkFile, ChunkTranscriptionStatus::pollingFailed, failure,
                               alive);
        co_return;
    }
    if (!artifact) {
        with_.logger.error(u"Glossen transcript artifact missing: gateway_job_id="_s + jobID);
        ChunkOutcomeRecord missing;
        missing.status = ChunkTranscriptionStatus::completeMissingTranscript;
        missing.glossenJobID = job->glossenJobID;
        missing.completedAt = timing_.clock();
        co_await recordOutcome(sessionFolder, chunkFile, missing, alive);
        Q_EMIT chunkOutcome(sessionFolder, chunkFile, ChunkTranscriptionStatus::completeMissingTranscript,
                            u"the job offered no transcript"_s);
        co_await finalize(sessionFolder, alive);
        co_return;
    }

    bool invalid = false;
    const QString text = decodeTranscript(bytes, invalid);
    if (invalid)
        with_.logger.error(u"Glossen transcript is not valid UTF-8 (invalid bytes replaced): file="_s + name +
                           u" gateway_job_id="_s + jobID);
    const ChunkTranscriptionStatus status =
        text.isEmpty() ? ChunkTranscriptionStatus::completeEmpty : ChunkTranscriptionStatus::complete;
    ChunkOutcomeRecord complete;
    complete.status = status;
    complete.text = text;
    complete.artifact = artifact;
    complete.glossenJobID = job->glossenJobID;
    complete.completedAt = timing_.clock();
    co_await recordOutcome(sessionFolder, chunkFile, complete, alive);
    with_.logger.info(u"Glossen transcript "_s + toString(status) + u": file="_s + name +
                      u" gateway_job_id="_s + jobID + u" artifact_id="_s + QString::number(artifact->id));
    Q_EMIT chunkOutcome(sessionFolder, chunkFile, status, QString());
    co_await deliverChunkTranscript(sessionFolder, chunkFile, alive);
}

QCoro::Task<void> GlossenChunkPipeline::deliverChunkTranscript(QString sessionFolder, QString chunkFile,
                                                               Alive alive)
{
    Logger& logger = with_.logger;
    // The transcript file, from the document as stored (a document that could not be written gives none).
    const Fetched fetched = co_await runOnWorker([&sessionFolder, &chunkFile, &logger] {
        Fetched result;
        result.chunk = readChunkDocument(chunkFile);
        if (!result.chunk || !result.chunk->transcriptText || result.chunk->transcriptText->isEmpty())
            return result;
        const RecordingChunkMetadata& chunk = *result.chunk;
        const QString label = chunk.kind + u"_"_s + QString::number(chunk.index);
        const std::optional<QString> fileName = ChunkTranscriptFile::writerFileName(chunk);
        if (!fileName) {
            logger.error(u"Failed to write transcript file for chunk "_s + label +
                         u": the chunk's kind is not a plain name"_s);
            return result;
        }
        const QString path = ChunkTranscriptFile::path(sessionFolder, *fileName);
        try {
            if (!QDir().mkpath(QFileInfo(path).absolutePath()))
                throw FileError(FileError::Code::writeFailed, QFileInfo(path).absolutePath(),
                                u"the folder could not be created"_s);
            AtomicFile::write(path, chunk.transcriptText->toUtf8());
            result.transcriptFile = path;
        } catch (const EbbcastError& error) {
            logger.error(u"Failed to write transcript file for chunk "_s + label + u": "_s +
                         error.description());
        }
        return result;
    });
    ensureAlive(alive);
    if (fetched.chunk && fetched.transcriptFile && config_.uploadEnabled)
        co_await announceChunkTranscript(sessionFolder, chunkFile, *fetched.chunk, *fetched.transcriptFile,
                                         alive);
    // After the chunk's own delivery: the final transcript's announcement is the session's last event.
    co_await finalize(sessionFolder, alive);
}

QCoro::Task<void> GlossenChunkPipeline::announceChunkTranscript(QString sessionFolder, QString chunkFile,
                                                                RecordingChunkMetadata chunk,
                                                                QString transcriptFile, Alive alive)
{
    const QString name = nameOf(chunkFile);
    Logger& logger = with_.logger;
    if (!chunk.gatewayJobID || chunk.gatewayJobID->isEmpty()) {
        logger.error(u"Corvane Pelko chunk transcript delivery skipped: missing gateway job ID for "_s +
                     name);
        co_return;
    }
    std::optional<UploadState> state =
        co_await with_.uploader.uploadFileInSessionNowIfEnabled(sessionFolder, transcriptFile);
    ensureAlive(alive);
    if (!state) {
        logger.error(u"Corvane Pelko chunk transcript delivery paused because Drive upload failed: "_s +
                     name);
        co_return;
    }
    ChunkTranscribedEvent event;
    event.folder = sessionFolder;
    event.file = chunkFile;
    event.chunk = chunk;
    event.transcriptText = chunk.transcriptText.value_or(QString());
    event.transcriptFile = transcriptFile;
    event.uploadState = std::move(state);
    event.gatewayJobID = *chunk.gatewayJobID;
    event.glossenJobID = chunk.glossenJobID;
    event.transcriptArtifactID = chunk.transcriptArtifactID;
    const RelayDelivery delivery = co_await with_.announcer.notifyRecordingChunkTranscribed(event);
    Q_UNUSED(delivery);
    ensureAlive(alive);
}

QCoro::Task<void> GlossenChunkPipeline::markMissingAudio(QString sessionFolder, QString chunkFile,
                                                         Alive alive)
{
    const QString detail = u"the audio file is missing"_s;
    with_.logger.error(u"Glossen chunk upload failed for "_s + nameOf(chunkFile) + u": "_s + detail);
    co_await recordFailure(sessionFolder, chunkFile, ChunkTranscriptionStatus::uploadFailed, detail, alive);
}

QCoro::Task<void> GlossenChunkPipeline::recordFailure(QString sessionFolder, QString chunkFile,
                                                      ChunkTranscriptionStatus status, QString detail,
                                                      Alive alive)
{
    ChunkOutcomeRecord failed;
    failed.status = status;
    co_await recordOutcome(sessionFolder, chunkFile, failed, alive);
    Q_EMIT chunkOutcome(sessionFolder, chunkFile, status, detail);
    co_await finalize(sessionFolder, alive);
}

QCoro::Task<void> GlossenChunkPipeline::recordOutcome(QString sessionFolder, QString chunkFile,
                                                      const ChunkOutcomeRecord& outcome, Alive alive)
{
    std::exception_ptr error;
    try {
        co_await runOnWorker(
            [&sessionFolder, &chunkFile, &outcome] { persistOutcome(sessionFolder, chunkFile, outcome); });
    } catch (...) {
        error = std::current_exception();
    }
    ensureAlive(alive);
    if (error)
        with_.logger.error(u"Failed to record Glossen outcome for "_s + nameOf(chunkFile) + u": "_s +
                           describeError(error));
}

QCoro::Task<void> GlossenChunkPipeline::reconcile(QString sessionFolder, QString chunkFile, Alive alive)
{
    std::exception_ptr error;
    try {
        co_await runOnWorker(
            [&sessionFolder, &chunkFile] { reconcileLiveEntries(sessionFolder, chunkFile); });
    } catch (...) {
        error = std::current_exception();
    }
    ensureAlive(alive);
    if (error)
        with_.logger.error(u"Failed to record Glossen outcome for "_s + nameOf(chunkFile) + u": "_s +
                           describeError(error));
    co_await finalize(sessionFolder, alive);
}

bool GlossenChunkPipeline::liveEntryDiffers(const SessionMetadata& session,
                                            const RecordingChunkMetadata& chunk)
{
    if (!session.liveChunks || !chunk.transcriptionStatus)
        return false;
    return std::any_of(session.liveChunks->begin(), session.liveChunks->end(),
                       [&chunk](const RecordingChunkMetadata& entry) {
                           return entry.filePath == chunk.filePath && !sameTranscription(chunk, entry);
                       });
}

QCoro::Task<void> GlossenChunkPipeline::finalize(QString sessionFolder, Alive alive)
{
    co_await with_.completion.finalizeSessionTranscriptIfReady(sessionFolder);
    ensureAlive(alive);
}

} // namespace ebbcast
