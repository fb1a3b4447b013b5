#include "TranscriptSetFixtures.h"
#include "core/base/Logger.h"
#include "support/TemporaryFolder.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/SessionChunks.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::TemporaryFolder;

constexpr int pairs = 120; // 240 chunks, ten hours on two tracks

FinalTranscriptWriter writerAt(Logger& logger, const QDateTime& now)
{
    return FinalTranscriptWriter({u"studio-7"_s}, logger, {}, {}, [now] { return now; });
}

// Everything that names the time of assembly in a set, by file; the brief and clean transcript carry it in
// their text, the JSON documents as "generated_at".
std::vector<std::string> generationTimes(const QString& sessionFolder)
{
    std::vector<std::string> times;
    const QString transcripts = sessionFolder + u"/transcripts/"_s;
    for (const QString& name : {u"02 Timeline.json"_s, u"04 Provenance.json"_s, u"session_timeline.json"_s}) {
        // A torn document does not parse and yields no time.
        const auto document =
            nlohmann::json::parse(TemporaryFolder::readAll(transcripts + name).toStdString(), nullptr, false);
        const bool whole = document.is_object() && document.contains("generated_at");
        times.push_back(whole ? document["generated_at"].get<std::string>() : std::string());
    }
    const QString brief = QString::fromUtf8(TemporaryFolder::readAll(transcripts + u"00 Session Brief.md"_s));
    const qsizetype at = brief.indexOf(u"- Generated: "_s);
    times.push_back(at < 0 ? std::string() : brief.mid(at + 13, 20).toStdString());
    return times;
}

TEST(TranscriptSetCrashTest, AKilledAssemblyIsMadeWholeByTheNextOne)
{
    TemporaryFolder root;
    const QString folder = test::makeLongSession(root.path(), pairs, 512);
    const SessionMetadata session = test::longSessionMetadata(pairs);
    Logger logger(root.file(u"app.log"_s));
    const QDateTime older(QDate(2026, 12, 12), QTime(18, 0), Qt::UTC);
    auto olderWriter = writerAt(logger, older);
    olderWriter.writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder));

    for (int trial = 0; trial < 30; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        QProcess probe;
        probe.start(QStringLiteral(EBBCAST_TRANSCRIPT_ASSEMBLY_PROBE),
                    {folder, u"2027-01-01T00:00:00Z"_s, root.file(u"probe.log"_s)});
        ASSERT_TRUE(probe.waitForStarted(30'000));
        ASSERT_TRUE(probe.waitForReadyRead(60'000)) << "the probe never began";
        QThread::msleep(QRandomGenerator::global()->bounded(1, 120));
        probe.kill(); // SIGKILL
        ASSERT_TRUE(probe.waitForFinished(30'000));

        // Every document is whole, old or new (the JSON ones parse); staged files may be left.
        for (const QString& name : test::transcriptSetNames())
            ASSERT_FALSE(TemporaryFolder::readAll(folder + u"/transcripts/"_s + name).isEmpty())
                << name.toStdString();
        for (const std::string& time : generationTimes(folder))
            ASSERT_EQ(time.size(), 20u);

        const QDateTime next = older.addSecs(trial + 1);
        auto writer = writerAt(logger, next);
        writer.writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder));
        const auto content = test::transcriptFolderContent(folder);
        ASSERT_EQ(content.size(), 8u);
        for (const auto& [name, bytes] : content)
            EXPECT_FALSE(name.startsWith(u'.')) << name.toStdString();
        const std::string expected = next.toString(Qt::ISODate).toStdString();
        for (const std::string& time : generationTimes(folder))
            EXPECT_EQ(time, expected);
    }
}

TEST(LongSessionTest, TwoHundredFortyChunksInOrderWithNothingLost)
{
    TemporaryFolder root;
    const QString folder = test::makeLongSession(root.path(), pairs, 5 * 1024);
    Logger logger(root.file(u"app.log"_s));
    auto writer = writerAt(logger, QDateTime(QDate(2026, 12, 12), QTime(18, 0), Qt::UTC));
    const auto chunks = readSessionChunks(folder);
    ASSERT_EQ(chunks.size(), 240u);
    const FinalTranscriptArtifacts artifacts =
        writer.writeFinalTranscriptArtifacts(folder, test::longSessionMetadata(pairs), chunks);
    EXPECT_EQ(artifacts.status, u"ready"_s);

    const auto timeline = nlohmann::json::parse(TemporaryFolder::readAll(artifacts.timeline).toStdString());
    const auto provenance =
        nlohmann::json::parse(TemporaryFolder::readAll(artifacts.provenance).toStdString());
    ASSERT_EQ(timeline["chunks"].size(), 240u);
    ASSERT_EQ(provenance["source_artifacts"].size(), 240u);
    const int empty = pairs / 10;
    EXPECT_EQ(timeline["segments"].size(), static_cast<size_t>(240 - empty));

    // Chunk order throughout: microphone then system audio, index by index.
    const QString clean = QString::fromUtf8(TemporaryFolder::readAll(artifacts.cleanTranscript));
    const QString raw = QString::fromUtf8(TemporaryFolder::readAll(artifacts.rawTranscript));
    const QStringList plainLines = artifacts.plainText.split(u"\n\n"_s);
    ASSERT_EQ(plainLines.size(), 240 - empty);
    qsizetype cleanAt = 0;
    qsizetype rawAt = 0;
    int line = 0;
    for (size_t i = 0; i < 240; ++i) {
        const auto& source = timeline["chunks"][i];
        const std::string track = i % 2 == 0 ? "microphone" : "system_audio";
        const int index = static_cast<int>(i / 2);
        ASSERT_EQ(source["track"], track) << i;
        ASSERT_EQ(source["sequence"], index) << i;
        ASSERT_EQ(provenance["source_artifacts"][i]["source_file"],
                  "chunks/" + source["source_chunk"].get<std::string>());
        const QString name = QString::fromStdString(track) + QString::asprintf("_chunk_%04d", index);
        rawAt = raw.indexOf(u"`"_s + name, rawAt);
        ASSERT_GE(rawAt, 0) << "raw transcript lacks or misorders " << name.toStdString();
        if (source.contains("transcript_text")) {
            cleanAt = clean.indexOf(u"["_s + name + u"]"_s, cleanAt);
            ASSERT_GE(cleanAt, 0) << "clean transcript lacks or misorders " << name.toStdString();
            ASSERT_TRUE(plainLines[line++].contains(u"["_s + name + u"]"_s)) << name.toStdString();
        }
    }
    EXPECT_EQ(clean.count(u"\n## "_s), 240 - empty);
    EXPECT_EQ(raw.count(u"\n## Sequence "_s), 240);
}

} // namespace
} // namespace ebbcast
