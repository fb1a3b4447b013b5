#include "transcription/TranscriptDocuments.h"

#include "core/json/JsonObjectWriter.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString lastPathComponent(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

template <typename T>
QJsonArray jsonArray(const std::vector<T>& values)
{
    QJsonArray array;
    for (const T& value : values)
        array.append(value.toJson());
    return array;
}

} // namespace

TranscriptTimelineSource TranscriptTimelineSource::fromChunk(const RecordingChunkMetadata& chunk,
                                                             const std::optional<QString>& resolvedText)
{
    TranscriptTimelineSource source;
    source.sourceChunk = lastPathComponent(chunk.filePath);
    source.track = chunk.kind;
    source.sequence = chunk.index;
    source.startTime = chunk.startTime;
    source.endTime = chunk.endTime;
    source.duration = chunk.duration;
    source.sessionStartTime = chunk.sessionStartTime;
    source.startOffsetSeconds = chunk.startOffsetSeconds;
    source.endOffsetSeconds = chunk.endOffsetSeconds;
    source.timecodeStart = chunk.timecodeStart;
    source.timecodeEnd = chunk.timecodeEnd;
    source.serverStartTime = chunk.serverStartTime;
    source.serverEndTime = chunk.serverEndTime;
    source.clockOffsetMilliseconds = chunk.clockOffsetMilliseconds;
    source.clockRoundTripMilliseconds = chunk.clockRoundTripMilliseconds;
    source.clockSyncStatus = chunk.clockSyncStatus;
    source.transcriptionStatus = chunk.transcriptionStatus;
    source.transcriptText = resolvedText;
    source.gatewayJobID = chunk.gatewayJobID;
    source.glossenJobID = chunk.glossenJobID;
    source.ebbcastChunkID = chunk.ebbcastChunkID;
    source.gatewayStatusURL = chunk.gatewayStatusURL;
    source.transcriptArtifactID = chunk.transcriptArtifactID;
    source.transcriptArtifactType = chunk.transcriptArtifactType;
    source.transcriptArtifactChecksum = chunk.transcriptArtifactChecksum;
    source.transcriptArtifactSizeBytes = chunk.transcriptArtifactSizeBytes;
    source.transcriptionCompletedAt = chunk.transcriptionCompletedAt;
    return source;
}

QJsonObject TranscriptTimelineSource::toJson() const
{
    return JsonObjectWriter()
        .set("source_chunk"_L1, sourceChunk)
        .set("track"_L1, track)
        .set("sequence"_L1, sequence)
        .set("start_time"_L1, startTime)
        .set("end_time"_L1, endTime)
        .set("duration"_L1, duration)
        .set("session_start_time"_L1, sessionStartTime)
        .set("start_offset_seconds"_L1, startOffsetSeconds)
        .set("end_offset_seconds"_L1, endOffsetSeconds)
        .set("timecode_start"_L1, timecodeStart)
        .set("timecode_end"_L1, timecodeEnd)
        .set("server_start_time"_L1, serverStartTime)
        .set("server_end_time"_L1, serverEndTime)
        .set("clock_offset_ms"_L1, clockOffsetMilliseconds)
        .set("clock_round_trip_ms"_L1, clockRoundTripMilliseconds)
        .set("clock_sync_status"_L1, clockSyncStatus)
        .set("transcription_status"_L1, transcriptionStatus)
        .set("transcript_text"_L1, transcriptText)
        .set("gateway_job_id"_L1, gatewayJobID)
        .set("glossen_job_id"_L1, glossenJobID)
        .set("ebbcast_chunk_id"_L1, ebbcastChunkID)
        .set("gateway_status_url"_L1, gatewayStatusURL)
        .set("transcript_artifact_id"_L1, transcriptArtifactID)
        .set("transcript_artifact_type"_L1, transcriptArtifactType)
        .set("transcript_artifact_checksum"_L1, transcriptArtifactChecksum)
        .set("transcript_artifact_size_bytes"_L1, transcriptArtifactSizeBytes)
        .set("transcription_completed_at"_L1, transcriptionCompletedAt)
        .object();
}

std::optional<TranscriptTimelineSegment>
TranscriptTimelineSegment::fromSource(const TranscriptTimelineSource& source)
{
    if (!source.transcriptText)
        return std::nullopt;
    const QString text = source.transcriptText->trimmed();
    if (text.isEmpty())
        return std::nullopt;
    TranscriptTimelineSegment segment;
    segment.sequenceIndex = source.sequence;
    segment.track = source.track;
    segment.startTime = source.startTime;
    segment.endTime = source.endTime;
    segment.startOffsetSeconds = source.startOffsetSeconds;
    segment.endOffsetSeconds = source.endOffsetSeconds;
    segment.timecodeStart = source.timecodeStart;
    segment.timecodeEnd = source.timecodeEnd;
    segment.text = text;
    segment.transcriptArtifactID = source.transcriptArtifactID;
    return segment;
}

QJsonObject TranscriptTimelineSegment::toJson() const
{
    return JsonObjectWriter()
        .set("sequence_index"_L1, sequenceIndex)
        .set("track"_L1, track)
        .set("start_time"_L1, startTime)
        .set("end_time"_L1, endTime)
        .set("start_offset_seconds"_L1, startOffsetSeconds)
        .set("end_offset_seconds"_L1, endOffsetSeconds)
        .set("timecode_start"_L1, timecodeStart)
        .set("timecode_end"_L1, timecodeEnd)
        .set("text"_L1, text)
        .set("transcript_artifact_id"_L1, transcriptArtifactID)
        .object();
}

QJsonObject SessionTranscriptTimeline::toJson() const
{
    QJsonObject object = JsonObjectWriter()
                             .set("session_id"_L1, sessionID)
                             .set("thread_key"_L1, threadKey)
                             .set("collection_id"_L1, collectionID)
                             .set("status"_L1, status)
                             .set("generated_at"_L1, generatedAt)
                             .set("assembly_policy"_L1, assemblyPolicy)
                             .object();
    const QJsonArray sources = jsonArray(chunks);
    object.insert("chunks"_L1, sources);
    object.insert("source_chunks"_L1, sources);
    object.insert("segments"_L1, jsonArray(segments));
    return object;
}

QJsonObject TranscriptProvenanceArtifact::toJson() const
{
    return JsonObjectWriter()
        .set("sequence_index"_L1, sequenceIndex)
        .set("track"_L1, track)
        .set("source_file"_L1, sourceFile)
        .set("ebbcast_chunk_id"_L1, ebbcastChunkID)
        .set("gateway_job_id"_L1, gatewayJobID)
        .set("glossen_job_id"_L1, glossenJobID)
        .set("gateway_status_url"_L1, gatewayStatusURL)
        .set("transcript_artifact_id"_L1, transcriptArtifactID)
        .set("transcript_artifact_type"_L1, transcriptArtifactType)
        .set("transcript_artifact_checksum"_L1, transcriptArtifactChecksum)
        .set("transcript_artifact_size_bytes"_L1, transcriptArtifactSizeBytes)
        .set("drive_file_id"_L1, driveFileID)
        .set("drive_url"_L1, driveURL)
        .object();
}

QJsonObject TranscriptProvenanceDocument::toJson() const
{
    return JsonObjectWriter()
        .set("file_name"_L1, fileName)
        .set("drive_file_id"_L1, driveFileID)
        .set("drive_url"_L1, driveURL)
        .object();
}

QJsonObject SessionTranscriptProvenance::toJson() const
{
    QJsonObject object = JsonObjectWriter()
                             .set("session_id"_L1, sessionID)
                             .set("thread_key"_L1, threadKey)
                             .set("collection_id"_L1, collectionID)
                             .set("generated_at"_L1, generatedAt)
                             .set("generator"_L1, generator)
                             .set("canonical_system"_L1, canonicalSystem)
                             .set("drive_session_folder_id"_L1, driveSessionFolderID)
                             .set("drive_final_transcript_folder_id"_L1, driveFinalTranscriptFolderID)
                             .object();
    object.insert("source_artifacts"_L1, jsonArray(sourceArtifacts));
    object.insert("generated_documents"_L1, jsonArray(generatedDocuments));
    return object;
}

} // namespace ebbcast
