#include "app/RecordingProcess.h"
#include "support/LogLines.h"
#include "support/MediaProbe.h"
#include "support/SmallDisk.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;

// What `ebbcast record` does when the machine is not friendly: a full disk, a second process, a display or
// sound server that is not there, a SIGTERM in its first moments.

namespace ebbcast {
namespace {

class RecordingFaultsEndToEndTest : public test::RecordingProcessTest {
protected:
    QStringList sessionFolders(const QString& root) const
    {
        return QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }

    QString log() const
    {
        return QString::fromUtf8(test::TemporaryFolder::readAll(folder_.file(u"state/Tavilon/app.log"_s)));
    }

    // Records onto a fresh three-megabyte disk of which `freeKilobytes` are free, and checks what is left.
    void recordOntoAFullingDisk(int freeKilobytes)
    {
        test::SmallDisk disk(folder_.file(u"small-"_s + QString::number(freeKilobytes)), 3 * 1024);
        if (!disk.isMounted())
            GTEST_SKIP() << "mounting a tmpfs needs root";
        if (freeKilobytes < 3 * 1024) {
            QFile filler(disk.file(u"filler"_s));
            ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
            ASSERT_EQ(filler.write(QByteArray((3 * 1024 - freeKilobytes) * 1024, 'x')),
                      (3 * 1024 - freeKilobytes) * 1024);
        }
        setRecordingFolder(disk.file(u"Recordings"_s));
        const qsizetype logBefore = log().size();
        test::TestPattern pattern; // a moving screen fills three megabytes in about two seconds
        QProcess record;
        const QString session =
            startRecording(record, {u"--duration"_s, u"8"_s, u"--chunk-seconds"_s, u"2"_s});
        ASSERT_FALSE(session.isEmpty()) << record.readAllStandardError().constData();
        ASSERT_TRUE(record.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(record.readAllStandardError());
        EXPECT_NE(record.exitCode(), 0) << "a session that lost its tracks is not a success";
        EXPECT_TRUE(errors.contains(u"No space left on device"_s)) << errors.toStdString();

        // The document is whole: completed, or as it was before the disk filled; never empty.
        const auto stored = document(session);
        ASSERT_TRUE(stored.has_value()) << "metadata.json is never left empty or cut";
        if (record.exitCode() == 4) {
            EXPECT_TRUE(stored->endTime.has_value());
            // Each track that ended names itself and when: at a time, or before it recorded anything (a disk
            // that fills before a slow machine writes its first block ends all three at the start).
            EXPECT_TRUE(errors.contains(QRegularExpression(
                u"ebbcast: the (microphone|system audio|screen recording) "
                "(stopped at \\d\\d:\\d\\d:\\d\\d\\.\\d|recorded nothing): .*No space left"_s)))
                << errors.toStdString();
        } else {
            EXPECT_EQ(record.exitCode(), 1);
            EXPECT_TRUE(errors.contains(u"Recording stopped, but metadata could not be written: "_s));
            EXPECT_TRUE(QFile::exists(session + u"/.ebbcast_recording_active"_s)) << "left for the repair";
        }

        // No flood of chunk attempts: at most one a period per track.
        const QStringList chunkFiles = QDir(session + u"/chunks"_s).entryList(QDir::Files);
        EXPECT_LE(chunkFiles.size(), 16) << chunkFiles.join(u' ').toStdString();
        const QString lines = log().mid(logBefore);
        EXPECT_LE(lines.count(u"Microphone chunk rotation failed"_s), 4);
        EXPECT_LE(lines.count(u"Microphone full-file write failed"_s), 1);
        // The full file fails once and ends the track; until then the first chunk's set-up may fail once a
        // period.
        EXPECT_LE(lines.count(u"System audio write failed"_s), 1 + 4);

        // What reached the disk before it filled still plays; a movie without a frame is not left behind.
        if (QFileInfo::exists(session + u"/microphone.wav"_s)) {
            EXPECT_TRUE(test::MediaProbe::decodeAudio(session + u"/microphone.wav"_s).ok);
        }
        if (QFileInfo::exists(session + u"/system_audio.m4a"_s)) {
            EXPECT_TRUE(test::MediaProbe::decodeAudio(session + u"/system_audio.m4a"_s).ok);
        }
        if (QFileInfo::exists(session + u"/screen.mov"_s)) {
            EXPECT_GT(test::MediaProbe::decodeVideo(session + u"/screen.mov"_s).decodedFrames, 0);
        }
    }
};

TEST_F(RecordingFaultsEndToEndTest, AFullDiskEndsTheTracksLoudlyAndKeepsWhatWasRecorded)
{
    const struct {
        const char* what;
        int freeKilobytes; // of a three-megabyte disk when the session starts
    } cases[] = {
        {"a disk that fills while recording", 3 * 1024},
        {"a disk with room for the movie's header but not its first frame", 64},
    };
    for (const auto& disk : cases) {
        SCOPED_TRACE(disk.what);
        recordOntoAFullingDisk(disk.freeKilobytes);
    }
}

TEST_F(RecordingFaultsEndToEndTest, ASecondProcessNeitherRepairsNorRecordsOverALiveSession)
{
    QProcess first;
    const QString session = startRecording(first, {u"--duration"_s, u"8"_s});
    ASSERT_FALSE(session.isEmpty()) << first.readAllStandardError().constData();

    const Finished recover = runEbbcast({u"recover"_s});
    EXPECT_EQ(recover.exitCode, 3);
    EXPECT_EQ(recover.err, u"ebbcast: 'ebbcast record' is running (pid "_s +
                               QString::number(first.processId()) + u"): its session is not interrupted."_s);
    const auto live = document(session);
    ASSERT_TRUE(live.has_value());
    EXPECT_FALSE(live->endTime.has_value()) << "the live session was not stamped as interrupted";
    EXPECT_FALSE(live->interrupted.has_value());
    EXPECT_TRUE(QFile::exists(session + u"/.ebbcast_recording_active"_s));

    const Finished second = runEbbcast({u"record"_s, u"--duration"_s, u"2"_s});
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_EQ(second.err, u"ebbcast: already recording to "_s + session + u" (pid "_s +
                              QString::number(first.processId()) + u")"_s);
    EXPECT_TRUE(second.out.isEmpty());
    EXPECT_EQ(sessionFolders(recordings()).size(), 1) << "the second process made no folder";

    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitCode(), 0) << first.readAllStandardError().constData();
    const auto done = document(session);
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->endTime.has_value());
    EXPECT_FALSE(done->interrupted.has_value());
    EXPECT_NEAR(done->duration.value_or(0), 8.0, 1.5) << "its length is its own, not the second process's";
    EXPECT_FALSE(QFile::exists(session + u"/.ebbcast_recording_active"_s));
}

TEST_F(RecordingFaultsEndToEndTest, AStartThatFailsLeavesNoFolderBehind)
{
    const struct {
        const char* what;
        const char* variable;
        const char* value;
    } cases[] = {
        {"no X display", "DISPLAY", ":987"},
        {"no sound server", "PULSE_SERVER", "unix:/nonexistent/ebbcast-test-socket"},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.what);
        QProcessEnvironment changes;
        changes.insert(QString::fromLatin1(failure.variable), QString::fromLatin1(failure.value));
        QProcess record;
        configure(record, changes);
        record.start(executable(), {u"record"_s, u"--duration"_s, u"3"_s});
        ASSERT_TRUE(record.waitForFinished(30000));
        EXPECT_EQ(record.exitCode(), 1);
        EXPECT_FALSE(record.readAllStandardError().trimmed().isEmpty()) << "the reason is given";
        EXPECT_TRUE(sessionFolders(recordings()).isEmpty())
            << sessionFolders(recordings()).join(u' ').toStdString();
    }
}

TEST_F(RecordingFaultsEndToEndTest, ATerminationInTheFirstMomentsLeavesNothingHalfDone)
{
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> afterMs(0, 400);
    for (int trial = 0; trial < 8; ++trial) {
        SCOPED_TRACE(trial);
        QProcess record;
        configure(record);
        record.start(executable(), {u"record"_s, u"--duration"_s, u"5"_s});
        ASSERT_TRUE(record.waitForStarted(5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs(random)));
        ::kill(static_cast<pid_t>(record.processId()), SIGTERM);
        ASSERT_TRUE(record.waitForFinished(30000));
        // Either it ended before it made anything, or it stopped the session properly.
        EXPECT_TRUE(record.exitStatus() == QProcess::CrashExit || record.exitCode() == 0)
            << record.readAllStandardError().constData();
    }
    for (const QString& name : sessionFolders(recordings())) {
        SCOPED_TRACE(name.toStdString());
        const QString session = recordings() + u'/' + name;
        const auto stored = document(session);
        ASSERT_TRUE(stored.has_value());
        EXPECT_TRUE(stored->endTime.has_value());
        EXPECT_FALSE(QFile::exists(session + u"/.ebbcast_recording_active"_s));
    }
}

} // namespace
} // namespace ebbcast
