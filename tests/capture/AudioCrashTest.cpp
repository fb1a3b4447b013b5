#include "capture/WavHeaderRepair.h"
#include "support/CrashTrial.h"
#include "support/MediaProbe.h"
#include "support/TemporaryFolder.h"

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

    for (int trial = 0; trial < 3; ++trial) {
        SCOPED_TRACE(trial);
        const QString folder = work.file(u"session-%1"_s.arg(trial));
        QDir().mkpath(folder);
        const double elapsed = test::recordThenKill({folder, u"1"_s}, 2500, 4500); // past the first fragment

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
