#include "core/json/DocumentError.h"
#include "transcription/GlossenArtifactsResponse.h"
#include "transcription/GlossenChunkUploadMetadata.h"
#include "transcription/GlossenJobStatus.h"
#include "transcription/GlossenReplyError.h"
#include "transcription/GlossenUploadResponse.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The error text of decoding `body`, or "" when it decodes.
QString decodeProblem(const std::function<void(const QByteArray&)>& decode, const QByteArray& body)
{
    try {
        decode(body);
    } catch (const GlossenReplyError& error) {
        return error.subject().isEmpty() ? u"(not an object)"_s : error.subject();
    }
    return {};
}

TEST(GlossenChunkUploadMetadataTest, TheWireFormHasEveryKeyOnceSetAndNoNulls)
{
    GlossenChunkUploadMetadata metadata;
    metadata.recorderID = u"r"_s;
    metadata.recorderName = u"n"_s;
    metadata.sessionID = u"s"_s;
    metadata.recordingName = u"rn"_s;
    metadata.threadKey = u"ebbcast:r:s"_s;
    metadata.chunkIndex = 9007199254740993;
    metadata.chunkKind = u"system_audio"_s;
    metadata.sessionStartTime = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 999), Qt::UTC);
    metadata.chunkStartTime = QDateTime(QDate(2026, 1, 2), QTime(4, 4, 5), Qt::OffsetFromUTC, 3600);
    metadata.chunkEndTime = QDateTime(QDate(2026, 1, 2), QTime(3, 9, 5), Qt::UTC);
    metadata.chunkDuration = 300;
    metadata.chunkStartOffsetSeconds = 0.1;
    metadata.chunkEndOffsetSeconds = 300.1;
    metadata.chunkTimecodeStart = u"00:00:00.100"_s;
    metadata.chunkTimecodeEnd = u"00:05:00.100"_s;
    metadata.serverChunkStartTime = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 6), Qt::UTC);
    metadata.serverChunkEndTime = QDateTime(QDate(2026, 1, 2), QTime(3, 9, 6), Qt::UTC);
    metadata.clockOffsetMilliseconds = 1.5;
    metadata.clockRoundTripMilliseconds = 40;
    metadata.clockSyncStatus = u"synced"_s;
    metadata.localFileName = u"system_chunk_0001.m4a"_s;
    metadata.driveFileID = u"f"_s;
    metadata.driveURL = u"https://drive/f"_s;
    metadata.folderURL = u"https://drive/d"_s;

    const QByteArray wire = metadata.toWireJson();
    EXPECT_FALSE(wire.contains('\n'));
    const QJsonObject object = QJsonDocument::fromJson(wire).object();
    const QStringList keys = {
        u"recorder_id"_s,
        u"recorder_name"_s,
        u"session_id"_s,
        u"recording_name"_s,
        u"thread_key"_s,
        u"chunk_index"_s,
        u"chunk_kind"_s,
        u"session_start_time"_s,
        u"chunk_start_time"_s,
        u"chunk_end_time"_s,
        u"chunk_duration"_s,
        u"chunk_start_offset_seconds"_s,
        u"chunk_end_offset_seconds"_s,
        u"chunk_timecode_start"_s,
        u"chunk_timecode_end"_s,
        u"server_chunk_start_time"_s,
        u"server_chunk_end_time"_s,
        u"clock_offset_ms"_s,
        u"clock_round_trip_ms"_s,
        u"clock_sync_status"_s,
        u"local_file_name"_s,
        u"drive_file_id"_s,
        u"drive_url"_s,
        u"folder_url"_s,
    };
    QStringList sorted = keys;
    sorted.sort();
    EXPECT_EQ(object.keys(), sorted);
    EXPECT_EQ(object.value(u"session_start_time"_s).toString(), u"2026-01-02T03:04:05Z"_s);
    EXPECT_EQ(object.value(u"chunk_start_time"_s).toString(), u"2026-01-02T03:04:05Z"_s);
    EXPECT_EQ(object.value(u"chunk_index"_s).toInteger(), 9007199254740993);
    EXPECT_TRUE(wire.contains("\"chunk_start_offset_seconds\":0.1,"));
    EXPECT_TRUE(wire.contains("\"chunk_duration\":300,"));
    EXPECT_TRUE(wire.contains("\"drive_url\":\"https://drive/f\""))
        << "a wire encoding, not the document one";

    GlossenChunkUploadMetadata minimal;
    const QJsonObject required = QJsonDocument::fromJson(minimal.toWireJson()).object();
    EXPECT_EQ(required.size(), 11);
}

TEST(GlossenChunkUploadMetadataTest, NumbersJsonCannotHoldFailTheEncoding)
{
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        GlossenChunkUploadMetadata metadata;
        metadata.chunkDuration = bad;
        EXPECT_THROW(metadata.toWireJson(), DocumentError);
        metadata.chunkDuration = 1;
        metadata.clockRoundTripMilliseconds = -bad;
        EXPECT_THROW(metadata.toWireJson(), DocumentError);
    }
}

TEST(GlossenReplyDecodingTest, UploadRepliesNameTheirFirstProblem)
{
    const auto decode = [](const QByteArray& body) {
        GlossenUploadResponse::decode(body);
    };
    const std::pair<QByteArray, QString> cases[] = {
        {R"({"gateway_job_id":"j","ebbcast_chunk_id":"c","status_url":"u","unknown":{}})", u""_s},
        {R"({"gateway_job_id":"j","ebbcast_chunk_id":"c","status_url":"u","collection_id":null})", u""_s},
        {R"({"ebbcast_chunk_id":"c","status_url":"u"})", u"gateway_job_id"_s},
        {R"({"gateway_job_id":"","ebbcast_chunk_id":"c","status_url":"u"})", u"gateway_job_id"_s},
        {R"({"gateway_job_id":".","ebbcast_chunk_id":"c","status_url":"u"})", u"gateway_job_id"_s},
        {R"({"gateway_job_id":"..","ebbcast_chunk_id":"c","status_url":"u"})", u"gateway_job_id"_s},
        {R"({"gateway_job_id":7,"ebbcast_chunk_id":"c","status_url":"u"})", u"gateway_job_id"_s},
        {R"({"gateway_job_id":"j","status_url":"u"})", u"ebbcast_chunk_id"_s},
        {R"({"gateway_job_id":"j","ebbcast_chunk_id":"c","status_url":null})", u"status_url"_s},
        {R"({"gateway_job_id":"j","ebbcast_chunk_id":"c","status_url":"u","collection_id":3})",
         u"collection_id"_s},
        {R"([])", u"(not an object)"_s},
    };
    for (const auto& [body, problem] : cases)
        EXPECT_EQ(decodeProblem(decode, body), problem) << body.toStdString();

    const GlossenUploadResponse full = GlossenUploadResponse::decode(
        R"({"gateway_job_id":"j","ebbcast_chunk_id":"c","status_url":"u","collection_id":"k"})");
    EXPECT_EQ(full, (GlossenUploadResponse{u"j"_s, u"c"_s, u"u"_s, u"k"_s}));
}

TEST(GlossenReplyDecodingTest, ArtifactIntegersMustBeExactJsonIntegers)
{
    const auto decode = [](const QByteArray& body) {
        GlossenArtifactsResponse::decode(body);
    };
    const std::pair<QByteArray, QString> cases[] = {
        {R"({"artifacts":[{"id":3}]})", u""_s},
        {R"({"artifacts":[{"id":-3,"size_bytes":0}]})", u""_s},
        {R"({"artifacts":[{"id":3.5}]})", u"artifacts[0].id"_s},
        {R"({"artifacts":[{"id":1e300}]})", u"artifacts[0].id"_s},
        {R"({"artifacts":[{"id":"3"}]})", u"artifacts[0].id"_s},
        {R"({"artifacts":[{"id":true}]})", u"artifacts[0].id"_s},
        {R"({"artifacts":[{"id":null}]})", u"artifacts[0].id"_s},
        {R"({"artifacts":[{"id":1},{"id":2,"size_bytes":1.5}]})", u"artifacts[1].size_bytes"_s},
        {R"({"artifacts":[{"id":1,"artifact_type":["t"]}]})", u"artifacts[0].artifact_type"_s},
        {R"({"artifacts":[{"id":1,"checksum":1}]})", u"artifacts[0].checksum"_s},
        {R"({"artifacts":[7]})", u"artifacts[0]"_s},
        {R"({"artifacts":null})", u"artifacts"_s},
        {R"({"gateway_job_id":"","artifacts":[]})", u"gateway_job_id"_s},
        {R"({})", u"artifacts"_s},
    };
    for (const auto& [body, problem] : cases)
        EXPECT_EQ(decodeProblem(decode, body), problem) << body.toStdString();

    const GlossenArtifactsResponse bare = GlossenArtifactsResponse::decode(R"({"artifacts":[{"id":4}]})");
    ASSERT_EQ(bare.artifacts.size(), 1U);
    EXPECT_EQ(bare.artifacts[0], (GlossenArtifact{4, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_FALSE(bare.gatewayJobID.has_value());

    const GlossenArtifactsResponse full = GlossenArtifactsResponse::decode(
        R"({"gateway_job_id":"j","artifacts":[{"id":9007199254740993,"artifact_type":"transcript",)"
        R"("checksum":"sha256:ab","size_bytes":9007199254740993}]})");
    ASSERT_EQ(full.artifacts.size(), 1U);
    EXPECT_EQ(full.artifacts[0].id, 9007199254740993);
    EXPECT_EQ(full.artifacts[0].sizeBytes, 9007199254740993);
    EXPECT_EQ(full.artifacts[0].artifactType, u"transcript"_s);
}

TEST(GlossenReplyDecodingTest, JobRepliesKeepCompletionTimeAsText)
{
    const GlossenJobStatus status = GlossenJobStatus::decode(
        R"({"job":{"id":"j","state":"completed","glossen_job_id":"g-1","completed_at":"yesterday-ish"}})");
    EXPECT_EQ(status.job, (GlossenGatewayJob{u"j"_s, u"completed"_s, u"g-1"_s, u"yesterday-ish"_s}));
    const GlossenJobStatus bare = GlossenJobStatus::decode(R"({"job":{"id":"j","state":""}})");
    EXPECT_FALSE(bare.job.glossenJobID.has_value());
    EXPECT_FALSE(bare.job.completedAt.has_value());
    EXPECT_THROW(GlossenJobStatus::decode(R"({"job":{"id":"..","state":"x"}})"), GlossenReplyError);
}

} // namespace
} // namespace ebbcast
