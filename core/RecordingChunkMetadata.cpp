#include "RecordingChunkMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::optional<RecordingChunkMetadata> RecordingChunkMetadata::fromJson(const QJsonValue& json)
{
    RecordingChunkMetadata value;
    JsonObjectReader reader(json);
    reader.required("index"_L1, value.index)
        .required("kind"_L1, value.kind)
        .required("start_time"_L1, value.startTime)
        .required("end_time"_L1, value.endTime)
        .required("duration"_L1, value.duration)
        .required("file_path"_L1, value.filePath)
        .optional("session_start_time"_L1, value.sessionStartTime)
        .optional("start_offset_seconds"_L1, value.startOffsetSeconds)
        .optional("end_offset_seconds"_L1, value.endOffsetSeconds)
        .optional("timecode_start"_L1, value.timecodeStart)
        .optional("timecode_end"_L1, value.timecodeEnd)
        .optional("server_start_time"_L1, value.serverStartTime)
        .optional("server_end_time"_L1, value.serverEndTime)
        .optional("clock_offset_ms"_L1, value.clockOffsetMilliseconds)
        .optional("clock_round_trip_ms"_L1, value.clockRoundTripMilliseconds)
        .optional("clock_sync_status"_L1, value.clockSyncStatus)
        .optional("gateway_job_id"_L1, value.gatewayJobID)
        .optional("ebbcast_chunk_id"_L1, value.ebbcastChunkID)
        .optional("collection_id"_L1, value.collectionID)
        .optional("gateway_status_url"_L1, value.gatewayStatusURL)
        .optional("transcription_status"_L1, value.transcriptionStatus)
        .optional("transcript_text"_L1, value.transcriptText)
        .optional("transcript_artifact_id"_L1, value.transcriptArtifactID)
        .optional("transcript_artifact_type"_L1, value.transcriptArtifactType)
        .optional("transcript_artifact_checksum"_L1, value.transcriptArtifactChecksum)
        .optional("transcript_artifact_size_bytes"_L1, value.transcriptArtifactSizeBytes)
        .optional("glossen_job_id"_L1, value.glossenJobID)
        .optional("transcription_completed_at"_L1, value.transcriptionCompletedAt);
    return reader.result(std::move(value));
}

QJsonObject RecordingChunkMetadata::toJson() const
{
    return JsonObjectWriter()
        .set("index"_L1, index)
        .set("kind"_L1, kind)
        .set("start_time"_L1, startTime)
        .set("end_time"_L1, endTime)
        .set("duration"_L1, duration)
        .set("file_path"_L1, filePath)
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
        .set("gateway_job_id"_L1, gatewayJobID)
        .set("ebbcast_chunk_id"_L1, ebbcastChunkID)
        .set("collection_id"_L1, collectionID)
        .set("gateway_status_url"_L1, gatewayStatusURL)
        .set("transcription_status"_L1, transcriptionStatus)
        .set("transcript_text"_L1, transcriptText)
        .set("transcript_artifact_id"_L1, transcriptArtifactID)
        .set("transcript_artifact_type"_L1, transcriptArtifactType)
        .set("transcript_artifact_checksum"_L1, transcriptArtifactChecksum)
        .set("transcript_artifact_size_bytes"_L1, transcriptArtifactSizeBytes)
        .set("glossen_job_id"_L1, glossenJobID)
        .set("transcription_completed_at"_L1, transcriptionCompletedAt)
        .object();
}

} // namespace ebbcast
