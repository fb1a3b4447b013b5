#include "drive/UploadState.h"

#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "drive/GoogleDriveError.h"
#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

// GCC 12 with the sanitizers takes the assignment into an empty std::optional<QString> for a use of an
// uninitialised value (a false report that -Werror turns into a failed build).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QDateTime utc(int hour, int minute, int second, int millisecond = 0)
{
    return QDateTime(QDate(2026, 12, 6), QTime(hour, minute, second, millisecond), Qt::UTC);
}

const QString sessionURLCanary = u"http://127.0.0.1:9/upload?upload_id=CANARY-session-7f3a"_s;

UploadState completeState()
{
    UploadState state;
    state.driveDayFolderID = u"day-1"_s;
    state.driveFolderID = u"session-1"_s;
    state.driveFolders = {{u"live_chunks"_s, u"f-live"_s},
                          {u"chunk_transcripts"_s, u"f-chunk"_s},
                          {u"final_recording"_s, u"f-rec"_s},
                          {u"final_transcript"_s, u"f-final"_s}};
    state.uploadedFiles = {{u"chunks/mic_chunk_0001.wav"_s, {u"file-a"_s, utc(8, 21, 20)}},
                           {u"metadata.json"_s, {u"file-b"_s, utc(8, 22, 0)}}};
    return state;
}

mode_t modeOf(const QString& path)
{
    struct stat status {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0) << path.toStdString();
    return status.st_mode & 07777;
}

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

class UploadStateFileTest : public ::testing::Test {
protected:
    QString session() const { return folder_.file(u"2026-12-06_08-21-20"_s); }
    QString statePath() const { return session() + u"/.ebbcast_upload_state.json"_s; }
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(session())); }
    int logLines(const QString& text) { return test::countLogLines(logger_, text); }
    QString log()
    {
        logger_.flush();
        return QString::fromUtf8(test::TemporaryFolder::readAll(logger_.logFilePath()));
    }

    test::TemporaryFolder folder_;
    test::ManualClock clock_;
    Logger logger_{folder_.file(u"logs/ebbcast.log"_s)};
    UploadStateFile file_{session(), logger_, [this] {
                              return clock_.now();
                          }};
};

// ---- The stored form ----

TEST_F(UploadStateFileTest, WritesTheCompleteStateByteForByte)
{
    UploadState state = completeState();
    state.pendingUploads = {
        {u"screen.mov"_s, {314572800, utc(8, 30, 1), utc(8, 31, 0), u"http://127.0.0.1:9/up?id=a/b"_s}}};
    file_.save(state);

    const QByteArray expected = R"({
  "drive_day_folder_id" : "day-1",
  "drive_folder_id" : "session-1",
  "drive_folders" : {
    "chunk_transcripts" : "f-chunk",
    "final_recording" : "f-rec",
    "final_transcript" : "f-final",
    "live_chunks" : "f-live"
  },
  "pending_uploads" : {
    "screen.mov" : {
      "modified_at" : "2026-12-06T08:30:01Z",
      "session_url" : "http:\/\/127.0.0.1:9\/up?id=a\/b",
      "size" : 314572800,
      "started_at" : "2026-12-06T08:31:00Z"
    }
  },
  "uploaded_files" : {
    "chunks\/mic_chunk_0001.wav" : {
      "drive_file_id" : "file-a",
      "uploaded_at" : "2026-12-06T08:21:20Z"
    },
    "metadata.json" : {
      "drive_file_id" : "file-b",
      "uploaded_at" : "2026-12-06T08:22:00Z"
    }
  }
}
)";
    EXPECT_EQ(test::TemporaryFolder::readAll(statePath()).toStdString(), expected.toStdString());
    EXPECT_EQ(file_.load(), state);
}

TEST_F(UploadStateFileTest, AnIndependentParserReadsTheFileAsStored)
{
    UploadState state = completeState();
    state.uploadedFiles[u"screen.mov"_s] = {u"file-c"_s, utc(9, 0, 5, 789)};
    file_.save(state);

    const auto json =
        nlohmann::ordered_json::parse(test::TemporaryFolder::readAll(statePath()).toStdString());
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"drive_day_folder_id", "drive_folder_id", "drive_folders",
                                              "uploaded_files"}))
        << "no pending_uploads member while nothing is pending";
    EXPECT_EQ(json["drive_folders"].size(), 4U);
    EXPECT_EQ(json["uploaded_files"]["chunks/mic_chunk_0001.wav"]["drive_file_id"], "file-a");
    EXPECT_EQ(json["uploaded_files"]["screen.mov"]["uploaded_at"], "2026-12-06T09:00:05Z")
        << "dates are whole seconds in UTC";

    // A date given in another zone is stored as the same moment in UTC.
    state.uploadedFiles[u"screen.mov"_s].uploadedAt =
        QDateTime(QDate(2026, 12, 6), QTime(10, 0, 5), Qt::OffsetFromUTC, 3600);
    file_.save(state);
    const auto again = nlohmann::json::parse(test::TemporaryFolder::readAll(statePath()).toStdString());
    EXPECT_EQ(again["uploaded_files"]["screen.mov"]["uploaded_at"], "2026-12-06T09:00:05Z");
}

TEST_F(UploadStateFileTest, AFreshStateWritesOnlyTheTwoMaps)
{
    file_.save(UploadState{});
    EXPECT_EQ(test::TemporaryFolder::readAll(statePath()),
              "{\n  \"drive_folders\" : {},\n  \"uploaded_files\" : {}\n}\n");
}

TEST_F(UploadStateFileTest, TheFileIsPrivateEvenWhenAnOpenOneWasThere)
{
    file_.save(completeState());
    EXPECT_EQ(modeOf(statePath()), 0600U);

    ASSERT_EQ(::chmod(QFile::encodeName(statePath()).constData(), 0644), 0);
    UploadState state = completeState();
    state.pendingUploads[u"screen.mov"_s] = {1, utc(8, 0, 0), utc(8, 0, 1), sessionURLCanary};
    file_.save(state);
    EXPECT_EQ(modeOf(statePath()), 0600U);
    EXPECT_EQ(entriesOf(session()), QStringList{u".ebbcast_upload_state.json"_s})
        << "no temporary file is left";
}

// ---- Reading ----

TEST_F(UploadStateFileTest, AMissingFileIsTheEmptyStateWithoutAMessage)
{
    EXPECT_EQ(file_.load(), UploadState{});
    EXPECT_EQ(log(), QString());
    EXPECT_FALSE(QFileInfo::exists(statePath())) << "reading creates nothing";
}

TEST_F(UploadStateFileTest, EveryMemberIsOptionalWhenReading)
{
    UploadState onlyFiles;
    onlyFiles.uploadedFiles[u"a.txt"_s] = {u"x"_s, utc(8, 0, 0)};
    UploadState onlyRoot;
    onlyRoot.driveFolderID = u"s"_s;
    UploadState pendingWithoutSession;
    pendingWithoutSession.pendingUploads[u"a.txt"_s] = {12, utc(8, 0, 0), utc(8, 0, 2), std::nullopt};

    const struct {
        const char* content;
        UploadState expected;
    } cases[] = {
        {"{}", {}},
        {R"({"drive_folder_id": null, "drive_folders": null, "uploaded_files": null})", {}},
        {R"({"uploaded_files": {"a.txt": {"drive_file_id": "x", "uploaded_at": "2026-12-06T08:00:00Z"}}})",
         onlyFiles},
        {R"({"drive_folder_id": "s", "something_newer": [1, 2, 3]})", onlyRoot},
        {R"({"pending_uploads": {"a.txt": {"size": 12, "modified_at": "2026-12-06T08:00:00Z",
                                           "started_at": "2026-12-06T09:00:02+01:00"}}})",
         pendingWithoutSession},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        test::TemporaryFolder::writeAll(statePath(), c.content);
        EXPECT_EQ(file_.load(), c.expected);
    }
    EXPECT_EQ(logLines(u"upload state"_s), 0);
    EXPECT_EQ(entriesOf(session()), QStringList{u".ebbcast_upload_state.json"_s});
}

TEST_F(UploadStateFileTest, AnUndecodableFileIsKeptAsideAndReadAsEmpty)
{
    const char* const contents[] = {
        "",
        "{\"drive_folder_id\": \"s\", ",
        "[]",
        R"({"drive_folder_id": 7})",
        R"({"drive_folders": ["f-live"]})",
        R"({"uploaded_files": {"a.txt": {"uploaded_at": "2026-12-06T08:00:00Z"}}})",
        R"({"uploaded_files": {"a.txt": {"drive_file_id": "x", "uploaded_at": "2026-12-06T08:00:00.250Z"}}})",
        R"({"uploaded_files": {"a.txt": {"drive_file_id": "x", "uploaded_at": "yesterday"}}})",
        R"({"pending_uploads": {"a.txt": {"size": "12", "modified_at": "2026-12-06T08:00:00Z",
                                          "started_at": "2026-12-06T08:00:00Z",
                                          "session_url": "http://127.0.0.1:9/up?upload_id=CANARY-7f3a"}}})",
    };
    for (const char* content : contents) {
        SCOPED_TRACE(content);
        test::TemporaryFolder file;
        Logger logger(file.file(u"log"_s));
        UploadStateFile stateFile(file.path(), logger, [this] { return clock_.now(); });
        const QByteArray bytes(content);
        test::TemporaryFolder::writeAll(stateFile.path(), bytes);

        EXPECT_EQ(stateFile.load(), UploadState{});

        const QString kept = file.file(u".ebbcast_upload_state.json.corrupt-20261206T081502Z"_s);
        EXPECT_EQ(test::TemporaryFolder::readAll(kept), bytes) << "kept byte for byte";
        EXPECT_FALSE(QFileInfo::exists(stateFile.path()));
        EXPECT_TRUE(UploadRules::isExcludedFromUpload(QFileInfo(kept).fileName()));
        EXPECT_EQ(test::countLogLines(logger, u"[ERROR]"_s), 1);
        EXPECT_EQ(test::countLogLines(logger, kept), 1);
        EXPECT_EQ(test::countLogLines(logger, u"CANARY"_s), 0) << "the content is never logged";
    }
}

TEST_F(UploadStateFileTest, ASecondCorruptFileInTheSameSecondGetsItsOwnName)
{
    for (int round = 0; round < 2; ++round) {
        test::TemporaryFolder::writeAll(statePath(), "not json " + QByteArray::number(round));
        EXPECT_EQ(file_.load(), UploadState{});
    }
    EXPECT_EQ(entriesOf(session()),
              (QStringList{u".ebbcast_upload_state.json.corrupt-20261206T081502Z"_s,
                           u".ebbcast_upload_state.json.corrupt-20261206T081502Z-1"_s}));
    EXPECT_EQ(test::TemporaryFolder::readAll(session() +
                                             u"/.ebbcast_upload_state.json.corrupt-20261206T081502Z-1"_s),
              "not json 1");

    // A save afterwards starts a new file and leaves the kept ones alone.
    file_.save(completeState());
    EXPECT_EQ(file_.load(), completeState());
    EXPECT_EQ(entriesOf(session()).size(), 3);
}

TEST_F(UploadStateFileTest, AFolderOrFifoInPlaceOfTheFileIsMovedAsideWithoutBlocking)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(statePath()).constData(), 0600), 0);
    EXPECT_EQ(file_.load(), UploadState{});
    ASSERT_TRUE(QDir().mkpath(statePath()));
    clock_.advance(1);
    EXPECT_EQ(file_.load(), UploadState{});
    EXPECT_EQ(logLines(u"[ERROR]"_s), 2);

    file_.save(completeState());
    EXPECT_EQ(file_.load(), completeState());
}

// ---- Writing ----

TEST_F(UploadStateFileTest, AFailedSaveThrowsAClearErrorAndKeepsTheOldFile)
{
    file_.save(completeState());
    const QByteArray before = test::TemporaryFolder::readAll(statePath());
    UploadState changed = completeState();
    changed.uploadedFiles[u"screen.mov"_s] = {u"file-c"_s, utc(9, 0, 0)};

    // Nothing can be renamed over a folder, not even by root; and a session folder that is gone has no file.
    const QString blocked = folder_.file(u"blocked"_s);
    ASSERT_TRUE(QDir().mkpath(blocked + u"/.ebbcast_upload_state.json/inside"_s));
    const QString gone = folder_.file(u"gone"_s);
    for (const QString& where : {blocked, gone}) {
        SCOPED_TRACE(where.toStdString());
        const UploadStateFile unwritable(where, logger_);
        try {
            unwritable.save(changed);
            ADD_FAILURE() << "a save that cannot complete reports success";
        } catch (const FileError& error) {
            EXPECT_EQ(error.code(), FileError::Code::writeFailed);
            EXPECT_TRUE(error.description().contains(where)) << error.description().toStdString();
        }
    }
    EXPECT_EQ(test::TemporaryFolder::readAll(statePath()), before);
}

TEST_F(UploadStateFileTest, AFullDiskFailsTheSaveAndKeepsTheRecordedFiles)
{
    test::SmallDisk disk(folder_.file(u"tiny"_s), 64);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const UploadStateFile onDisk(disk.file(QString()), logger_);
    onDisk.save(completeState());
    {
        QFile filler(disk.file(u"filler"_s));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size()) {
        }
    }
    UploadState bigger = completeState();
    for (int i = 0; i < 2000; ++i)
        bigger.uploadedFiles[u"chunks/mic_chunk_%1.wav"_s.arg(i, 4, 10, QChar(u'0'))] = {u"id"_s,
                                                                                         utc(9, 0, 0)};
    try {
        onDisk.save(bigger);
        ADD_FAILURE() << "a save onto a full disk reports success";
    } catch (const FileError& error) {
        EXPECT_TRUE(error.description().contains(u"No space left on device"_s))
            << error.description().toStdString();
    }
    EXPECT_EQ(onDisk.load(), completeState()) << "what was recorded before is not lost";
}

// ---- Pending uploads ----

TEST(PendingUpload, MatchesOnlyTheSameSizeAndModificationSecond)
{
    const PendingUpload pending{1000, utc(8, 0, 0), utc(8, 0, 5), std::nullopt};
    const struct {
        qint64 size;
        QDateTime modifiedAt;
        bool matches;
    } cases[] = {
        {1000, utc(8, 0, 0), true},
        {1000, utc(8, 0, 0, 999), true}, // the stored time has whole seconds
        {1000, utc(8, 0, 1), false},
        {1001, utc(8, 0, 0), false},
        {0, utc(8, 0, 0), false},
        {1000, QDateTime(), false},
        {1000, QDateTime(QDate(2026, 12, 6), QTime(9, 0, 0), Qt::OffsetFromUTC, 3600), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.modifiedAt.toString(Qt::ISODateWithMs).toStdString() + " " + std::to_string(c.size));
        EXPECT_EQ(pending.matches(c.size, c.modifiedAt), c.matches);
    }
}

} // namespace
} // namespace ebbcast
