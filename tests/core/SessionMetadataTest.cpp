#include "core/SampleDocuments.h"
#include "core/base/EbbcastError.h"
#include "core/documents/ActiveAppMetadata.h"
#include "core/documents/MetadataWriter.h"
#include "core/json/DocumentEncoder.h"
#include "core/json/JsonDocumentFile.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Removes the member at a "/"-separated path ("recorder/id", "live_chunks/0/kind").
QJsonValue without(const QJsonValue& value, QStringList path)
{
    const QString head = path.takeFirst();
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        const int index = head.toInt();
        if (path.isEmpty())
            array.removeAt(index);
        else
            array[index] = without(array.at(index), path);
        return array;
    }
    QJsonObject object = value.toObject();
    if (path.isEmpty())
        object.remove(head);
    else
        object[head] = without(object.value(head), path);
    return object;
}

QJsonValue replaced(const QJsonValue& value, QStringList path, const QJsonValue& replacement)
{
    const QString head = path.takeFirst();
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        array[head.toInt()] =
            path.isEmpty() ? replacement : replaced(array.at(head.toInt()), path, replacement);
        return array;
    }
    QJsonObject object = value.toObject();
    object[head] = path.isEmpty() ? replacement : replaced(object.value(head), path, replacement);
    return object;
}

// Readable test names: the member path with its separators replaced.
std::string caseName(const char* path, size_t index)
{
    std::string name = std::to_string(index) + "_" + path;
    for (char& c : name)
        if (c == '/')
            c = '_';
    return name;
}

class RequiredMember : public ::testing::TestWithParam<const char*> {};

TEST_P(RequiredMember, MissingMakesTheWholeDocumentUnreadable)
{
    const QJsonObject complete = test::completeSession().toJson();
    ASSERT_TRUE(SessionMetadata::fromJson(complete).has_value());
    const QJsonValue broken = without(complete, QString::fromLatin1(GetParam()).split(u'/'));
    EXPECT_FALSE(SessionMetadata::fromJson(broken).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    SessionMetadata, RequiredMember,
    ::testing::Values("session_id", "start_time", "active_app_name", "active_app_bundle_id", "recorder",
                      "display", "audio_device_names", "system_audio_capture", "markers", "file_paths",
                      "app_version", "recorder/id", "recorder/name", "display/id", "display/width",
                      "display/height", "audio_device_names/microphone", "audio_device_names/system_audio",
                      "system_audio_capture/source", "system_audio_capture/status",
                      "system_audio_capture/buffer_count", "system_audio_capture/last_level",
                      "system_audio_capture/note", "file_paths/screen", "file_paths/system_audio",
                      "file_paths/microphone", "file_paths/metadata", "wrap_up/status", "wrap_up/note",
                      "markers/0/id", "markers/0/timestamp", "markers/0/created_at", "markers/0/label",
                      "clock_sync/provider", "clock_sync/url", "clock_sync/samples", "clock_sync/status",
                      "clock_sync/best_sample/server_time", "clock_sync/samples/1/round_trip_ms",
                      "live_chunks/0/index", "live_chunks/0/kind", "live_chunks/0/start_time",
                      "live_chunks/0/end_time", "live_chunks/0/duration", "live_chunks/0/file_path"),
    [](const auto& testCase) { return caseName(testCase.param, testCase.index); });

struct BadValue {
    const char* path;
    QJsonValue value;
};

void PrintTo(const BadValue& bad, std::ostream* out)
{
    *out << bad.path << " = "
         << QJsonDocument(QJsonArray{bad.value}).toJson(QJsonDocument::Compact).toStdString();
}

class MistypedMember : public ::testing::TestWithParam<BadValue> {};

TEST_P(MistypedMember, MakesTheDocumentUnreadable)
{
    const QJsonValue broken = replaced(test::completeSession().toJson(),
                                       QString::fromLatin1(GetParam().path).split(u'/'), GetParam().value);
    EXPECT_FALSE(SessionMetadata::fromJson(broken).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    SessionMetadata, MistypedMember,
    ::testing::Values(BadValue{"start_time", u"2026-12-06T08:15:02.700Z"_s},
                      BadValue{"start_time", u"2026-12-06 08:15:02"_s}, BadValue{"start_time", 1765008902},
                      BadValue{"end_time", u"2026-13-06T08:15:02Z"_s}, BadValue{"duration", u"3600"_s},
                      BadValue{"display/id", -1}, BadValue{"display/id", 4294967296LL},
                      BadValue{"display/width", 2560.5}, BadValue{"interrupted", u"true"_s},
                      BadValue{"markers", QJsonObject{}}, BadValue{"live_chunks", u"none"_s},
                      BadValue{"live_chunks/0/index", 1.5}, BadValue{"session_id", QJsonValue::Null},
                      BadValue{"recorder", u"velno"_s}),
    [](const auto& testCase) { return caseName(testCase.param.path, testCase.index); });

TEST(SessionMetadata, MissingOrNullOptionalMembersReadAsNoValue)
{
    QJsonObject json = test::completeSession().toJson();
    for (const auto* key :
         {"end_time", "duration", "clock_sync", "interrupted", "interruption_note", "wrap_up", "live_chunks"})
        json.remove(QString::fromLatin1(key));
    json.insert(u"wrap_up"_s, QJsonValue::Null);
    json.insert(u"unknown_future_member"_s, u"ignored"_s);

    const auto decoded = SessionMetadata::fromJson(json);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_FALSE(decoded->endTime || decoded->duration || decoded->clockSync || decoded->interrupted ||
                 decoded->interruptionNote || decoded->wrapUp || decoded->liveChunks);
}

TEST(SessionMetadata, DatesKeepOnlyWholeSecondsAndReadOffsetsAsUtc)
{
    // 09:15:02.700 in a UTC+1 zone is written as 08:15:02Z and reads back without the 0.7 s.
    RecordingChunkMetadata chunk = test::completeChunk();
    chunk.startTime = QDateTime(QDate(2026, 12, 6), QTime(9, 15, 2, 700), Qt::OffsetFromUTC, 3600);
    const QJsonObject json = chunk.toJson();
    EXPECT_EQ(json.value(u"start_time"_s).toString(), u"2026-12-06T08:15:02Z"_s);
    const auto decoded = RecordingChunkMetadata::fromJson(json);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->startTime, QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC));

    QJsonObject withOffset = json;
    withOffset.insert(u"start_time"_s, u"2026-12-06T09:15:02+01:00"_s);
    EXPECT_EQ(RecordingChunkMetadata::fromJson(withOffset)->startTime, decoded->startTime);
}

TEST(SessionMetadata, CompletingAStartedDocumentAddsEndTimeAndDurationAndNeverWritesNull)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"metadata.json"_s);
    SessionMetadata session = test::startedSession();

    MetadataWriter::write(session, path);
    const QByteArray started = test::TemporaryFolder::readAll(path);
    EXPECT_FALSE(started.contains("null"));
    EXPECT_FALSE(started.contains("end_time"));
    EXPECT_TRUE(started.contains("\"live_chunks\" : []"));
    EXPECT_TRUE(started.contains("\"markers\" : []"));

    session.endTime = session.startTime.addSecs(90);
    session.duration = 90.0;
    MetadataWriter::write(session, path);
    const QByteArray completed = test::TemporaryFolder::readAll(path);
    EXPECT_FALSE(completed.contains("null"));
    EXPECT_TRUE(completed.contains("\"end_time\" : \"2026-12-06T08:16:32Z\""));
    EXPECT_TRUE(completed.contains("\"duration\" : 90"));

    const auto reread = JsonDocumentFile::readObject(path);
    ASSERT_TRUE(reread.has_value());
    EXPECT_EQ(SessionMetadata::fromJson(*reread), session);
}

TEST(SessionMetadata, WriteFailureLeavesTheOldDocumentInPlace)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"metadata.json"_s);
    MetadataWriter::write(test::startedSession(), path);
    const QByteArray before = test::TemporaryFolder::readAll(path);

    SessionMetadata unencodable = test::startedSession();
    unencodable.duration = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(MetadataWriter::write(unencodable, path), EbbcastError);
    EXPECT_THROW(MetadataWriter::write(test::startedSession(), folder.file(u"missing/metadata.json"_s)),
                 EbbcastError);
    EXPECT_EQ(test::TemporaryFolder::readAll(path), before);
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"metadata.json"_s})
        << "no temporary file is left behind";
}

TEST(SessionMetadata, UnreadableFilesAreTreatedAsAbsent)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"metadata.json"_s);
    EXPECT_FALSE(JsonDocumentFile::readObject(path).has_value());
    for (const QByteArray& bytes : {QByteArray("{\"session_id\" : "), QByteArray("[]"), QByteArray(""),
                                    QByteArray("{} trailing"), QByteArray("\xff\xfe{}")}) {
        test::TemporaryFolder::writeAll(path, bytes);
        EXPECT_FALSE(JsonDocumentFile::readObject(path).has_value()) << bytes.constData();
    }
}

TEST(SessionMetadata, FixedValuesCarryTheirExactTexts)
{
    const auto unavailable = SystemAudioCaptureMetadata::unavailable();
    EXPECT_EQ(unavailable.source, u"ScreenCaptureKit system audio"_s);
    EXPECT_EQ(unavailable.status, u"unavailable"_s);
    EXPECT_EQ(unavailable.bufferCount, 0);
    EXPECT_FALSE(unavailable.firstBufferAt.has_value());
    EXPECT_EQ(unavailable.note, u"No ScreenCaptureKit system-audio buffers arrived."_s);

    EXPECT_EQ(WrapUpSessionMetadata::pending().toJson(),
              (QJsonObject{{u"status"_s, u"pending"_s},
                           {u"note"_s, u"Wrap-up note requested for this recording session."_s}}));
    EXPECT_EQ(WrapUpSessionMetadata::complete(u"/s/w.mov"_s, u"/s/w.json"_s).toJson(),
              (QJsonObject{{u"status"_s, u"complete"_s},
                           {u"file_path"_s, u"/s/w.mov"_s},
                           {u"metadata_path"_s, u"/s/w.json"_s},
                           {u"note"_s, u"Wrap-up note is attached to this recording session."_s}}));
    EXPECT_EQ(WrapUpSessionMetadata::failed(u"Camera unavailable"_s).toJson(),
              (QJsonObject{{u"status"_s, u"failed"_s}, {u"note"_s, u"Camera unavailable"_s}}));

    EXPECT_EQ(ActiveAppMetadata({u"Zoom"_s, u"zoom.us"_s}).toJson(),
              (QJsonObject{{u"name"_s, u"Zoom"_s}, {u"bundleIdentifier"_s, u"zoom.us"_s}}));
}

TEST(SessionMetadata, ChunkDocumentSitsBesideItsAudioFile)
{
    EXPECT_EQ(MetadataWriter::chunkDocumentPath(u"/s/chunks/mic_chunk_0001.wav"_s),
              u"/s/chunks/mic_chunk_0001.json"_s);
    EXPECT_EQ(MetadataWriter::chunkDocumentPath(u"/s.d/chunks/system_chunk_0012.m4a"_s),
              u"/s.d/chunks/system_chunk_0012.json"_s);

    test::TemporaryFolder folder;
    const QString path = MetadataWriter::chunkDocumentPath(folder.file(u"mic_chunk_0001.wav"_s));
    MetadataWriter::write(test::completeChunk(), path);
    EXPECT_TRUE(test::TemporaryFolder::readAll(path).contains(
        R"("file_path" : "\/home\/ada\/Movies\/Tavilon\/2026-12-06_09-15-02\/chunks\/mic_chunk_0001.wav")"));
    EXPECT_EQ(RecordingChunkMetadata::fromJson(*JsonDocumentFile::readObject(path)), test::completeChunk());
}

} // namespace
} // namespace ebbcast
