#include "DocumentEncoder.h"
#include "JsonDocumentFile.h"
#include "MediaProbe.h"
#include "SessionMetadata.h"
#include "TemporaryFolder.h"

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

class RecordEndToEndTest : public ::testing::Test {
protected:
    RecordEndToEndTest()
    {
        QProcess settings;
        configure(settings);
        settings.start(QString::fromUtf8(EBBCAST_EXECUTABLE),
                       {u"settings"_s, u"set"_s, u"recordingFolderPath"_s, recordings()});
        settings.waitForFinished(10000);
    }

    void configure(QProcess& process)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, folder_.file(u"state"_s));
        process.setProcessEnvironment(environment);
    }

    QString recordings() const { return folder_.file(u"Recordings"_s); }

    SessionMetadata document(const QString& sessionFolder)
    {
        const auto object = JsonDocumentFile::readObject(sessionFolder + u"/metadata.json"_s);
        const auto decoded = object ? SessionMetadata::fromJson(*object) : std::nullopt;
        EXPECT_TRUE(decoded.has_value()) << "metadata.json decodes strictly";
        return decoded.value_or(SessionMetadata{});
    }

    test::TemporaryFolder folder_;
};

TEST_F(RecordEndToEndTest, RecordsACompleteSessionFromTheCommandLine)
{
    test::TestPattern pattern;
    test::TonePlayer speaker(u"ebbcast_speaker"_s, folder_.path());
    test::TonePlayer microphone(u"ebbcast_mic_feed"_s, folder_.path());
    QProcess record;
    configure(record);
    record.start(QString::fromUtf8(EBBCAST_EXECUTABLE),
                 {u"record"_s, u"--duration"_s, u"7"_s, u"--chunk-seconds"_s, u"2"_s});
    ASSERT_TRUE(record.waitForFinished(30000));
    ASSERT_EQ(record.exitCode(), 0) << record.readAllStandardError().constData();
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

TEST_F(RecordEndToEndTest, EverySessionKilledAtARandomMomentIsRepaired)
{
    test::TestPattern pattern;
    test::TonePlayer speaker(u"ebbcast_speaker"_s, folder_.path(), 200);
    test::TonePlayer microphone(u"ebbcast_mic_feed"_s, folder_.path(), 200);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> killAfterMs(1500, 3000);
    constexpr int trials = 20;
    for (int trial = 0; trial < trials; ++trial) {
        SCOPED_TRACE(trial);
        QProcess record;
        configure(record);
        record.start(QString::fromUtf8(EBBCAST_EXECUTABLE), {u"record"_s, u"--chunk-seconds"_s, u"2"_s});
        ASSERT_TRUE(record.waitForReadyRead(20000)) << record.readAllStandardError().constData();
        QString session;
        while (session.isEmpty() || !QFileInfo(session).isDir()) {
            if (!record.canReadLine() && !record.waitForReadyRead(20000))
                break;
            session = QString::fromLocal8Bit(record.readLine()).trimmed();
        }
        ASSERT_TRUE(QFileInfo(session).isDir()) << session.toStdString();
        QElapsedTimer recording;
        recording.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs(random)));
        ::kill(static_cast<pid_t>(record.processId()), SIGKILL);
        const double elapsed = static_cast<double>(recording.elapsed()) / 1000.0;
        record.waitForFinished(5000);

        QProcess recover;
        configure(recover);
        recover.start(QString::fromUtf8(EBBCAST_EXECUTABLE), {u"recover"_s});
        ASSERT_TRUE(recover.waitForFinished(20000));
        EXPECT_EQ(QString::fromLocal8Bit(recover.readAllStandardOutput()).trimmed(),
                  u"Repaired interrupted session: "_s + session);

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
        std::printf(
            "trial %2d: killed after %.2f s; microphone.wav %.2f s, system_audio.m4a %.2f s, screen.mov "
            "%.2f s\n",
            trial, elapsed, wav, m4a, mov);
        EXPECT_GE(wav, elapsed - 1.0);
        EXPECT_GE(m4a, elapsed - 2.0) << "within 2 s of the kill";
        EXPECT_GE(mov, elapsed - 2.0) << "within 2 s of the kill";
    }
}

} // namespace
} // namespace ebbcast
