#include "MediaProbe.h"
#include "TemporaryFolder.h"
#include "WavHeaderRepair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A recording process killed with SIGKILL at a random moment keeps its audio: the WAV plays to within a
// second of the kill, the AAC file to within one fragment.
TEST(AudioCrash, KilledRecordingsStayPlayableUpToTheKill)
{
    test::TemporaryFolder work;
    test::TonePlayer speakerTone(u"ebbcast_speaker"_s, work.path(), 60);
    test::TonePlayer microphoneTone(u"ebbcast_mic_feed"_s, work.path(), 60);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> killAfterMs(2500, 4500); // past the first 2 s fragment

    for (int trial = 0; trial < 3; ++trial) {
        SCOPED_TRACE(trial);
        const QString folder = work.file(u"session-%1"_s.arg(trial));
        QDir().mkpath(folder);
        QProcess recorder;
        recorder.start(QString::fromUtf8(EBBCAST_RECORDING_PROBE), {folder, u"1"_s});
        ASSERT_TRUE(recorder.waitForReadyRead(10000)) << recorder.readAllStandardError().constData();
        ASSERT_EQ(recorder.readLine().trimmed(), "recording");
        QElapsedTimer recording;
        recording.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs(random)));
        ::kill(static_cast<pid_t>(recorder.processId()), SIGKILL);
        const double elapsed = static_cast<double>(recording.elapsed()) / 1000.0;
        recorder.waitForFinished(5000);

        const QString wav = folder + u"/microphone.wav"_s;
        WavHeaderRepair::repair(wav);
        const auto microphone = test::MediaProbe::decodeAudio(wav);
        EXPECT_TRUE(microphone.ok);
        EXPECT_GE(microphone.seconds, elapsed - 1.0) << "killed after " << elapsed << " s";
        EXPECT_LE(microphone.seconds, elapsed + 0.5);
        EXPECT_GT(microphone.rms, 0.1);

        const auto systemAudio = test::MediaProbe::decodeAudio(folder + u"/system_audio.m4a"_s);
        EXPECT_GE(systemAudio.seconds, elapsed - 2.5) << "killed after " << elapsed << " s";
        EXPECT_GT(systemAudio.rms, 0.1);

        std::printf("killed after %.2f s: microphone.wav %.2f s, system_audio.m4a %.2f s\n", elapsed,
                    microphone.seconds, systemAudio.seconds);

        const auto firstChunk = test::MediaProbe::decodeAudio(folder + u"/chunks/mic_chunk_0001.wav"_s);
        EXPECT_NEAR(firstChunk.seconds, 1.0, 0.1) << "finished chunks are whole";
    }
}

} // namespace
} // namespace ebbcast
