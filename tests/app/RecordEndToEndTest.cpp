#include "app/RecordingProcess.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/DocumentEncoder.h"
#include "core/json/JsonDocumentFile.h"
#include "support/MediaProbe.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;

// The ebbcast executable recording from the Xvfb display and the PulseAudio daemon of
// scripts/test-services.sh, as a user would run it.

namespace ebbcast {
namespace {

class RecordEndToEndTest : public test::RecordingProcessTest {
protected:
    SessionMetadata document(const QString& sessionFolder)
    {
        const auto decoded = RecordingProcessTest::document(sessionFolder);
        EXPECT_TRUE(decoded.has_value()) << "metadata.json decodes strictly";
        return decoded.value_or(SessionMetadata{});
    }
};

TEST_F(RecordEndToEndTest, RecordsACompleteSessionFromTheCommandLine)
{
    test::TestPattern pattern;
    test::TonePlayer speaker(u"ebbcast_speaker"_s, folder_.path());
    test::TonePlayer microphone(u"ebbcast_mic_feed"_s, folder_.path());
    // A chosen display that is not connected: the main one is recorded, and the user is told once.
    ASSERT_EQ(runEbbcast({u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"4242"_s}).exitCode, 0);
    QProcess record;
    configure(record);
    record.start(QString::fromUtf8(EBBCAST_EXECUTABLE),
                 {u"record"_s, u"--duration"_s, u"7"_s, u"--chunk-seconds"_s, u"2"_s});
    ASSERT_TRUE(record.waitForFinished(30000));
    const QString errors = QString::fromLocal8Bit(record.readAllStandardError());
    ASSERT_EQ(record.exitCode(), 0) << errors.toStdString();
    EXPECT_EQ(errors.count(u"note: no display with id 4242 is connected now"_s), 1) << errors.toStdString();
    const QString session =
        QString::fromLocal8Bit(record.readAllStandardOutput()).trimmed().split(u'\n').last();
    ASSERT_TRUE(QFileInfo(session).isDir()) << session.toStdString();
    EXPECT_EQ(QFileInfo(session).absolutePath(), recordings());

    const SessionMetadata done = document(session);
    EXPECT_TRUE(done.endTime.has_value());
    EXPECT_NEAR(done.duration.value_or(0), 7.0, 1.0);
    EXPECT_FALSE(QFile::exists(session + u"/.ebbcast_recording_active"_s));
    EXPECT_EQ(done.systemAudioCapture.status, u"capturing"_s);
    const QByteArray bytes = test::TemporaryFolder::readAll(session + u"/metadata.json"_s);
    EXPECT_EQ(DocumentEncoder::encode(done.toJson()), bytes) << "the document follows the encoder's rules";

    EXPECT_EQ(test::MediaProbe::decodeVideo(session + u"/screen.mov"_s).codec, u"h264"_s);
    EXPECT_EQ(test::MediaProbe::firstAudioStream(session + u"/microphone.wav"_s).codec, u"pcm_f32le"_s);
    EXPECT_EQ(test::MediaProbe::firstAudioStream(session + u"/system_audio.m4a"_s).codec, u"aac"_s);
    EXPECT_GT(test::MediaProbe::decodeAudio(session + u"/microphone.wav"_s).rms, 0.1);
    EXPECT_GT(test::MediaProbe::decodeAudio(session + u"/system_audio.m4a"_s).rms, 0.1);

    int microphoneChunks = 0;
    int systemChunks = 0;
    for (const RecordingChunkMetadata& chunk :
         done.liveChunks.value_or(std::vector<RecordingChunkMetadata>{})) {
        SCOPED_TRACE(chunk.filePath.toStdString());
        (chunk.kind == u"microphone" ? microphoneChunks : systemChunks) += 1;
        EXPECT_TRUE(chunk.startOffsetSeconds && chunk.endOffsetSeconds && chunk.timecodeStart &&
                    chunk.timecodeEnd);
        EXPECT_EQ(chunk.clockSyncStatus, u"not_configured"_s);
        const QString chunkDocument = chunk.filePath.section(u'.', 0, -2) + u".json"_s;
        const auto stored = JsonDocumentFile::readObject(chunkDocument);
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(RecordingChunkMetadata::fromJson(*stored), chunk);
        EXPECT_EQ(DocumentEncoder::encode(*stored), test::TemporaryFolder::readAll(chunkDocument));
        EXPECT_TRUE(test::MediaProbe::decodeAudio(chunk.filePath).ok);
    }
    EXPECT_GE(microphoneChunks, 3);
    EXPECT_GE(systemChunks, 3);
}

// Sessions killed at random moments while another process keeps a core busy: every track decodes to within
// a second of the kill (times the sanitizer builds' timing scale), measured from the session's start. Audio
// tracks begin at the session's start; the movie begins with its first frame, a little later, which counts
// against it here.
class CrashTrials : public RecordEndToEndTest {
protected:
    // bench/movie_fragments.sh asks for more trials through EBBCAST_CRASH_TRIALS.
    void run(bool movingScreen, int trials)
    {
        trials = qEnvironmentVariableIntValue("EBBCAST_CRASH_TRIALS") > 0
                     ? qEnvironmentVariableIntValue("EBBCAST_CRASH_TRIALS")
                     : trials;
        std::unique_ptr<test::TestPattern> pattern;
        if (movingScreen)
            pattern = std::make_unique<test::TestPattern>();
        test::TonePlayer speaker(u"ebbcast_speaker"_s, folder_.path(), 200);
        test::TonePlayer microphone(u"ebbcast_mic_feed"_s, folder_.path(), 200);
        QProcess load; // a cold, busy machine: one core taken
        load.start(u"sh"_s, {u"-c"_s, u"while :; do :; done"_s});
        std::mt19937 random(std::random_device{}());
        std::uniform_int_distribution<int> killAfterMs(300, 3000);
        const double allowedLoss = 1.0 * test::timingScale();
        double worst = 0;
        for (int trial = 0; trial < trials; ++trial) {
            SCOPED_TRACE(trial);
            QProcess record;
            QElapsedTimer launched;
            const QString session = startRecording(record, {u"--chunk-seconds"_s, u"2"_s}, &launched);
            ASSERT_TRUE(QFileInfo(session).isDir()) << record.readAllStandardError().constData();
            QElapsedTimer recording;
            recording.start();
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs(random)));
            ::kill(static_cast<pid_t>(record.processId()), SIGKILL);
            const double sinceFolder = static_cast<double>(recording.elapsed()) / 1000.0;
            const double sinceLaunch = static_cast<double>(launched.elapsed()) / 1000.0;
            record.waitForFinished(5000);

            const Finished recover = runEbbcast({u"recover"_s});
            EXPECT_EQ(recover.exitCode, 0);
            EXPECT_EQ(recover.out, u"Repaired interrupted session: "_s + session);

            const SessionMetadata repaired = document(session);
            EXPECT_EQ(repaired.interrupted, true);
            EXPECT_EQ(repaired.interruptionNote,
                      u"Ebbcast exited before the recording stop sequence completed."_s);
            ASSERT_TRUE(repaired.endTime.has_value());
            EXPECT_GE(*repaired.endTime, repaired.startTime);
            EXPECT_FALSE(QFile::exists(session + u"/.ebbcast_recording_active"_s));

            const double wav = test::MediaProbe::decodeAudio(session + u"/microphone.wav"_s).seconds;
            const double m4a = test::MediaProbe::decodeAudio(session + u"/system_audio.m4a"_s).seconds;
            // A movie killed before its first fragment was complete holds no frame yet: 0 s played.
            const double mov =
                std::max(0.0, test::MediaProbe::decodeVideo(session + u"/screen.mov"_s).lastFrameTime);
            // The microphone file begins at the session's start and loses at most a buffer, so its length is
            // the best measure of how long the session ran; the process launch came before the start.
            const double ran = std::max(sinceFolder, wav);
            std::printf(
                "%s screen, trial %2d: killed %.2f s after the folder appeared (%.2f s after launch); "
                "microphone.wav %.2f s, system_audio.m4a %.2f s, screen.mov %.2f s\n",
                movingScreen ? "moving" : "still", trial, sinceFolder, sinceLaunch, wav, m4a, mov);
            EXPECT_GE(wav, sinceFolder - allowedLoss);
            EXPECT_LE(wav, sinceLaunch + 0.1) << "no more audio than time passed";
            EXPECT_GE(m4a, ran - allowedLoss) << "within 1 s of the kill";
            EXPECT_GE(mov, ran - allowedLoss) << "within 1 s of the kill";
            worst = std::max({worst, ran - wav, ran - m4a, ran - mov});
        }
        std::printf("worst loss over %d kills: %.2f s\n", trials, worst);
        load.kill();
        load.waitForFinished(5000);
    }
};

TEST_F(CrashTrials, KilledSessionsOfAStillScreenKeepEveryTrackToWithinASecond)
{
    run(false, 12);
}

TEST_F(CrashTrials, KilledSessionsOfAMovingScreenKeepEveryTrackToWithinASecond)
{
    run(true, 12);
}

} // namespace
} // namespace ebbcast
