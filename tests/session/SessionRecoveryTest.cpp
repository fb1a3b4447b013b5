#include "session/SessionRecovery.h"

#include "capture/WavFileWriter.h"
#include "capture/WavHeaderRepair.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/json/JsonDocumentFile.h"
#include "session/SessionLock.h"
#include "support/InterruptedSession.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/ReadOnlyRemount.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <map>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Another process holding a session lock, as a running recording does, until release() or the end of the
// test.
class LockHolderProcess {
public:
    explicit LockHolderProcess(const QString& lockFilePath)
    {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        const QByteArray path = QFile::encodeName(lockFilePath);
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
                ::_exit(1);
            char byte = 1;
            if (::write(ready[1], &byte, 1) != 1)
                ::_exit(1);
            while (::read(release[0], &byte, 1) > 0) {
            }
            ::_exit(0); // the kernel drops the lock with the process
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd_ = release[1];
        char byte = 0;
        holding_ = child_ > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }

    ~LockHolderProcess() { release(); }

    bool holding() const { return holding_; }

    void release()
    {
        if (releaseFd_ >= 0)
            ::close(releaseFd_);
        releaseFd_ = -1;
        if (child_ > 0)
            ::waitpid(child_, nullptr, 0);
        child_ = -1;
        holding_ = false;
    }

private:
    pid_t child_ = -1;
    int releaseFd_ = -1;
    bool holding_ = false;
};

void setAge(const QString& path, const QDateTime& now, int secondsAgo)
{
    const time_t when = now.toSecsSinceEpoch() - secondsAgo;
    utimbuf times{when, when};
    ::utime(QFile::encodeName(path).constData(), &times);
}

// A WAV of `buffers` buffers of 1024 mono frames at 48 kHz whose header claims no audio, as a crash leaves
// it.
void writeCutWav(const QString& path, int buffers)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        const std::vector<float> samples(1024, 0.25F);
        WavFileWriter writer(path, {48000, 1});
        for (int i = 0; i < buffers; ++i)
            writer.write({samples.data(), 1024, 1});
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const qint64 dataSize = file.readAll().indexOf("data") + 4;
    file.seek(dataSize);
    file.write(QByteArray(4, '\0'));
}

class SessionRecoveryTest : public ::testing::Test {
protected:
    RecoveryOutcome recover()
    {
        SessionRecovery recovery(root_, logger_, clock_.wallClock(),
                                 [this](const QString& path) -> std::optional<double> {
                                     const auto found = audioSeconds_.find(QFileInfo(path).fileName());
                                     if (found == audioSeconds_.end())
                                         return std::nullopt;
                                     return found->second;
                                 });
        return recovery.run();
    }

    // A session a crash left: a document without end time, the marker and media files of the given ages.
    QString leftBehind(const QString& name, const std::vector<std::pair<QString, int>>& mediaAges = {})
    {
        const QString folder = root_ + u'/' + name;
        test::writeInterruptedSession(folder, name, start_);
        for (const auto& [file, secondsAgo] : mediaAges) {
            test::TemporaryFolder::writeAll(folder + u'/' + file, "media");
            setAge(folder + u'/' + file, clock_.now(), secondsAgo);
        }
        return folder;
    }

    SessionMetadata document(const QString& folder)
    {
        const auto decoded = SessionMetadata::fromJson(stored(folder));
        EXPECT_TRUE(decoded.has_value());
        return decoded.value_or(SessionMetadata{});
    }

    QJsonObject stored(const QString& folder)
    {
        return JsonDocumentFile::readObject(folder + u"/metadata.json"_s).value_or(QJsonObject{});
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    test::TemporaryFolder folder_;
    QString root_ = folder_.file(u"Recordings"_s);
    Logger logger_{folder_.file(u"app.log"_s)};
    test::ManualClock clock_;
    QDateTime start_ = clock_.now().addSecs(-600);
    std::map<QString, double> audioSeconds_; // what the audio reader says, by file name
};

TEST_F(SessionRecoveryTest, AFolderThatCannotBeWrittenFailsWithTheWriteThatFailed)
{
    test::SmallDisk disk(folder_.file(u"disk"_s), 1024);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    root_ = folder_.file(u"disk"_s);
    const QString folder = leftBehind(u"2026-12-06_09-05-02"_s);
    writeCutWav(folder + u"/microphone.wav"_s, 10);
    if (!test::remountReadOnly(root_))
        GTEST_SKIP() << "cannot remount the tmpfs read-only here";

    const RecoveryOutcome outcome = recover();
    EXPECT_EQ(outcome.kind, RecoveryOutcome::Kind::failed);
    EXPECT_EQ(outcome.folder, folder);
    EXPECT_TRUE(outcome.description.contains(u"metadata.json"_s)) << outcome.description.toStdString();
    EXPECT_EQ(
        countLines(u"[ERROR] Failed to recover interrupted recording session: "_s + outcome.description), 1);
    EXPECT_EQ(countLines(u"[ERROR] Failed to repair audio file header: Could not write the file"_s), 1);
    EXPECT_EQ(countLines(u"Could not read"_s), 0) << "a write that failed is not reported as a read";
    EXPECT_FALSE(document(folder).endTime.has_value());
}

TEST_F(SessionRecoveryTest, ASessionAnotherProcessRecordsIsLeftAloneUntilThatProcessIsGone)
{
    const QString older = leftBehind(u"2026-12-06_09-00-00"_s, {{u"screen.mov"_s, 300}});
    const QString live = leftBehind(u"2026-12-06_09-10-00"_s, {{u"screen.mov"_s, 10}});
    writeCutWav(live + u"/microphone.wav"_s, 10);
    LockHolderProcess recording(SessionLock::pathIn(live));
    ASSERT_TRUE(recording.holding());
    setAge(older, clock_.now(), 200);
    setAge(live, clock_.now(), 5); // the newest folder
    const QByteArray liveDocument = test::TemporaryFolder::readAll(live + u"/metadata.json"_s);
    const QByteArray liveAudio = test::TemporaryFolder::readAll(live + u"/microphone.wav"_s);

    const RecoveryOutcome outcome = recover();
    EXPECT_EQ(outcome.kind, RecoveryOutcome::Kind::repaired);
    EXPECT_EQ(outcome.folder, older);
    EXPECT_EQ(test::TemporaryFolder::readAll(live + u"/metadata.json"_s), liveDocument);
    EXPECT_EQ(test::TemporaryFolder::readAll(live + u"/microphone.wav"_s), liveAudio);
    EXPECT_TRUE(QFile::exists(live + u"/.ebbcast_recording_active"_s));
    EXPECT_EQ(countLines(u"[INFO] Skipped a session folder a running recording holds: "_s + live), 1);

    // The recording process dies: its lock is free, and its lock file goes with the repair.
    recording.release();
    const RecoveryOutcome afterCrash = recover();
    EXPECT_EQ(afterCrash.kind, RecoveryOutcome::Kind::repaired);
    EXPECT_EQ(afterCrash.folder, live);
    EXPECT_FALSE(QFile::exists(SessionLock::pathIn(live)));
    EXPECT_FALSE(WavHeaderRepair::repair(live + u"/microphone.wav"_s).changed);
    EXPECT_EQ(recover().kind, RecoveryOutcome::Kind::nothingToRepair);
}

TEST_F(SessionRecoveryTest, AnUnreadableDocumentBesideAMarkerIsLoggedAndSkipped)
{
    const QString older = leftBehind(u"2026-12-06_09-00-00"_s);
    const QString cut = leftBehind(u"2026-12-06_09-10-00"_s);
    test::TemporaryFolder::writeAll(cut + u"/metadata.json"_s, "{ \"session_id\" : ");
    const QString foreign = leftBehind(u"2026-12-06_09-20-00"_s);
    test::TemporaryFolder::writeAll(foreign + u"/metadata.json"_s, "{ \"session_id\" : 5 }");
    const QString unmarked = leftBehind(u"2026-12-06_09-30-00"_s);
    test::TemporaryFolder::writeAll(unmarked + u"/metadata.json"_s, "[]");
    QFile::remove(unmarked + u"/.ebbcast_recording_active"_s);
    setAge(older, clock_.now(), 400);
    setAge(cut, clock_.now(), 300);
    setAge(foreign, clock_.now(), 200);
    setAge(unmarked, clock_.now(), 100);

    const RecoveryOutcome outcome = recover();
    EXPECT_EQ(outcome.folder, older);
    EXPECT_EQ(countLines(u"[ERROR] Skipped interrupted recording session "_s + cut +
                         u": metadata.json cannot be read: "_s),
              1);
    EXPECT_EQ(countLines(u"[ERROR] Skipped interrupted recording session "_s + foreign +
                         u": metadata.json cannot be read: it is not a readable session document"_s),
              1);
    EXPECT_EQ(countLines(unmarked), 0) << "without a marker the folder is no interrupted session";
}

TEST_F(SessionRecoveryTest, FilesOutsideTheSessionFolderAreNeverReadOrChanged)
{
    const QString elsewhere = folder_.file(u"elsewhere"_s);
    writeCutWav(elsewhere + u"/microphone.wav"_s, 10);
    writeCutWav(elsewhere + u"/chunk.wav"_s, 10);
    const QByteArray outsideMicrophone = test::TemporaryFolder::readAll(elsewhere + u"/microphone.wav"_s);
    const QByteArray outsideChunk = test::TemporaryFolder::readAll(elsewhere + u"/chunk.wav"_s);
    setAge(elsewhere + u"/microphone.wav"_s, clock_.now(), 1);

    const QString folder = leftBehind(u"2026-12-06_09-05-02"_s, {{u"screen.mov"_s, 100}});
    SessionMetadata pointingAway = document(folder);
    pointingAway.files.microphone = elsewhere + u"/microphone.wav"_s;
    MetadataWriter::write(pointingAway, folder + u"/metadata.json"_s);
    QDir().mkpath(folder + u"/chunks"_s);
    ASSERT_TRUE(QFile::link(elsewhere + u"/chunk.wav"_s, folder + u"/chunks/mic_chunk_0001.wav"_s));
    writeCutWav(folder + u"/chunks/mic_chunk_0002.wav"_s, 47);
    // A chunk document path taken by a link to a file that does not exist yet.
    writeCutWav(folder + u"/chunks/mic_chunk_0003.wav"_s, 47);
    ASSERT_TRUE(QFile::link(elsewhere + u"/planted.json"_s, folder + u"/chunks/mic_chunk_0003.json"_s));

    EXPECT_EQ(recover().folder, folder);
    EXPECT_EQ(test::TemporaryFolder::readAll(elsewhere + u"/microphone.wav"_s), outsideMicrophone);
    EXPECT_EQ(test::TemporaryFolder::readAll(elsewhere + u"/chunk.wav"_s), outsideChunk);
    EXPECT_FALSE(QFile::exists(elsewhere + u"/planted.json"_s));
    EXPECT_EQ(document(folder).endTime, clock_.now().addSecs(-100))
        << "the outside file's date does not count";
    EXPECT_FALSE(QFile::exists(folder + u"/chunks/mic_chunk_0001.json"_s));
    EXPECT_FALSE(WavHeaderRepair::repair(folder + u"/chunks/mic_chunk_0002.wav"_s).changed)
        << "inside: repaired";
    const auto chunk = RecordingChunkMetadata::fromJson(
        JsonDocumentFile::readObject(folder + u"/chunks/mic_chunk_0002.json"_s).value_or(QJsonObject{}));
    ASSERT_TRUE(chunk.has_value());
    EXPECT_EQ(chunk->startTime, start_) << "no earlier microphone chunk: it starts with the session";
    EXPECT_EQ(chunk->clockSyncStatus, u"not_configured"_s);
}

TEST_F(SessionRecoveryTest, MembersThisVersionDoesNotKnowAreKept)
{
    const QString folder = leftBehind(u"2026-12-06_09-05-02"_s);
    QJsonObject original = stored(folder);
    RecordingChunkMetadata chunk;
    chunk.index = 1;
    chunk.kind = u"microphone"_s;
    chunk.startTime = start_;
    chunk.endTime = start_.addSecs(300);
    chunk.duration = 300;
    chunk.filePath = folder + u"/chunks/mic_chunk_0001.wav"_s;
    QJsonObject entry = chunk.toJson();
    entry.insert(u"speaker_count"_s, 2);
    original.insert(u"live_chunks"_s, QJsonArray{entry});
    original.insert(u"upload_state"_s, QJsonObject{{u"drive_file_id"_s, u"abc"_s}});
    JsonDocumentFile::write(folder + u"/metadata.json"_s, original);

    EXPECT_EQ(recover().kind, RecoveryOutcome::Kind::repaired);
    const QJsonObject repaired = stored(folder);
    EXPECT_EQ(document(folder).interrupted, true);
    EXPECT_EQ(repaired.value(u"upload_state"_s), (QJsonObject{{u"drive_file_id"_s, u"abc"_s}}));
    EXPECT_EQ(repaired.value(u"live_chunks"_s).toArray().at(0).toObject().value(u"speaker_count"_s), 2);
}

TEST_F(SessionRecoveryTest, ChunksTheCrashLeftWithoutDocumentsGetThem)
{
    const QString folder = leftBehind(u"2026-12-06_09-05-02"_s);
    SessionMetadata session = document(folder);
    const ClockSyncSample best{start_, start_, 1.0, 1.02, start_, 20.0, 1500.4};
    session.clockSync =
        ClockSyncMetadata{u"http"_s, u"https://clock.example/time"_s, best, {best}, u"synced"_s};
    const auto reported = [&](const QString& kind, const QString& name) {
        RecordingChunkMetadata chunk;
        chunk.index = 1;
        chunk.kind = kind;
        chunk.startTime = start_;
        chunk.endTime = start_.addSecs(300);
        chunk.duration = 300;
        chunk.filePath = folder + u"/chunks/"_s + name;
        return chunk;
    };
    const RecordingChunkMetadata microphone1 = reported(u"microphone"_s, u"mic_chunk_0001.wav"_s);
    const RecordingChunkMetadata system1 = reported(u"system_audio"_s, u"system_chunk_0001.m4a"_s);
    session.liveChunks = std::vector<RecordingChunkMetadata>{microphone1, system1};
    MetadataWriter::write(session, folder + u"/metadata.json"_s);
    writeCutWav(folder + u"/chunks/mic_chunk_0001.wav"_s, 2);
    MetadataWriter::write(microphone1, folder + u"/chunks/mic_chunk_0001.json"_s);
    writeCutWav(folder + u"/chunks/mic_chunk_0002.wav"_s, 48); // open at the crash: 1.024 s
    test::TemporaryFolder::writeAll(folder + u"/chunks/system_chunk_0001.m4a"_s, "reported, no document");
    test::TemporaryFolder::writeAll(folder + u"/chunks/system_chunk_0002.m4a"_s, "open at the crash");
    test::TemporaryFolder::writeAll(folder + u"/chunks/system_chunk_0003.m4a"_s, "no packets");
    test::TemporaryFolder::writeAll(folder + u"/chunks/system_chunk_0004.m4a"_s, "unreadable");
    audioSeconds_ = {{u"system_chunk_0002.m4a"_s, 2.5}, {u"system_chunk_0003.m4a"_s, 0.0}};

    EXPECT_EQ(recover().kind, RecoveryOutcome::Kind::repaired);
    const std::vector<RecordingChunkMetadata> chunks = document(folder).liveChunks.value();
    ASSERT_EQ(chunks.size(), 4U) << "the reported chunks once, and the two with audio";
    const auto readChunkDocument = [&folder](const QString& name) {
        return RecordingChunkMetadata::fromJson(
            JsonDocumentFile::readObject(folder + u"/chunks/"_s + name).value_or(QJsonObject{}));
    };

    const RecordingChunkMetadata& microphone2 = chunks[2];
    EXPECT_EQ(microphone2.index, 2);
    EXPECT_EQ(microphone2.kind, u"microphone"_s);
    EXPECT_EQ(microphone2.filePath, folder + u"/chunks/mic_chunk_0002.wav"_s);
    EXPECT_EQ(microphone2.startTime, microphone1.endTime) << "where the previous microphone chunk ended";
    EXPECT_DOUBLE_EQ(microphone2.duration, 48 * 1024 / 48000.0) << "from the repaired header";
    EXPECT_EQ(microphone2.endTime, microphone1.endTime.addSecs(1)) << "dates are stored to the second";
    EXPECT_EQ(microphone2.sessionStartTime, start_);
    EXPECT_DOUBLE_EQ(microphone2.startOffsetSeconds.value_or(0), 300.0);
    EXPECT_DOUBLE_EQ(microphone2.endOffsetSeconds.value_or(0), 301.024);
    EXPECT_EQ(microphone2.timecodeStart, u"00:05:00.000"_s);
    EXPECT_EQ(microphone2.timecodeEnd, u"00:05:01.024"_s);
    EXPECT_EQ(microphone2.clockSyncStatus, u"synced"_s);
    EXPECT_EQ(microphone2.clockOffsetMilliseconds, 1500.4);
    EXPECT_EQ(microphone2.clockRoundTripMilliseconds, 20.0);
    EXPECT_EQ(microphone2.serverStartTime, microphone2.startTime.addSecs(1));
    EXPECT_EQ(readChunkDocument(u"mic_chunk_0002.json"_s), microphone2);

    const RecordingChunkMetadata& system2 = chunks[3];
    EXPECT_EQ(system2.kind, u"system_audio"_s);
    EXPECT_EQ(system2.index, 2);
    EXPECT_EQ(system2.startTime, system1.endTime);
    EXPECT_EQ(system2.duration, 2.5);
    EXPECT_EQ(readChunkDocument(u"system_chunk_0002.json"_s), system2);

    EXPECT_EQ(readChunkDocument(u"system_chunk_0001.json"_s), system1) << "reported before the crash";
    EXPECT_FALSE(QFile::exists(folder + u"/chunks/system_chunk_0003.json"_s)) << "no audio, no document";
    EXPECT_FALSE(QFile::exists(folder + u"/chunks/system_chunk_0004.json"_s));
}

} // namespace
} // namespace ebbcast
