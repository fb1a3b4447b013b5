#include "transcription/GlossenChunkUploadMetadata.h"

#include "core/json/DocumentError.h"
#include "core/json/JsonObjectWriter.h"

#include <QJsonDocument>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {

QJsonObject GlossenChunkUploadMetadata::toJson() const
{
    JsonObjectWriter members;
    members("recorder_id"_L1, recorderID);
    members("recorder_name"_L1, recorderName);
    members("session_id"_L1, sessionID);
    members("recording_name"_L1, recordingName);
    members("thread_key"_L1, threadKey);
    members("chunk_index"_L1, chunkIndex);
    members("chunk_kind"_L1, chunkKind);
    members("session_start_time"_L1, sessionStartTime);
    members("chunk_start_time"_L1, chunkStartTime);
    members("chunk_end_time"_L1, chunkEndTime);
    members("chunk_duration"_L1, chunkDuration);
    members("chunk_start_offset_seconds"_L1, chunkStartOffsetSeconds);
    members("chunk_end_offset_seconds"_L1, chunkEndOffsetSeconds);
    members("chunk_timecode_start"_L1, chunkTimecodeStart);
    members("chunk_timecode_end"_L1, chunkTimecodeEnd);
    members("server_chunk_start_time"_L1, serverChunkStartTime);
    members("server_chunk_end_time"_L1, serverChunkEndTime);
    members("clock_offset_ms"_L1, clockOffsetMilliseconds);
    members("clock_round_trip_ms"_L1, clockRoundTripMilliseconds);
    members("clock_sync_status"_L1, clockSyncStatus);
    members("local_file_name"_L1, localFileName);
    members("drive_file_id"_L1, driveFileID);
    members("drive_url"_L1, driveURL);
    members("folder_url"_L1, folderURL);
    return members.object();
}

QByteArray GlossenChunkUploadMetadata::toWireJson() const
{
    const QJsonObject object = toJson();
    // Qt would write a NaN or an infinity as null, which the gateway must not receive.
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it->isDouble() && !std::isfinite(it->toDouble()))
            throw DocumentError(DocumentError::Code::nonFiniteNumber);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace ebbcast
