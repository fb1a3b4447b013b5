#include "relay/CorvanePelkoNotifier.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"
#include "relay/CorvaneRelayStateFile.h"
#include "relay/OrderedJsonWriter.h"
#include "relay/RelaySender.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString statusNotStarted = u"not_started"_s;
const QString statusCreating = u"creating"_s;
const QString statusCreated = u"created"_s;
const QString statusFailed = u"failed"_s;
const QString statusMissingThread = u"missing_thread"_s;
constexpr qint64 maximumParentAttempts = 4;

QString sessionName(const QString& folder)
{
    return QFileInfo(QDir::cleanPath(folder)).fileName();
}

// Whether the session's parent can never be created any more, so its replies stay blocked for good.
bool blockedForGood(const CorvaneRelayState& state)
{
    if (state.parentThreadTS && !state.parentThreadTS->isEmpty())
        return false;
    const bool retryable = state.parentCreationStatus == statusNotStarted ||
                           state.parentCreationStatus == statusCreating ||
                           state.parentCreationStatus == statusFailed;
    return !retryable || state.parentCreationAttempts >= maximumParentAttempts;
}

// The stored body with the thread identifiers in their place (just before the idempotency key).
QByteArray withThread(const QString& body, const QString& ts)
{
    QByteArray bytes = body.toUtf8();
    const QByteArray marker = ",\"idempotency_key\":";
    const qsizetype at = bytes.indexOf(marker);
    if (at < 0)
        return bytes;
    const QByteArray quoted = OrderedJsonWriter::quoted(ts);
    bytes.insert(at, ",\"thread_ts\":" + quoted + ",\"parent_thread_ts\":" + quoted);
    return bytes;
}

std::optional<QString> collectionIDOf(const QString& folder)
{
    const auto object = JsonDocumentFile::readObject(QDir(folder).filePath(u"metadata.json"_s));
    if (!object)
        return std::nullopt;
    const auto metadata = SessionMetadata::fromJson(*object);
    if (!metadata || !metadata->liveChunks)
        return std::nullopt;
    for (const RecordingChunkMetadata& chunk : *metadata->liveChunks) {
        if (chunk.collectionID && !chunk.collectionID->isEmpty())
            return chunk.collectionID;
    }
    return std::nullopt;
}

QString environmentToken()
{
    return qEnvironmentVariable("CORVANE_PELKO_RELAY_TOKEN");
}

} // namespace

CorvanePelkoNotifier::CorvanePelkoNotifier(Config config, Logger& logger, QNetworkAccessManager& network,
                                           DriveWebLinks links)
    : CorvanePelkoNotifier(std::move(config), logger, network, std::move(links), {}, Timing{})
{}

CorvanePelkoNotifier::CorvanePelkoNotifier(Config config, Logger& logger, QNetworkAccessManager& network,
                                           DriveWebLinks links, TokenSource token, Timing timing)
    : config_(std::move(config))
    , logger_(logger)
    , network_(network)
    , links_(std::move(links))
    , token_(token ? std::move(token) : TokenSource(environmentToken))
    , timing_(std::move(timing))
{
    if (!timing_.clock)
        timing_.clock = systemTime;
}

std::optional<QString> CorvanePelkoNotifier::relayToken() const
{
    const QString token = token_();
    if (token.isEmpty()) {
        logger_.error(u"Corvane Pelko delivery skipped: CORVANE_PELKO_RELAY_TOKEN is not set"_s);
        return std::nullopt;
    }
    return token;
}

QString CorvanePelkoNotifier::threadKeyFor(const QString& folder) const
{
    return RelayWording::threadKey(config_.recorderID, sessionName(folder));
}

PelkoReadyPayload CorvanePelkoNotifier::commonPayload(const QString& folder, const QString& threadKey,
                                                      const QString& event) const
{
    PelkoReadyPayload payload;
    payload.event = payload.kind = event;
    payload.recorderID = config_.recorderID;
    payload.recorderName = config_.recorderName;
    payload.recordingName = payload.sessionID = sessionName(folder);
    payload.threadKey = threadKey;
    return payload;
}

DriveInfo CorvanePelkoNotifier::driveInfo(const QString& folder, const QString& file,
                                          const std::optional<UploadState>& state) const
{
    return readDriveInfo(folder, file, links_, logger_, state, timing_.clock);
}

QCoro::Task<std::optional<QString>> CorvanePelkoNotifier::ensureParentThread(QString folder, QString token,
                                                                             CorvaneRelayState& state)
{
    if (state.parentThreadTS && !state.parentThreadTS->isEmpty()) {
        // A copy: the state keeps its identifier.
        std::optional<QString> known = state.parentThreadTS;
        co_return known;
    }
    if (blockedForGood(state)) {
        logger_.error(u"Corvane Pelko parent creation blocked: session="_s + folder + u" status="_s +
                      state.parentCreationStatus + u" attempts="_s +
                      QString::number(state.parentCreationAttempts));
        co_return std::nullopt;
    }
    const CorvaneRelayStateFile file(folder, logger_, timing_.clock);
    state.parentCreationAttempts += 1;
    state.parentCreationStatus = statusCreating;
    state.blockedReason.reset();
    try {
        file.save(state);
    } catch (const EbbcastError& error) {
        logger_.error(u"Corvane Pelko parent delivery blocked because state could not be persisted: "_s +
                      error.description());
        co_return std::nullopt;
    }

    const QString event = QString::fromLatin1(RelayEvent::sessionStarted);
    PelkoReadyPayload payload = commonPayload(folder, state.threadKey, event);
    payload.collectionID = collectionIDOf(folder);
    payload.idempotencyKey = RelayWording::eventKey(state.threadKey, event, std::nullopt);
    payload.notes = RelayWording::mention(config_.pelkoUserID) + u' ' + config_.recorderName +
                    u" started recording session "_s + folder +
                    u". Chunk and final transcript events belong in this thread."_s;
    const std::optional<QByteArray> body = payload.encode();
    SendResult result;
    if (!body) {
        logger_.error(u"Corvane Pelko delivery failed: the request body could not be encoded"_s);
    } else {
        RelaySender sender(config_.endpoint, logger_, network_, timing_.exchangeDeadline);
        result = co_await sender.send(event, *body, token);
    }
    const auto saveQuietly = [&] {
        try {
            file.save(state);
            return true;
        } catch (const EbbcastError& error) {
            logger_.error(u"Corvane Pelko state save failed: "_s + error.description());
            return false;
        }
    };
    if (!result.accepted) {
        state.parentCreationStatus = statusFailed;
        state.blockedReason = u"parent_request_failed"_s;
        saveQuietly();
        logger_.error(u"Corvane Pelko session relay blocked after parent request failure: session="_s +
                      folder);
        co_return std::nullopt;
    }
    if (!result.threadIdentifier) {
        state.parentCreationStatus = statusMissingThread;
        state.blockedReason = u"parent_response_missing_ts"_s;
        saveQuietly();
        logger_.error(
            u"Corvane Pelko session relay blocked: parent succeeded without a thread identifier for session="_s +
            folder);
        co_return std::nullopt;
    }
    state.parentCreationStatus = statusCreated;
    state.parentThreadTS = result.threadIdentifier;
    state.parentCreatedAt = timing_.clock();
    state.blockedReason.reset();
    if (!state.isPosted(payload.idempotencyKey))
        state.postedEventIdempotencyKeys.append(payload.idempotencyKey);
    try {
        file.save(state);
    } catch (const EbbcastError& error) {
        logger_.error(u"Corvane Pelko parent thread state save failed; replies remain blocked: "_s +
                      error.description());
        state.parentThreadTS.reset();
        co_return std::nullopt;
    }
    logger_.info(u"Corvane Pelko parent thread recorded: session="_s + folder + u" ts="_s +
                 *result.threadIdentifier);
    co_return result.threadIdentifier;
}

QCoro::Task<bool> CorvanePelkoNotifier::drainOutbox(QString folder, QString token, CorvaneRelayState& state)
{
    if (state.pendingEvents.empty())
        co_return true;
    const CorvaneRelayStateFile file(folder, logger_, timing_.clock);
    auto parentTask = ensureParentThread(folder, token, state);
    const std::optional<QString> parent = co_await std::move(parentTask);
    if (!parent) {
        logger_.error(u"Corvane Pelko reply blocked: event="_s + state.pendingEvents.front().event +
                      u" session="_s + folder + u" parent_status="_s + state.parentCreationStatus);
        co_return false;
    }
    RelaySender sender(config_.endpoint, logger_, network_, timing_.exchangeDeadline);
    while (!state.pendingEvents.empty()) {
        const PendingRelayEvent next = state.pendingEvents.front();
        if (!state.isPosted(next.idempotencyKey)) {
            auto sending = sender.send(next.event, withThread(next.body, *parent), token);
            const SendResult result = co_await std::move(sending);
            if (!result.accepted)
                co_return false;
            state.postedEventIdempotencyKeys.append(next.idempotencyKey);
            if (next.isFinal) {
                state.finalNotificationStatus = u"posted"_s;
                state.finalNotificationSentAt = timing_.clock();
            }
        }
        state.pendingEvents.erase(state.pendingEvents.begin());
        try {
            file.save(state);
        } catch (const EbbcastError& error) {
            logger_.error(u"Corvane Pelko state save failed after reply: "_s + error.description());
            co_return false;
        }
    }
    co_return true;
}

QCoro::Task<RelayDelivery> CorvanePelkoNotifier::post(QString folder, std::optional<ChunkRef> chunk,
                                                      PelkoReadyPayload payload, bool isFinal)
{
    if (config_.endpoint.isEmpty() || config_.recorderID.isEmpty())
        co_return RelayDelivery::notConfigured;
    const std::optional<QString> token = relayToken();
    if (!token)
        co_return RelayDelivery::notConfigured;
    try {
        auto acquiring = gate_.acquire(folder);
        const SessionFolderGate::Lease lease = co_await std::move(acquiring);
        const CorvaneRelayStateFile file(folder, logger_, timing_.clock);
        CorvaneRelayState state = file.load(sessionName(folder), threadKeyFor(folder));
        // Keys follow the stored thread key, so a changed recorder ID does not re-key a session's events.
        payload.threadKey = state.threadKey;
        payload.idempotencyKey = RelayWording::eventKey(state.threadKey, payload.event, chunk);
        if (state.isPosted(payload.idempotencyKey)) {
            logger_.info(u"Corvane Pelko delivery already recorded: event="_s + payload.event +
                         u" session="_s + folder);
            auto draining = drainOutbox(folder, *token, state);
            co_await std::move(draining);
            co_return RelayDelivery::delivered;
        }
        if (blockedForGood(state)) {
            // Logs why the parent cannot be had; sends nothing.
            auto parentTask = ensureParentThread(folder, *token, state);
            co_await std::move(parentTask);
            logger_.error(u"Corvane Pelko reply blocked: event="_s + payload.event + u" session="_s + folder +
                          u" parent_status="_s + state.parentCreationStatus);
            co_return RelayDelivery::failed;
        }
        if (!state.isPending(payload.idempotencyKey)) {
            const std::optional<QByteArray> body = payload.encode();
            if (!body) {
                logger_.error(u"Corvane Pelko delivery failed: the request body could not be encoded"_s);
                co_return RelayDelivery::failed;
            }
            state.pendingEvents.push_back(
                PendingRelayEvent{payload.idempotencyKey, payload.event, isFinal, QString::fromUtf8(*body)});
            try {
                file.save(state);
            } catch (const EbbcastError& error) {
                logger_.error(u"Corvane Pelko event could not be queued: "_s + error.description());
                co_return RelayDelivery::failed;
            }
        }
        auto draining = drainOutbox(folder, *token, state);
        co_await std::move(draining);
        co_return state.isPosted(payload.idempotencyKey) ? RelayDelivery::delivered : RelayDelivery::failed;
    } catch (const EbbcastError& error) {
        logger_.error(u"Corvane Pelko delivery failed: "_s + error.description());
        co_return RelayDelivery::failed;
    }
}

QCoro::Task<RelayDelivery> CorvanePelkoNotifier::notifyRecordingSessionStarted(QString folder)
{
    if (config_.endpoint.isEmpty() || config_.recorderID.isEmpty())
        co_return RelayDelivery::notConfigured;
    try {
        auto acquiring = gate_.acquire(folder);
        const SessionFolderGate::Lease lease = co_await std::move(acquiring);
        const CorvaneRelayStateFile file(folder, logger_, timing_.clock);
        CorvaneRelayState state = file.load(sessionName(folder), threadKeyFor(folder));
        try {
            file.save(state);
        } catch (const EbbcastError& error) {
            logger_.error(u"Corvane Pelko session state initialization failed: "_s + error.description());
            co_return RelayDelivery::failed;
        }
        const std::optional<QString> token = relayToken();
        if (!token)
            co_return RelayDelivery::notConfigured;
        auto parentTask = ensureParentThread(folder, *token, state);
        const std::optional<QString> parent = co_await std::move(parentTask);
        if (!parent)
            co_return RelayDelivery::failed;
        auto draining = drainOutbox(folder, *token, state);
        co_await std::move(draining);
        co_return RelayDelivery::delivered;
    } catch (const EbbcastError& error) {
        logger_.error(u"Corvane Pelko session state initialization failed: "_s + error.description());
        co_return RelayDelivery::failed;
    }
}

QCoro::Task<RelayDelivery> CorvanePelkoNotifier::notifyRecordingReady(QString folder,
                                                                      std::optional<UploadState>)
{
    return notifyRecordingSessionStarted(std::move(folder));
}

QCoro::Task<RelayDelivery>
CorvanePelkoNotifier::notifyRecordingChunkReady(QString folder, QString file,
                                                std::optional<UploadState> uploadState)
{
    const QFileInfo audio(file);
    const auto object =
        JsonDocumentFile::readObject(audio.dir().filePath(audio.completeBaseName() + u".json"_s));
    const auto chunk = object ? RecordingChunkMetadata::fromJson(*object) : std::nullopt;
    if (!chunk) {
        logger_.error(u"Corvane Pelko chunk delivery skipped: missing chunk metadata for "_s +
                      audio.fileName());
        co_return RelayDelivery::failed;
    }
    const QString event = QString::fromLatin1(RelayEvent::chunkReady);
    PelkoReadyPayload payload = commonPayload(folder, threadKeyFor(folder), event);
    payload.setChunk(*chunk);
    payload.gatewayJobID = chunk->gatewayJobID;
    payload.glossenJobID = chunk->glossenJobID;
    payload.collectionID = chunk->collectionID;
    payload.transcriptArtifactID = chunk->transcriptArtifactID;
    const DriveInfo links = driveInfo(folder, file, uploadState);
    payload.fileName = UploadRules::uploadKey(folder, file);
    payload.driveURL = links.driveURL;
    payload.folderURL = links.folderURL;
    payload.notes = RelayWording::mention(config_.pelkoUserID) + u" Recording chunk "_s + chunk->kind + u' ' +
                    QString::number(chunk->index) + u" is available."_s;
    auto posting = post(folder, ChunkRef{chunk->kind, chunk->index}, std::move(payload), false);
    co_return co_await std::move(posting);
}

QCoro::Task<RelayDelivery> CorvanePelkoNotifier::notifyRecordingChunkTranscribed(ChunkTranscribedEvent event)
{
    if (event.transcriptText.trimmed().isEmpty()) {
        logger_.info(u"Corvane Pelko transcript delivery skipped: empty transcript for "_s +
                     QFileInfo(event.file).fileName());
        co_return RelayDelivery::delivered;
    }
    const QString name = QString::fromLatin1(RelayEvent::chunkTranscribed);
    PelkoReadyPayload payload = commonPayload(event.folder, threadKeyFor(event.folder), name);
    payload.collectionID = event.chunk.collectionID;
    payload.setChunk(event.chunk);
    payload.gatewayJobID = event.gatewayJobID;
    payload.glossenJobID = event.glossenJobID;
    payload.transcriptArtifactID = event.transcriptArtifactID;
    payload.transcriptPreview = RelayWording::transcriptPreview(event.transcriptText);
    if (event.transcriptFile) {
        payload.transcriptFileName = UploadRules::uploadKey(event.folder, *event.transcriptFile);
        payload.transcriptDriveURL =
            driveInfo(event.folder, *event.transcriptFile, event.uploadState).driveURL;
    }
    const DriveInfo audio = driveInfo(event.folder, event.file, event.uploadState);
    payload.fileName = UploadRules::uploadKey(event.folder, event.file);
    payload.driveURL = audio.driveURL;
    payload.folderURL = audio.folderURL;
    payload.notes = RelayWording::mention(config_.pelkoUserID) + u" Transcript ready for "_s +
                    event.chunk.kind + u" chunk "_s + QString::number(event.chunk.index) + u'.';
    auto posting =
        post(event.folder, ChunkRef{event.chunk.kind, event.chunk.index}, std::move(payload), false);
    co_return co_await std::move(posting);
}

QCoro::Task<RelayDelivery>
CorvanePelkoNotifier::notifySessionTranscriptReady(SessionTranscriptReadyEvent event)
{
    const DriveInfo transcript = driveInfo(event.folder, event.transcriptFile, event.uploadState);
    if (!transcript.driveURL) {
        logger_.error(u"Corvane Pelko final transcript delivery skipped: clean transcript is not uploaded"_s);
        co_return RelayDelivery::failed;
    }
    const DriveInfo timeline = driveInfo(event.folder, event.timelineFile, event.uploadState);
    const QString name = QString::fromLatin1(RelayEvent::transcriptReady);
    PelkoReadyPayload payload = commonPayload(event.folder, threadKeyFor(event.folder), name);
    payload.collectionID = collectionIDOf(event.folder);
    payload.transcriptPreview = RelayWording::transcriptPreview(event.transcriptText);
    payload.transcriptFileName = UploadRules::uploadKey(event.folder, event.transcriptFile);
    payload.transcriptDriveURL = transcript.driveURL;
    payload.fileName = UploadRules::uploadKey(event.folder, event.timelineFile);
    payload.driveURL = timeline.driveURL;
    std::optional<UploadState> state = event.uploadState;
    if (!state && QFileInfo::exists(QDir(event.folder).filePath(QString(UploadStateFile::fileName))))
        state = UploadStateFile(event.folder, logger_, timing_.clock).load();
    const std::optional<QString> subfolder =
        state ? state->driveFolder(DriveSubfolderKey::finalTranscript) : std::nullopt;
    payload.folderURL = subfolder ? std::optional(links_.folderLink(*subfolder)) : transcript.folderURL;
    payload.notes = RelayWording::mention(config_.pelkoUserID) +
                    u" Final human-readable transcript ready from "_s +
                    QString::number(event.sourceChunkCount) + u" canonical chunk artifacts."_s;
    if (event.emptySourceChunkCount >= 1) {
        payload.notes += u' ' + QString::number(event.emptySourceChunkCount) +
                         u" source chunk(s) completed with empty transcript text."_s;
    }
    auto posting = post(event.folder, std::nullopt, std::move(payload), true);
    co_return co_await std::move(posting);
}

QCoro::Task<void> CorvanePelkoNotifier::resumePendingRelayEvents(QStringList sessionFolders)
{
    if (config_.endpoint.isEmpty() || config_.recorderID.isEmpty())
        co_return;
    for (const QString& folder : sessionFolders) {
        const QString path = QDir(folder).filePath(QString(CorvaneRelayStateFile::fileName));
        const auto object = JsonDocumentFile::readObject(path);
        const auto peek = object ? CorvaneRelayState::fromJson(*object) : std::nullopt;
        if (!peek || peek->pendingEvents.empty())
            continue;
        const std::optional<QString> token = relayToken();
        if (!token)
            co_return;
        try {
            auto acquiring = gate_.acquire(folder);
            const SessionFolderGate::Lease lease = co_await std::move(acquiring);
            CorvaneRelayState state = CorvaneRelayStateFile(folder, logger_, timing_.clock)
                                          .load(sessionName(folder), threadKeyFor(folder));
            auto draining = drainOutbox(folder, *token, state);
            co_await std::move(draining);
        } catch (const EbbcastError& error) {
            logger_.error(u"Corvane Pelko delivery failed: "_s + error.description());
        }
    }
}

bool CorvanePelkoNotifier::isRelayEventRecorded(const QString& folder, const QString& event,
                                                std::optional<ChunkRef> chunk) const
{
    const auto object =
        JsonDocumentFile::readObject(QDir(folder).filePath(QString(CorvaneRelayStateFile::fileName)));
    const auto state = object ? CorvaneRelayState::fromJson(*object) : std::nullopt;
    if (!state)
        return false;
    const QString key = RelayWording::eventKey(state->threadKey, event, chunk);
    return state->isPosted(key) || state->isPending(key);
}

} // namespace ebbcast
