// Records into a folder as a session does, until it is killed or gets SIGTERM: the microphone and the system
// audio, and with --screen also the screen (which then owns the system-audio capture). Prints "recording"
// once everything runs. Used by the crash tests and the benchmarks. Usage: ebbcast_recording_probe FOLDER
// CHUNK_SECONDS [--screen]   (CHUNK_SECONDS 0: no chunks)

#include "capture/AudioDeviceError.h"
#include "capture/MicRecorder.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/WavFileWriter.h"
#include "capture/linux/FfmpegAacWriter.h"
#include "capture/linux/FfmpegH264Writer.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/PulseAudioSystemAudioSource.h"
#include "capture/linux/X11ScreenFrameSource.h"
#include "core/base/Logger.h"
#include "core/base/SerialQueue.h"
#include "support/RunTask.h"

#include <QCoreApplication>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {
volatile std::sig_atomic_t stopRequested = 0;

// No system audio at all: the screen recorder carries on with video only.
class NoSystemAudio : public SystemAudioSource {
public:
    void start(Handler, FailureHandler) override { throw AudioDeviceError::noDefaultOutput(); }
    void stop() override {}
};

void waitForStopRequest()
{
    std::printf("recording\n");
    std::fflush(stdout);
    while (stopRequested == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER CHUNK_SECONDS [--screen]\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const double chunkSeconds = QString::fromLocal8Bit(argv[2]).toDouble();
    const QByteArray mode = argc > 3 ? QByteArray(argv[3]) : QByteArray();
    const bool withScreen = mode == "--screen" || mode == "--screen-only";
    const bool screenOnly = mode == "--screen-only";
    std::signal(SIGTERM, [](int) { stopRequested = 1; });

    Logger logger(folder + u"/app.log"_s);
    const std::optional<QString> chunks =
        chunkSeconds > 0 ? std::optional<QString>(folder + u"/chunks"_s) : std::nullopt;
    MicRecorder::Timing micTiming;
    micTiming.chunkDurationSeconds = chunkSeconds > 0 ? chunkSeconds : 300;
    MicRecorder mic(folder + u"/microphone.wav"_s, QString(), logger,
                    std::make_unique<PulseAudioInputEngine>(), WavFileWriter::factory(), systemTime,
                    micTiming);
    std::unique_ptr<SystemAudioSource> audio;
    if (screenOnly)
        audio = std::make_unique<NoSystemAudio>();
    else
        audio = std::make_unique<PulseAudioSystemAudioSource>();
    SystemAudioRecorder systemAudio(
        folder + u"/system_audio.m4a"_s, chunks, logger, FfmpegAacWriter::factory(), systemTime,
        SystemAudioRecorder::Timing{chunkSeconds > 0 ? chunkSeconds : 300}, std::move(audio));
    try {
        if (withScreen) {
            ScreenRecorder screen(folder + u"/screen.mov"_s, 0, logger,
                                  std::make_unique<X11ScreenFrameSource>(), FfmpegH264Writer::factory());
            test::runTask(screen.prepareDisplay());
            if (!screenOnly)
                mic.startCapture(chunks);
            test::runTask(screen.start());
            systemAudio.startCapture();
            waitForStopRequest();
            test::runTask(screen.stop());
            systemAudio.stopCapture();
            if (!screenOnly)
                mic.stopCapture();
            return 0;
        }
        mic.startCapture(chunks);
        systemAudio.startCapture();
        waitForStopRequest();
        systemAudio.stopCapture();
        mic.stopCapture();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
