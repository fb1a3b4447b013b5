#include "transcription/FinalTranscriptWriter.h"

#include "TranscriptSetFixtures.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"
#include "support/LogLines.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/SessionChunks.h"
#include "transcription/TranscriptLayout.h"

#include <QDir>
#include <QRegularExpression>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::TemporaryFolder;

struct WrittenCase {
    test::TranscriptCase transcriptCase;
    FinalTranscriptArtifacts artifacts;
};

class FinalTranscriptWriterTest : public ::testing::Test {
protected:
    WrittenCase write(const QString& caseName)
    {
        WrittenCase written{test::prepareTranscriptCase(caseName, folder_.path()), {}};
        const auto writer = test::writerFor(written.transcriptCase, logger_);
        written.artifacts = writer->writeFinalTranscriptArtifacts(
            written.transcriptCase.sessionFolder, written.transcriptCase.session,
            readSessionChunks(written.transcriptCase.sessionFolder));
        return written;
    }

    static QByteArray document(const WrittenCase& written, const QString& name)
    {
        return TemporaryFolder::readAll(written.transcriptCase.sessionFolder + u"/transcripts/"_s + name);
    }

    static nlohmann::ordered_json json(const WrittenCase& written, const QString& name)
    {
        return nlohmann::ordered_json::parse(document(written, name).toStdString());
    }

    TemporaryFolder folder_;
    Logger logger_{folder_.file(u"log/app.log"_s)};
};

// ---- Golden sets: every document byte for byte as checked by hand --------------------------------------

class GoldenTranscriptSetTest : public FinalTranscriptWriterTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(GoldenTranscriptSetTest, DocumentsMatchTheirCheckedBytes)
{
    const QString caseName = QString::fromUtf8(GetParam());
    const WrittenCase written = write(caseName);
    const bool rewrite = qEnvironmentVariableIsSet("EBBCAST_REWRITE_GOLDEN");
    const QString expectedFolder = test::goldenFolder(caseName) + u"/expected"_s;
    const QStringList compared = {u"00 Session Brief.md"_s, u"01 Clean Transcript.md"_s,
                                  u"02 Timeline.json"_s,    u"03 Raw Transcript.md"_s,
                                  u"04 Provenance.json"_s,  u"session_transcript.txt"_s};
    for (const QString& name : compared) {
        SCOPED_TRACE(name.toStdString());
        const QByteArray actual = document(written, name);
        if (rewrite) {
            QDir().mkpath(expectedFolder);
            TemporaryFolder::writeAll(expectedFolder + u'/' + name, actual);
            continue;
        }
        const QByteArray expected = TemporaryFolder::readAll(expectedFolder + u'/' + name);
        EXPECT_TRUE(expected == actual) << test::describeDifference(expected, actual).toStdString();
    }
    // The older names are byte copies of their twins.
    EXPECT_EQ(document(written, u"session_transcript.md"_s), document(written, u"01 Clean Transcript.md"_s));
    EXPECT_EQ(document(written, u"session_timeline.json"_s), document(written, u"02 Timeline.json"_s));
    EXPECT_EQ(document(written, u"session_transcript.txt"_s), written.artifacts.plainText.toUtf8());
    // Nothing but the set (and the per-chunk files the case brought) is left in the folder.
    for (const auto& [name, bytes] : test::transcriptFolderContent(written.transcriptCase.sessionFolder))
        EXPECT_FALSE(name.startsWith(u'.')) << name.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenTranscriptSetTest,
                         ::testing::Values("two_tracks", "mixed_statuses", "fallback_and_kinds", "no_offsets",
                                           "all_empty", "unicode", "moved_folder"));

// ---- What the documents say, independent of their exact bytes -------------------------------------------

TEST_F(FinalTranscriptWriterTest, StatusAndLocationsOfTheSet)
{
    struct Case {
        const char* name;
        const char* status;
        int segments;
    };
    for (const Case& c : {Case{"two_tracks", "ready", 4}, Case{"mixed_statuses", "partial", 1},
                          Case{"all_empty", "partial", 0}, Case{"moved_folder", "ready", 2}}) {
        SCOPED_TRACE(c.name);
        const WrittenCase written = write(QString::fromUtf8(c.name));
        EXPECT_EQ(written.artifacts.status, QString::fromUtf8(c.status));
        const QString transcripts = written.transcriptCase.sessionFolder + u"/transcripts/"_s;
        EXPECT_EQ(written.artifacts.brief, transcripts + u"00 Session Brief.md"_s);
        EXPECT_EQ(written.artifacts.cleanTranscript, transcripts + u"01 Clean Transcript.md"_s);
        EXPECT_EQ(written.artifacts.timeline, transcripts + u"02 Timeline.json"_s);
        EXPECT_EQ(written.artifacts.rawTranscript, transcripts + u"03 Raw Transcript.md"_s);
        EXPECT_EQ(written.artifacts.provenance, transcripts + u"04 Provenance.json"_s);

        const auto timeline = json(written, u"02 Timeline.json"_s);
        EXPECT_EQ(timeline["status"], c.status);
        EXPECT_EQ(timeline["chunks"], timeline["source_chunks"]);
        EXPECT_EQ(timeline["segments"].size(), static_cast<size_t>(c.segments));
        const auto provenance = json(written, u"04 Provenance.json"_s);
        EXPECT_EQ(provenance["generated_at"], timeline["generated_at"]);
        EXPECT_EQ(provenance["source_artifacts"].size(), timeline["chunks"].size());
        std::vector<std::string> names;
        for (const auto& entry : provenance["generated_documents"])
            names.push_back(entry["file_name"]);
        EXPECT_EQ(names, (std::vector<std::string>{"00 Session Brief.md", "01 Clean Transcript.md",
                                                   "02 Timeline.json", "03 Raw Transcript.md",
                                                   "04 Provenance.json"}));
    }
}

TEST_F(FinalTranscriptWriterTest, ThreadKeyNamesTheFolderAndKeysAreRelativeToIt)
{
    // The folder got a "-1" suffix and was moved since its chunks were recorded.
    const WrittenCase written = write(u"moved_folder"_s);
    ASSERT_TRUE(written.transcriptCase.sessionFolder.endsWith(u"-1"_s));
    const auto timeline = json(written, u"02 Timeline.json"_s);
    EXPECT_EQ(timeline["session_id"], "2026-12-06_09-15-00");
    EXPECT_EQ(timeline["thread_key"], "ebbcast:studio-7:2026-12-06_09-15-00-1");
    const auto provenance = json(written, u"04 Provenance.json"_s);
    EXPECT_EQ(provenance["thread_key"], timeline["thread_key"]);
    const auto& artifacts = provenance["source_artifacts"];
    ASSERT_EQ(artifacts.size(), 2u);
    EXPECT_EQ(artifacts[0]["source_file"], "chunks/microphone_chunk_0000.wav"); // recorded elsewhere
    EXPECT_EQ(artifacts[0]["drive_file_id"], "drv-mic-0");
    EXPECT_EQ(artifacts[0]["drive_url"], "https://drive.example.test/file/d/drv-mic-0/view");
    EXPECT_EQ(artifacts[1]["source_file"], "chunks/deeper/system_audio_chunk_0000.m4a"); // inside
    EXPECT_FALSE(artifacts[1].contains("drive_file_id"));
    EXPECT_EQ(provenance["drive_session_folder_id"], "fold-session");
    EXPECT_EQ(provenance["drive_final_transcript_folder_id"], "fold-final");
}

TEST_F(FinalTranscriptWriterTest, ProvenanceRewrittenWithTheDocumentsUploadedSoFar)
{
    const WrittenCase written = write(u"two_tracks"_s);
    const auto before = test::transcriptFolderContent(written.transcriptCase.sessionFolder);
    TranscriptDriveRecord drive;
    drive.sessionFolderID = u"fold-s"_s;
    drive.finalTranscriptFolderID = u"fold-f"_s;
    const QStringList uploaded = {u"00 Session Brief.md"_s, u"01 Clean Transcript.md"_s,
                                  u"02 Timeline.json"_s, u"03 Raw Transcript.md"_s};
    for (const QString& name : uploaded)
        drive.fileIDs.emplace(u"transcripts/"_s + name, u"id-"_s + name.left(2));
    drive.fileIDs.emplace(u"chunks/system_audio_chunk_0001.m4a"_s, u"id-s1"_s);

    test::TranscriptCase later = written.transcriptCase;
    later.generatedAt = later.generatedAt.addSecs(90);
    const auto writer = test::writerFor(later, logger_);
    writer->writeProvenanceFile(written.artifacts.provenance, later.sessionFolder, later.session,
                                readSessionChunks(later.sessionFolder), drive);

    const auto provenance = json(written, u"04 Provenance.json"_s);
    EXPECT_EQ(provenance["generated_at"], "2026-12-06T08:31:30Z");
    EXPECT_EQ(provenance["drive_session_folder_id"], "fold-s");
    EXPECT_EQ(provenance["drive_final_transcript_folder_id"], "fold-f");
    const auto& documents = provenance["generated_documents"];
    ASSERT_EQ(documents.size(), 5u);
    for (size_t i = 0; i < 4; ++i) {
        const std::string id = "id-0" + std::to_string(i);
        EXPECT_EQ(documents[i]["drive_file_id"], id);
        EXPECT_EQ(documents[i]["drive_url"], "https://drive.example.test/file/d/" + id + "/view");
    }
    EXPECT_FALSE(documents[4].contains("drive_file_id")); // not uploaded yet
    const auto& artifacts = provenance["source_artifacts"];
    ASSERT_EQ(artifacts.size(), 4u);
    EXPECT_EQ(artifacts[2]["source_file"], "chunks/system_audio_chunk_0001.m4a");
    EXPECT_EQ(artifacts[2]["drive_file_id"], "id-s1");
    EXPECT_FALSE(artifacts[0].contains("drive_file_id"));

    // Nothing else changed, and no staged file is left.
    auto after = test::transcriptFolderContent(later.sessionFolder);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [name, bytes] : before) {
        if (name != u"04 Provenance.json"_s) {
            EXPECT_EQ(after.at(name), bytes) << name.toStdString();
        }
    }
}

TEST_F(FinalTranscriptWriterTest, RunsOnAWorkerWhileTheRecorderIDChanges)
{
    const test::TranscriptCase transcriptCase = test::prepareTranscriptCase(u"two_tracks"_s, folder_.path());
    const auto writer = test::writerFor(transcriptCase, logger_);
    const auto chunks = readSessionChunks(transcriptCase.sessionFolder);
    const auto work = [&] {
        return writer->writeFinalTranscriptArtifacts(transcriptCase.sessionFolder, transcriptCase.session,
                                                     chunks);
    };
    // The work is built before the await (a lambda inside a co_await expression trips GCC 12).
    const auto assemble = [&work]() -> QCoro::Task<FinalTranscriptArtifacts> {
        co_return co_await runOnWorker(work);
    };
    QCoro::Task<FinalTranscriptArtifacts> running = assemble();
    writer->setConfig({u"studio-8"_s}); // from the main thread, while the worker may read it
    const FinalTranscriptArtifacts artifacts = test::runTask(std::move(running));
    EXPECT_EQ(artifacts.status, u"ready"_s);
    writer->setConfig({u"studio-9"_s});
    EXPECT_EQ(writer->threadKey(transcriptCase.sessionFolder), u"ebbcast:studio-9:2026-12-06_09-15-00"_s);
}

TEST(ChunkUploadKeyTest, RelativeInsideTheFolderElseChunksAndTheFileName)
{
    const struct {
        QString file;
        QString key;
    } cases[] = {
        {u"/data/s/chunks/microphone_chunk_0001.wav"_s, u"chunks/microphone_chunk_0001.wav"_s},
        {u"/data/s/./chunks/../chunks/a.wav"_s, u"chunks/a.wav"_s},
        {u"/data/s/a.wav"_s, u"a.wav"_s},
        {u"/data/s-2/chunks/a.wav"_s, u"chunks/a.wav"_s}, // a sibling with the folder's name as prefix
        {u"/elsewhere/s/chunks/a.wav"_s, u"chunks/a.wav"_s},
        {u"/data/s/../t/chunks/a.wav"_s, u"chunks/a.wav"_s},
        {u"chunks/b.m4a"_s, u"chunks/b.m4a"_s}, // a relative path is taken inside the folder
        {u"/data/s"_s, u"chunks/s"_s},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FinalTranscriptWriter::chunkUploadKey(u"/data/s/"_s, c.file), c.key)
            << c.file.toStdString();
}

// ---- The JSON documents as an independent parser reads them ---------------------------------------------

void expectEncoderRules(const nlohmann::ordered_json& value, const std::string& path)
{
    static const QRegularExpression wholeSecondUtc(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"_s);
    static const std::set<std::string> integers = {"sequence", "sequence_index", "transcript_artifact_id",
                                                   "transcript_artifact_size_bytes"};
    ASSERT_FALSE(value.is_null()) << path;
    if (value.is_object()) {
        std::string previous;
        for (const auto& [key, member] : value.items()) {
            EXPECT_LT(previous, key) << "keys out of order at " << path;
            previous = key;
            const std::string memberPath = path + "." + key;
            if (integers.count(key)) {
                EXPECT_TRUE(member.is_number_integer()) << memberPath;
            }
            if (key.ends_with("_time") || key.ends_with("_at")) {
                EXPECT_TRUE(
                    wholeSecondUtc.match(QString::fromStdString(member.get<std::string>())).hasMatch())
                    << memberPath << " = " << member.dump();
            }
            expectEncoderRules(member, memberPath);
        }
    } else if (value.is_array()) {
        for (size_t i = 0; i < value.size(); ++i)
            expectEncoderRules(value[i], path + "[" + std::to_string(i) + "]");
    }
}

TEST_F(FinalTranscriptWriterTest, JsonDocumentsFollowTheEncoderRules)
{
    for (const char* caseName : {"two_tracks", "mixed_statuses", "unicode", "moved_folder", "no_offsets"}) {
        SCOPED_TRACE(caseName);
        const WrittenCase written = write(QString::fromUtf8(caseName));
        for (const QString& name : {u"02 Timeline.json"_s, u"04 Provenance.json"_s}) {
            SCOPED_TRACE(name.toStdString());
            const QByteArray bytes = document(written, name);
            expectEncoderRules(nlohmann::ordered_json::parse(bytes.toStdString()), "$");
            // Every "/" is escaped, and the document ends with one line break.
            EXPECT_FALSE(QString::fromUtf8(bytes).contains(QRegularExpression(u"[^\\\\]/"_s)));
            EXPECT_TRUE(bytes.endsWith("}\n"));
        }
    }
    // Shortest round-trip numbers and escaped slashes, as written.
    const QByteArray timeline = document(write(u"two_tracks"_s), u"02 Timeline.json"_s);
    EXPECT_TRUE(timeline.contains("\"start_offset_seconds\" : 299.5,")) << timeline.toStdString();
    EXPECT_TRUE(timeline.contains("\"clock_offset_ms\" : 0.1,"));
    EXPECT_TRUE(timeline.contains("\"duration\" : 300,"));
    EXPECT_TRUE(timeline.contains("https:\\/\\/gateway.example.test\\/jobs\\/job-mic-0"));
}

TEST_F(FinalTranscriptWriterTest, PlainTextHasNoFinalLineBreak)
{
    const WrittenCase written = write(u"two_tracks"_s);
    const QByteArray text = document(written, u"session_transcript.txt"_s);
    ASSERT_FALSE(text.isEmpty());
    EXPECT_FALSE(text.endsWith('\n'));
    EXPECT_EQ(text.count("\n\n"), 3); // four chunks with text
    EXPECT_TRUE(document(write(u"all_empty"_s), u"session_transcript.txt"_s).isEmpty());
}

// ---- Texts of chunks and their log lines ----------------------------------------------------------------

TEST_F(FinalTranscriptWriterTest, TextComesFromTheDocumentElseTheChunkFile)
{
    const test::TranscriptCase transcriptCase =
        test::prepareTranscriptCase(u"fallback_and_kinds"_s, folder_.path());
    const auto writer = test::writerFor(transcriptCase, logger_);
    const auto chunks = readSessionChunks(transcriptCase.sessionFolder);
    std::map<std::pair<QString, qint64>, std::optional<QString>> texts;
    for (const auto& chunk : chunks)
        texts[{chunk.kind, chunk.index}] =
            writer->resolvedTranscriptText(transcriptCase.sessionFolder, chunk);

    EXPECT_EQ((texts[{u"microphone"_s, 0}]), u"Text from the chunk file."_s); // blank "transcript_text"
    EXPECT_EQ((texts[{u"mic"_s, 1}]), u"Looked up under the microphone name."_s);
    EXPECT_EQ((texts[{u"camera_notes"_s, 2}]), u"Notes spoken to the camera."_s);
    EXPECT_EQ((texts[{u"system_audio"_s, 3}]), std::nullopt); // nothing anywhere
    EXPECT_EQ((texts[{u"../outside"_s, 4}]), std::nullopt);   // its "file" lies outside "transcripts"

    EXPECT_EQ(test::countLogLines(logger_,
                                  u"Final transcript using local file fallback: kind=microphone index=0 "
                                  u"file=microphone_chunk_0000.txt"_s),
              1);
    EXPECT_EQ(test::countLogLines(logger_, u"Final transcript using local file fallback: kind=mic index=1 "
                                           u"file=microphone_chunk_0001.txt"_s),
              1);
    EXPECT_EQ(test::countLogLines(logger_, u"Final transcript has no text source: kind=system_audio index=3 "
                                           u"expected_file=system_audio_chunk_0003.txt"_s),
              1);
    EXPECT_EQ(test::countLogLines(logger_, u"Final transcript has no text source: kind=../outside index=4 "
                                           u"expected_file=none"_s),
              1);
    EXPECT_EQ(test::countLogLines(logger_, u"kind=camera_notes"_s), 0); // its text was in the document
}

TEST_F(FinalTranscriptWriterTest, UnreadableChunkFilesGiveNoText)
{
    const QString session = folder_.file(u"2026-12-06_09-15-00"_s);
    QDir().mkpath(session + u"/transcripts/system_audio_chunk_0002.txt"_s); // a folder in its place
    TemporaryFolder::writeAll(session + u"/transcripts/microphone_chunk_0001.txt"_s, "\xff\xfe bad UTF-8");
    TemporaryFolder::writeAll(session + u"/transcripts/microphone_chunk_0003.txt"_s, " \r\n\t\xc2\xa0 ");
    const test::TranscriptCase empty{u"x"_s, session, {}, u"r"_s, QDateTime::currentDateTimeUtc(), {}};
    const auto writer = test::writerFor(empty, logger_);
    for (const auto& [kind, index] :
         {std::pair{u"microphone"_s, 1}, std::pair{u"system_audio"_s, 2}, std::pair{u"microphone"_s, 3}}) {
        RecordingChunkMetadata chunk;
        chunk.kind = kind;
        chunk.index = index;
        chunk.transcriptText = u" \n "_s;
        EXPECT_EQ(writer->resolvedTranscriptText(session, chunk), std::nullopt) << index;
    }
    EXPECT_EQ(test::countLogLines(logger_, u"Final transcript has no text source"_s), 3);
}

// ---- Layout rules
// ------------------------------------------------------------------------------------------

TEST(TranscriptLayoutTest, TrackLabels)
{
    const std::pair<QString, QString> cases[] = {
        {u"mic"_s, u"Microphone"_s},
        {u"MICROPHONE"_s, u"Microphone"_s},
        {u"System"_s, u"System Audio"_s},
        {u"system_audio"_s, u"System Audio"_s},
        {u"camera_notes"_s, u"Camera Notes"_s},
        {u"ROOM_MIC_2"_s, u"Room Mic 2"_s},
        {u"whiteboard"_s, u"Whiteboard"_s},
        {u"a__b"_s, u"A  B"_s},
        {u""_s, u""_s},
        {u"élan_vital"_s, u"Élan Vital"_s},
    };
    for (const auto& [kind, label] : cases)
        EXPECT_EQ(TranscriptLayout::trackLabel(kind), label) << kind.toStdString();
}

TEST(TranscriptLayoutTest, TimecodesFallBackFromStoredToOffsetsToDuration)
{
    RecordingChunkMetadata chunk;
    chunk.duration = 299.9996;
    EXPECT_EQ(TranscriptLayout::startTimecode(chunk), u"00:00:00.000"_s);
    EXPECT_EQ(TranscriptLayout::endTimecode(chunk), u"00:05:00.000"_s);
    chunk.startOffsetSeconds = 3600.25;
    chunk.endOffsetSeconds = 3900.5;
    EXPECT_EQ(TranscriptLayout::startTimecode(chunk), u"01:00:00.250"_s);
    EXPECT_EQ(TranscriptLayout::endTimecode(chunk), u"01:05:00.500"_s);
    chunk.timecodeStart = u"stored start"_s;
    chunk.timecodeEnd = u"stored end"_s;
    EXPECT_EQ(TranscriptLayout::startTimecode(chunk), u"stored start"_s);
    EXPECT_EQ(TranscriptLayout::endTimecode(chunk), u"stored end"_s);
}

TEST(TranscriptLayoutTest, CodeFenceOutgrowsEveryBackquoteRun)
{
    const std::pair<QString, int> cases[] = {
        {u""_s, 3},          {u"plain"_s, 3},  {u"`x` and ``y``"_s, 3}, {u"```"_s, 4},
        {u"a\n```\nb"_s, 4}, {u"``````"_s, 7}, {u"`` ````` `"_s, 6},
    };
    for (const auto& [text, length] : cases)
        EXPECT_EQ(TranscriptLayout::codeFence(text), QString(length, u'`')) << text.toStdString();
}

} // namespace
} // namespace ebbcast
