#include "TranscriptSetFixtures.h"
#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/SessionChunks.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::TemporaryFolder;

class TranscriptSetAtomicityTest : public ::testing::Test {
protected:
    // Writes the case's set once, as an earlier assembly would have, and returns what is on disk.
    std::map<QString, QByteArray> writeOlderSet(const test::TranscriptCase& transcriptCase)
    {
        const auto writer = test::writerFor(transcriptCase, logger_);
        writer->writeFinalTranscriptArtifacts(transcriptCase.sessionFolder, transcriptCase.session,
                                              readSessionChunks(transcriptCase.sessionFolder));
        return test::transcriptFolderContent(transcriptCase.sessionFolder);
    }

    static void setChunkText(const QString& chunkDocument, const QString& text)
    {
        QJsonObject chunk = QJsonDocument::fromJson(TemporaryFolder::readAll(chunkDocument)).object();
        chunk.insert("transcript_text"_L1, text);
        TemporaryFolder::writeAll(chunkDocument, QJsonDocument(chunk).toJson());
    }

    TemporaryFolder folder_;
    Logger logger_{folder_.file(u"log/app.log"_s)};
};

TEST_F(TranscriptSetAtomicityTest, AFailedWriteKeepsTheOlderSetWhole)
{
    for (int failing = 0; failing < 8; ++failing) {
        SCOPED_TRACE("failing write " + std::to_string(failing));
        TemporaryFolder root;
        test::TranscriptCase transcriptCase = test::prepareTranscriptCase(u"two_tracks"_s, root.path());
        const auto before = writeOlderSet(transcriptCase);
        ASSERT_EQ(before.size(), 8u);

        setChunkText(transcriptCase.sessionFolder + u"/chunks/microphone_chunk_0000.json"_s, u"Changed."_s);
        transcriptCase.generatedAt = transcriptCase.generatedAt.addSecs(3600);
        int writes = 0;
        QStringList written;
        const auto failingWriter = [&](const QString& path, const QByteArray& bytes) {
            written.append(path);
            if (writes++ == failing) {
                // Half a file, then the disk gives up.
                TemporaryFolder::writeAll(path, bytes.left(bytes.size() / 2));
                throw FileError(FileError::Code::writeFailed, path, u"No space left on device"_s);
            }
            StagedFileSet::writeSynced(path, bytes);
        };
        const auto writer = test::writerFor(transcriptCase, logger_, failingWriter);
        EXPECT_THROW(writer->writeFinalTranscriptArtifacts(transcriptCase.sessionFolder,
                                                           transcriptCase.session,
                                                           readSessionChunks(transcriptCase.sessionFolder)),
                     FileError);
        EXPECT_EQ(writes, failing + 1);
        // Every write went to a staging name, never to a document itself.
        for (const QString& path : std::as_const(written))
            EXPECT_TRUE(path.section(u'/', -1).startsWith(u".ebbcast_"_s)) << path.toStdString();
        EXPECT_EQ(test::transcriptFolderContent(transcriptCase.sessionFolder), before);
    }
}

TEST_F(TranscriptSetAtomicityTest, AFullDiskKeepsTheOlderSetWhole)
{
    TemporaryFolder root;
    test::SmallDisk disk(root.file(u"disk"_s), 1024);
    if (!disk.isMounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    test::TranscriptCase transcriptCase = test::prepareTranscriptCase(u"two_tracks"_s, root.file(u"disk"_s));
    const auto before = writeOlderSet(transcriptCase);
    ASSERT_EQ(before.size(), 8u);

    // A long text makes the new set some 60 KB; the disk is then filled up to 16 KB.
    setChunkText(transcriptCase.sessionFolder + u"/chunks/system_audio_chunk_0001.json"_s,
                 QString(8 * 1024, u'w'));
    QStringList fillers;
    for (int i = 0;; ++i) {
        QFile filler(disk.file(u"filler-"_s + QString::number(i)));
        if (!filler.open(QIODevice::WriteOnly) || filler.write(QByteArray(4096, 'f')) != 4096 ||
            !filler.flush())
            break;
        filler.close();
        fillers.append(filler.fileName());
    }
    for (int i = 0; i < 4 && !fillers.isEmpty(); ++i)
        QFile::remove(fillers.takeLast());

    transcriptCase.generatedAt = transcriptCase.generatedAt.addSecs(60);
    const auto writer = test::writerFor(transcriptCase, logger_);
    EXPECT_THROW(writer->writeFinalTranscriptArtifacts(transcriptCase.sessionFolder, transcriptCase.session,
                                                       readSessionChunks(transcriptCase.sessionFolder)),
                 FileError);
    EXPECT_EQ(test::transcriptFolderContent(transcriptCase.sessionFolder), before);

    // With room again, the next assembly replaces the whole set.
    for (const QString& filler : std::as_const(fillers))
        QFile::remove(filler);
    writer->writeFinalTranscriptArtifacts(transcriptCase.sessionFolder, transcriptCase.session,
                                          readSessionChunks(transcriptCase.sessionFolder));
    const auto after = test::transcriptFolderContent(transcriptCase.sessionFolder);
    ASSERT_EQ(after.size(), 8u);
    for (const auto& [name, bytes] : after)
        EXPECT_NE(bytes, before.at(name)) << name.toStdString();
}

TEST_F(TranscriptSetAtomicityTest, StrayStagedFilesAreRemovedAndOtherFilesKept)
{
    const test::TranscriptCase transcriptCase = test::prepareTranscriptCase(u"two_tracks"_s, folder_.path());
    const QString transcripts = transcriptCase.sessionFolder + u"/transcripts/"_s;
    QDir().mkpath(transcripts);
    // What a process killed during an earlier assembly leaves behind.
    TemporaryFolder::writeAll(transcripts + u".ebbcast_staged_02 Timeline.json"_s, "{ half");
    TemporaryFolder::writeAll(transcripts + u".ebbcast_staged_03 Raw Transcript.md"_s, "# Raw");
    TemporaryFolder::writeAll(transcripts + u".ebbcast_staged_05 Summary.md"_s, "of a set with more files");
    TemporaryFolder::writeAll(transcripts + u"00 Session Brief.md"_s, "older brief");
    // Files of others stay.
    TemporaryFolder::writeAll(transcripts + u".ebbcast_transcript_state.json"_s, "{}");
    TemporaryFolder::writeAll(transcripts + u"microphone_chunk_0000.txt"_s, "chunk text");

    writeOlderSet(transcriptCase);
    const auto content = test::transcriptFolderContent(transcriptCase.sessionFolder);
    QStringList names;
    for (const auto& [name, bytes] : content)
        names.append(name);
    QStringList expected = test::transcriptSetNames();
    expected.append(u".ebbcast_transcript_state.json"_s);
    expected.append(u"microphone_chunk_0000.txt"_s);
    expected.sort();
    EXPECT_EQ(names, expected);
    EXPECT_EQ(content.at(u".ebbcast_transcript_state.json"_s), "{}");
    EXPECT_NE(content.at(u"00 Session Brief.md"_s), "older brief");
}

TEST_F(TranscriptSetAtomicityTest, ReplacedDocumentsKeepTheirMode)
{
    const test::TranscriptCase transcriptCase = test::prepareTranscriptCase(u"two_tracks"_s, folder_.path());
    writeOlderSet(transcriptCase);
    const QString brief = transcriptCase.sessionFolder + u"/transcripts/00 Session Brief.md"_s;
    ASSERT_EQ(::chmod(QFile::encodeName(brief).constData(), 0640), 0);
    writeOlderSet(transcriptCase);
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(brief).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(TranscriptSetAtomicityTest, FolderThatCannotBeMadeFailsBeforeAnythingIsWritten)
{
    const test::TranscriptCase transcriptCase = test::prepareTranscriptCase(u"two_tracks"_s, folder_.path());
    TemporaryFolder::writeAll(transcriptCase.sessionFolder + u"/transcripts"_s, "a file in the way");
    const auto writer = test::writerFor(transcriptCase, logger_);
    try {
        writer->writeFinalTranscriptArtifacts(transcriptCase.sessionFolder, transcriptCase.session,
                                              readSessionChunks(transcriptCase.sessionFolder));
        FAIL() << "no error";
    } catch (const FileError& error) {
        EXPECT_EQ(error.code(), FileError::Code::createDirectoryFailed);
    }
    EXPECT_EQ(TemporaryFolder::readAll(transcriptCase.sessionFolder + u"/transcripts"_s),
              "a file in the way");
}

} // namespace
} // namespace ebbcast
