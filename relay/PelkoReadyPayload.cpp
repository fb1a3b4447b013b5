#include "relay/PelkoReadyPayload.h"

#include "core/base/Iso8601.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "relay/OrderedJsonWriter.h"

#include <QTextBoundaryFinder>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::optional<QString> formatted(const std::optional<QDateTime>& date)
{
    if (!date)
        return std::nullopt;
    return Iso8601::format(*date);
}

constexpr qsizetype previewLength = 500;

} // namespace

void PelkoReadyPayload::setChunk(const RecordingChunkMetadata& chunk)
{
    track = chunk.kind;
    chunkIndex = chunk.index;
    chunkKind = chunk.kind;
    chunkStartTime = chunk.startTime;
    chunkEndTime = chunk.endTime;
    chunkDuration = chunk.duration;
    serverChunkStartTime = chunk.serverStartTime;
    serverChunkEndTime = chunk.serverEndTime;
    clockOffsetMilliseconds = chunk.clockOffsetMilliseconds;
    clockRoundTripMilliseconds = chunk.clockRoundTripMilliseconds;
    clockSyncStatus = chunk.clockSyncStatus;
    ebbcastChunkID = chunk.ebbcastChunkID;
}

std::optional<QByteArray> PelkoReadyPayload::encode() const
{
    OrderedJsonWriter out;
    out.add("event", event);
    out.add("kind", kind);
    out.add("source", source);
    out.add("track", track);
    out.add("notes", notes);
    out.add("recorder_id", recorderID);
    out.add("recorder_name", recorderName);
    out.add("recording_name", recordingName);
    out.add("session_id", sessionID);
    out.add("thread_key", threadKey);
    out.add("collection_id", collectionID);
    out.add("thread_intent", threadIntent);
    out.add("thread_ts", threadTS);
    out.add("parent_thread_ts", parentThreadTS);
    out.add("idempotency_key", idempotencyKey);
    out.add("chunk_index", chunkIndex);
    out.add("chunk_kind", chunkKind);
    out.add("chunk_start_time", formatted(chunkStartTime));
    out.add("chunk_end_time", formatted(chunkEndTime));
    out.add("chunk_duration", chunkDuration);
    out.add("server_chunk_start_time", formatted(serverChunkStartTime));
    out.add("server_chunk_end_time", formatted(serverChunkEndTime));
    out.add("clock_offset_ms", clockOffsetMilliseconds);
    out.add("clock_round_trip_ms", clockRoundTripMilliseconds);
    out.add("clock_sync_status", clockSyncStatus);
    out.add("gateway_job_id", gatewayJobID);
    out.add("glossen_job_id", glossenJobID);
    out.add("ebbcast_chunk_id", ebbcastChunkID);
    out.add("transcript_artifact_id", transcriptArtifactID);
    out.add("transcript_preview", transcriptPreview);
    out.add("transcript_file_name", transcriptFileName);
    out.add("transcript_drive_url", transcriptDriveURL);
    out.add("file_name", fileName);
    out.add("drive_url", driveURL);
    out.add("folder_url", folderURL);
    if (!out.isValid())
        return std::nullopt;
    return out.finish();
}

QString RelayWording::mention(const QString& userID)
{
    const QString trimmed = userID.trimmed();
    return trimmed.isEmpty() ? u"@Pelko"_s : u"<@"_s + trimmed + u'>';
}

QString RelayWording::threadKey(const QString& recorderID, const QString& sessionName)
{
    return u"ebbcast:"_s + recorderID + u':' + sessionName;
}

QString RelayWording::eventKey(const QString& threadKey, const QString& event,
                               const std::optional<ChunkRef>& chunk)
{
    QString key = threadKey + u':' + event;
    if (chunk)
        key += u':' + chunk->kind + u':' + QString::number(chunk->index);
    return key;
}

QString RelayWording::transcriptPreview(const QString& text)
{
    const QString trimmed = text.trimmed();
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, trimmed);
    qsizetype count = 0;
    while (graphemes.toNextBoundary() >= 0) {
        if (graphemes.position() == trimmed.size())
            return trimmed;
        if (++count == previewLength)
            return trimmed.left(graphemes.position()) + u"..."_s;
    }
    return trimmed;
}

} // namespace ebbcast
