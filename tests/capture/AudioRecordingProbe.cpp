// Records the microphone and the system audio into a folder, as a session does, until it is killed.
// Used by the crash tests: prints "recording" once both recorders run.
// Usage: ebbcast_audio_recording_probe FOLDER CHUNK_SECONDS   (0: no chunks, only the full files)

#include "FfmpegAacWriter.h"
#include "Logger.h"
#include "MicRecorder.h"
#include "PulseAudioInputEngine.h"
#include "PulseAudioSystemAudioSource.h"
#include "SerialQueue.h"
#include "SystemAudioRecorder.h"
#include "WavFileWriter.h"

#include <QCoreApplication>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {
volatile std::sig_atomic_t stopRequested = 0;
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER CHUNK_SECONDS\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const double chunkSeconds = QString::fromLocal8Bit(argv[2]).toDouble();
    std::signal(SIGTERM, [](int) { stopRequested = 1; });

    Logger logger(folder + u"/app.log"_s);
    MicRecorder::Timing micTiming;
    micTiming.chunkDurationSeconds = chunkSeconds;
    MicRecorder mic(folder + u"/microphone.wav"_s, QString(), logger,
                    std::make_unique<PulseAudioInputEngine>(), WavFileWriter::factory(), systemTime,
                    micTiming);
    const std::optional<QString> chunks =
        chunkSeconds > 0 ? std::optional<QString>(folder + u"/chunks"_s) : std::nullopt;
    SystemAudioRecorder systemAudio(folder + u"/system_audio.m4a"_s, chunks, logger,
                                    FfmpegAacWriter::factory(), systemTime,
                                    SystemAudioRecorder::Timing{chunkSeconds});
    SerialQueue captureQueue("Tavilon.ScreenRecorder");
    PulseAudioSystemAudioSource source;
    try {
        mic.start(chunks);
        source.start([&](const AudioSampleBuffer& buffer) {
            captureQueue.async([&systemAudio, buffer] { systemAudio.append(buffer); });
        });
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    while (stopRequested == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    source.stop();
    captureQueue.sync();
    systemAudio.stop();
    mic.stop();
    return 0;
}
