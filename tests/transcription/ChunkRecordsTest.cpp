#include "core/json/JsonDocumentFile.h"
#include "support/TemporaryFolder.h"
#include "transcription/ChunkTranscriptFile.h"
#include "transcription/ChunkTranscriptionStatus.h"
#include "transcription/SessionChunks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(ChunkTranscriptionStatusTest, SixValuesAndOnlyAcceptedIsNotFinal)
{
    const std::pair<QString, bool> known[] = {
        {u"accepted"_s, false}, {u"upload_failed"_s, true},  {u"polling_failed"_s, true},
        {u"complete"_s, true},  {u"complete_empty"_s, true}, {u"complete_missing_transcript"_s, true},
    };
    for (const auto& [text, final] : known) {
        const auto status = chunkTranscriptionStatus(text);
        ASSERT_TRUE(status.has_value()) << text.toStdString();
        EXPECT_EQ(toString(*status), text);
        EXPECT_EQ(isFinal(*status), final) << text.toStdString();
        EXPECT_EQ(isFinalTranscriptionStatus(text), final) << text.toStdString();
    }
    for (const QString& other : {u"Complete"_s, u"done"_s, u""_s, u" complete"_s}) {
        EXPECT_FALSE(chunkTranscriptionStatus(other).has_value()) << other.toStdString();
        EXPECT_FALSE(isFinalTranscriptionStatus(other)) << other.toStdString();
    }
    EXPECT_FALSE(isFinalTranscriptionStatus(std::nullopt));
}

TEST(ChunkTranscriptFileTest, NamesForWriterAndReaders)
{
    struct Case {
        QString kind;
        qint64 index;
        std::optional<QString> writer;
        std::optional<QString> reader;
    };
    const Case cases[] = {
        {u"microphone"_s, 3, u"microphone_chunk_0003.txt"_s, u"microphone_chunk_0003.txt"_s},
        {u"system_audio"_s, 0, u"system_audio_chunk_0000.txt"_s, u"system_audio_chunk_0000.txt"_s},
        {u"mic"_s, 12, u"mic_chunk_0012.txt"_s, u"microphone_chunk_0012.txt"_s},
        {u"MIC"_s, 1, u"MIC_chunk_0001.txt"_s, u"microphone_chunk_0001.txt"_s},
        {u"System"_s, 12345, u"System_chunk_12345.txt"_s, u"system_audio_chunk_12345.txt"_s},
        {u"SYSTEM_AUDIO"_s, 7, u"SYSTEM_AUDIO_chunk_0007.txt"_s, u"system_audio_chunk_0007.txt"_s},
        {u"Camera_2"_s, 5, u"Camera_2_chunk_0005.txt"_s, u"Camera_2_chunk_0005.txt"_s},
        {u"microphone"_s, -1, u"microphone_chunk_-001.txt"_s, u"microphone_chunk_-001.txt"_s},
        {u"microphone"_s, 123456789012, u"microphone_chunk_123456789012.txt"_s,
         u"microphone_chunk_123456789012.txt"_s},
        {u""_s, 1, std::nullopt, std::nullopt},
        {u"../x"_s, 1, std::nullopt, std::nullopt},
        {u"a/b"_s, 1, std::nullopt, std::nullopt},
        {u".."_s, 1, std::nullopt, std::nullopt},
        {u"mic rophone"_s, 1, std::nullopt, std::nullopt},
        {u"x.txt"_s, 1, std::nullopt, std::nullopt},
        {u"mikrofön"_s, 1, std::nullopt, std::nullopt},
        {u"a\nb"_s, 1, std::nullopt, std::nullopt},
        {u"a\\b"_s, 1, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind.toStdString());
        RecordingChunkMetadata chunk;
        chunk.kind = c.kind;
        chunk.index = c.index;
        EXPECT_EQ(ChunkTranscriptFile::writerFileName(chunk), c.writer);
        EXPECT_EQ(ChunkTranscriptFile::readerFileName(chunk), c.reader);
    }
    EXPECT_EQ(ChunkTranscriptFile::path(u"/s/2026-01-01_10-00-00"_s, u"mic_chunk_0001.txt"_s),
              u"/s/2026-01-01_10-00-00/transcripts/mic_chunk_0001.txt"_s);
    EXPECT_EQ(sessionThreadKey(u"rec-1"_s, u"2026-01-01_10-00-00-1"_s),
              u"ebbcast:rec-1:2026-01-01_10-00-00-1"_s);
}

class ReadSessionChunksTest : public ::testing::Test {
protected:
    // A chunk document in the session's "chunks" folder under `name`.
    void writeChunk(const QString& name, const QString& kind, qint64 index, std::optional<double> offset,
                    qint64 startSeconds = 1'700'000'000)
    {
        RecordingChunkMetadata chunk;
        chunk.kind = kind;
        chunk.index = index;
        chunk.startTime = QDateTime::fromSecsSinceEpoch(startSeconds, Qt::UTC);
        chunk.endTime = chunk.startTime.addSecs(300);
        chunk.duration = 300;
        chunk.filePath = folder_.file(u"chunks/"_s + name);
        chunk.startOffsetSeconds = offset;
        QDir().mkpath(folder_.file(u"chunks"_s));
        JsonDocumentFile::write(folder_.file(u"chunks/"_s + name), chunk.toJson());
    }

    QStringList order() const
    {
        QStringList names;
        for (const RecordingChunkMetadata& chunk : readSessionChunks(folder_.path()))
            names.append(QFileInfo(chunk.filePath).fileName());
        return names;
    }

    test::TemporaryFolder folder_;
};

TEST_F(ReadSessionChunksTest, OrdersByOffsetOrStartTimeThenIndexThenKind)
{
    writeChunk(u"sys_1.json"_s, u"system_audio"_s, 1, 300);
    writeChunk(u"mic_1.json"_s, u"microphone"_s, 1, 300);
    writeChunk(u"mic_0.json"_s, u"microphone"_s, 0, 0);
    writeChunk(u"late_index.json"_s, u"microphone"_s, 0, 300);
    writeChunk(u"no_offset_early.json"_s, u"microphone"_s, 9, std::nullopt, 1000);
    writeChunk(u"no_offset.json"_s, u"microphone"_s, 2, std::nullopt);
    writeChunk(u"huge_offset.JSON"_s, u"microphone"_s, 3, 1e6);
    writeChunk(u"tie_b.json"_s, u"screen"_s, 5, 600);
    writeChunk(u"tie_a.json"_s, u"screen"_s, 5, 600);
    EXPECT_EQ(order(), (QStringList{u"mic_0.json"_s, u"late_index.json"_s, u"mic_1.json"_s, u"sys_1.json"_s,
                                    u"tie_a.json"_s, u"tie_b.json"_s, u"no_offset_early.json"_s,
                                    u"huge_offset.JSON"_s, u"no_offset.json"_s}));
}

TEST_F(ReadSessionChunksTest, SkipsWhatIsNotAChunkDocument)
{
    EXPECT_TRUE(readSessionChunks(folder_.path()).empty()) << "no chunks folder";
    QDir().mkpath(folder_.file(u"chunks"_s));
    EXPECT_TRUE(readSessionChunks(folder_.path()).empty()) << "an empty one";
    EXPECT_TRUE(readSessionChunks(folder_.file(u"missing"_s)).empty());

    writeChunk(u"good.json"_s, u"microphone"_s, 0, 0);
    // Valid chunk JSON under an audio name is never read.
    QFile::copy(folder_.file(u"chunks/good.json"_s), folder_.file(u"chunks/mic_chunk_0001.wav"_s));
    test::TemporaryFolder::writeAll(folder_.file(u"chunks/stray.json"_s), R"({"note": "not a chunk"})");
    test::TemporaryFolder::writeAll(folder_.file(u"chunks/broken.json"_s), "{");
    test::TemporaryFolder::writeAll(folder_.file(u"chunks/mistyped.json"_s),
                                    R"({"index":"1","kind":"microphone","start_time":"2026-01-01T00:00:00Z",)"
                                    R"("end_time":"2026-01-01T00:05:00Z","duration":300,"file_path":"x"})");
    QDir().mkpath(folder_.file(u"chunks/folder.json"_s));
    EXPECT_EQ(order(), QStringList{u"good.json"_s});
}

} // namespace
} // namespace ebbcast
