#include "app/RecordingProcess.h"
#include "support/MediaProbe.h"
#include "support/PrivateServers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

using namespace Qt::StringLiterals;

// `ebbcast record` losing its sound server or its X display in the middle of a session: the tracks that lost
// their device end where the device went, the others record on, the session document is completed, and the
// exit status and standard error say which track stopped when.

namespace ebbcast {
namespace {

constexpr double recordingSeconds = 12;

class LostDeviceEndToEndTest : public test::RecordingProcessTest {
protected:
    struct Run {
        QString session;
        int exitCode = -1;
        QString standardError;
        double killedSinceFolder = 0; // seconds from the folder's line to the kill
        double killedSinceLaunch = 0; // seconds from the process launch to the kill
        double finishedSinceLaunch = 0;
    };

    // Records for `recordingSeconds` in an environment with `changes`, runs `kill` half a second into the
    // third 2-second chunk and waits for the process to end. The moment is taken from the first system-audio
    // chunk's document, which appears at about 2 s of session time, so it does not depend on how long the
    // start took: the devices go while chunks are open, never just after a rotation.
    Run record(const QProcessEnvironment& changes, const std::function<void()>& kill)
    {
        Run run;
        QProcess process;
        QElapsedTimer launched;
        run.session = startRecording(
            process, {u"--duration"_s, QString::number(recordingSeconds), u"--chunk-seconds"_s, u"2"_s},
            &launched, changes);
        if (run.session.isEmpty()) {
            ADD_FAILURE() << "no session folder: " << process.readAllStandardError().constData();
            return run;
        }
        QElapsedTimer recording;
        recording.start();
        const QString firstChunk = run.session + u"/chunks/system_chunk_0001.json"_s;
        while (!QFile::exists(firstChunk) && recording.elapsed() < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(QFile::exists(firstChunk)) << "the first system-audio chunk was reported";
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        kill();
        run.killedSinceFolder = static_cast<double>(recording.elapsed()) / 1000.0;
        run.killedSinceLaunch = static_cast<double>(launched.elapsed()) / 1000.0;
        // The duration, the stop and a margin for a loaded machine; a hang is a failure of its own.
        if (!process.waitForFinished(60000)) {
            ADD_FAILURE() << "ebbcast record did not end after its duration";
            process.kill();
            process.waitForFinished(5000);
        }
        run.finishedSinceLaunch = static_cast<double>(launched.elapsed()) / 1000.0;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.standardError = QString::fromLocal8Bit(process.readAllStandardError());
        std::printf("stderr of ebbcast record (exit %d):\n%s", run.exitCode, qPrintable(run.standardError));
        return run;
    }

    // The "<track> stopped at HH:MM:SS.T: <reason>" lines of standard error, as session seconds by track.
    static std::map<QString, double> endedTracks(const QString& standardError)
    {
        static const QRegularExpression line(
            u"^ebbcast: (the microphone|the system audio|the screen recording) stopped at "
            "(\\d\\d):([0-5]\\d):([0-5]\\d)\\.(\\d): \\S.*$"_s);
        std::map<QString, double> ended;
        for (const QString& text : standardError.split(u'\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = line.match(text);
            if (!match.hasMatch())
                continue;
            const double at = match.captured(2).toInt() * 3600 + match.captured(3).toInt() * 60 +
                              match.captured(4).toInt() + match.captured(5).toInt() / 10.0;
            EXPECT_FALSE(ended.contains(match.captured(1))) << "one line per track";
            ended[match.captured(1)] = at;
        }
        return ended;
    }

    // A track that lost its device at the kill ends within about a second before it, and never after it:
    // the session began after the launch and before the folder's line.
    static void expectEndsAtTheKill(const Run& run, double seconds, const char* what)
    {
        std::printf("%s: %.2f s (killed %.2f s after the folder's line, %.2f s after the launch)\n", what,
                    seconds, run.killedSinceFolder, run.killedSinceLaunch);
        EXPECT_GE(seconds, run.killedSinceFolder - 1.0) << what;
        EXPECT_LE(seconds, run.killedSinceLaunch + 0.1) << what;
    }

    // A track that recorded on runs for the whole duration, which began before the folder's line.
    static void expectWholeDuration(const Run& run, double seconds, const char* what)
    {
        std::printf("%s: %.2f s (%.0f s recording, process ran %.2f s)\n", what, seconds, recordingSeconds,
                    run.finishedSinceLaunch);
        EXPECT_GE(seconds, recordingSeconds - 1.0) << what;
        EXPECT_LE(seconds, run.finishedSinceLaunch + 0.1) << what;
    }

    void expectCompletedDocument(const Run& run)
    {
        const auto stored = document(run.session);
        ASSERT_TRUE(stored.has_value()) << "metadata.json decodes strictly";
        EXPECT_TRUE(stored->endTime.has_value());
        EXPECT_GE(stored->duration.value_or(0), recordingSeconds - 0.5);
        EXPECT_LE(stored->duration.value_or(0), run.finishedSinceLaunch);
        EXPECT_FALSE(QFile::exists(run.session + u"/.ebbcast_recording_active"_s));
    }

    // The chunks of an ended track stop with it: none begins after the track stopped, and the last one's end
    // is where the track's audio ends.
    void expectChunksEndWithTheTrack(const Run& run, const QString& kind, double stoppedAt)
    {
        const auto stored = document(run.session);
        if (!stored || !stored->liveChunks)
            return;
        double lastEnd = -1;
        for (const RecordingChunkMetadata& chunk : *stored->liveChunks) {
            if (chunk.kind != kind)
                continue;
            EXPECT_LE(chunk.startOffsetSeconds.value_or(0), stoppedAt + 0.1) << chunk.filePath.toStdString();
            lastEnd = std::max(lastEnd, chunk.endOffsetSeconds.value_or(0));
        }
        std::printf("%s chunks end at %.2f s\n", qPrintable(kind), lastEnd);
        EXPECT_NEAR(lastEnd, stoppedAt, 0.5) << kind.toStdString() << " chunks";
    }
};

TEST_F(LostDeviceEndToEndTest, ASoundServerKilledMidSessionEndsBothAudioTracksWhileTheScreenRecordsOn)
{
    test::PrivateSoundServer server;
    const Run run = record(server.clientEnvironment(), [&server] { server.kill(); });
    ASSERT_FALSE(run.session.isEmpty());
    EXPECT_EQ(run.exitCode, 4) << "a session that lost tracks";

    const auto ended = endedTracks(run.standardError);
    EXPECT_EQ(ended.size(), 2U) << "the microphone and the system audio, not the screen";
    ASSERT_TRUE(ended.contains(u"the microphone"_s));
    ASSERT_TRUE(ended.contains(u"the system audio"_s));
    expectEndsAtTheKill(run, ended.at(u"the microphone"_s), "the microphone stopped at");
    expectEndsAtTheKill(run, ended.at(u"the system audio"_s), "the system audio stopped at");

    expectCompletedDocument(run);
    const auto microphone = test::MediaProbe::decodeAudio(run.session + u"/microphone.wav"_s);
    const auto systemAudio = test::MediaProbe::decodeAudio(run.session + u"/system_audio.m4a"_s);
    EXPECT_TRUE(microphone.ok);
    EXPECT_TRUE(systemAudio.ok);
    expectEndsAtTheKill(run, microphone.seconds, "microphone.wav decodes to");
    expectEndsAtTheKill(run, systemAudio.seconds, "system_audio.m4a decodes to");
    EXPECT_NEAR(microphone.seconds, ended.at(u"the microphone"_s), 0.3)
        << "the file ends where the line says";
    EXPECT_NEAR(systemAudio.seconds, ended.at(u"the system audio"_s), 0.3)
        << "the file ends where the line says";
    expectChunksEndWithTheTrack(run, u"microphone"_s, ended.at(u"the microphone"_s));
    expectChunksEndWithTheTrack(run, u"system_audio"_s, ended.at(u"the system audio"_s));

    // The movie starts with its first frame, a little after the session's start.
    const auto movie = test::MediaProbe::decodeVideo(run.session + u"/screen.mov"_s);
    expectWholeDuration(run, movie.lastFrameTime, "screen.mov decodes to");
}

TEST_F(LostDeviceEndToEndTest, AnXServerKilledMidSessionEndsTheScreenWhileBothAudioTracksRecordOn)
{
    test::PrivateDisplay display;
    QProcessEnvironment changes;
    changes.insert(u"DISPLAY"_s, display.name());
    const Run run = record(changes, [&display] { display.kill(); });
    ASSERT_FALSE(run.session.isEmpty());
    EXPECT_EQ(run.exitCode, 4) << "a session that lost a track";

    const auto ended = endedTracks(run.standardError);
    EXPECT_EQ(ended.size(), 1U) << "the screen recording, not the audio";
    ASSERT_TRUE(ended.contains(u"the screen recording"_s));
    expectEndsAtTheKill(run, ended.at(u"the screen recording"_s), "the screen recording stopped at");

    expectCompletedDocument(run);
    const auto movie = test::MediaProbe::decodeVideo(run.session + u"/screen.mov"_s);
    EXPECT_EQ(movie.width, 640) << "the private display's movie";
    expectEndsAtTheKill(run, movie.lastFrameTime, "screen.mov decodes to");

    const auto microphone = test::MediaProbe::decodeAudio(run.session + u"/microphone.wav"_s);
    const auto systemAudio = test::MediaProbe::decodeAudio(run.session + u"/system_audio.m4a"_s);
    EXPECT_TRUE(microphone.ok);
    EXPECT_TRUE(systemAudio.ok);
    expectWholeDuration(run, microphone.seconds, "microphone.wav decodes to");
    expectWholeDuration(run, systemAudio.seconds, "system_audio.m4a decodes to");
}

} // namespace
} // namespace ebbcast
