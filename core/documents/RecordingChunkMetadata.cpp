#include "core/documents/RecordingChunkMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("index"_L1, self.index);
    members("kind"_L1, self.kind);
    members("start_time"_L1, self.startTime);
    members("end_time"_L1, self.endTime);
    members("duration"_L1, self.duration);
    members("file_path"_L1, self.filePath);
    members("session_start_time"_L1, self.sessionStartTime);
    members("start_offset_seconds"_L1, self.startOffsetSeconds);
    members("end_offset_seconds"_L1, self.endOffsetSeconds);
    members("timecode_start"_L1, self.timecodeStart);
    members("timecode_end"_L1, self.timecodeEnd);
    members("server_start_time"_L1, self.serverStartTime);
    members("server_end_time"_L1, self.serverEndTime);
    members("clock_offset_ms"_L1, self.clockOffsetMilliseconds);
    members("clock_round_trip_ms"_L1, self.clockRoundTripMilliseconds);
    members("clock_sync_status"_L1, self.clockSyncStatus);
    members("gateway_job_id"_L1, self.gatewayJobID);
    members("ebbcast_chunk_id"_L1, self.ebbcastChunkID);
    members("collection_id"_L1, self.collectionID);
    members("gateway_status_url"_L1, self.gatewayStatusURL);
    members("transcription_status"_L1, self.transcriptionStatus);
    members("transcript_text"_L1, self.transcriptText);
    members("transcript_artifact_id"_L1, self.transcriptArtifactID);
    members("transcript_artifact_type"_L1, self.transcriptArtifactType);
    members("transcript_artifact_checksum"_L1, self.transcriptArtifactChecksum);
    members("transcript_artifact_size_bytes"_L1, self.transcriptArtifactSizeBytes);
    members("glossen_job_id"_L1, self.glossenJobID);
    members("transcription_completed_at"_L1, self.transcriptionCompletedAt);
}

} // namespace

std::optional<RecordingChunkMetadata> RecordingChunkMetadata::fromJson(const QJsonValue& json)
{
    RecordingChunkMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject RecordingChunkMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
