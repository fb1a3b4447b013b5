// Records one wrap-up note into a folder from the stand-in camera (an FFmpeg filter graph) and the default
// PulseAudio input, for SECONDS (0: until SIGTERM or SIGINT), then stops it. Prints "started PATH" once the
// first picture is written and "recorded MOVIE DOCUMENT" or "failed REASON" at the end. Used by the crash
// tests. Usage: ebbcast_wrap_up_probe FOLDER SECONDS [GRAPH]

#include "capture/PermissionManager.h"
#include "capture/WrapUpRecorder.h"
#include "capture/linux/FfmpegWrapUpMovieWriter.h"
#include "capture/linux/LavfiCameraSource.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

volatile std::sig_atomic_t stopRequested = 0;

QCoro::Task<> record(WrapUpRecorder& recorder, const QString& folder, double seconds, int& status)
{
    try {
        const QString movie = co_await recorder.start(folder);
        std::printf("started %s\n", qPrintable(movie));
        std::fflush(stdout);
    } catch (...) {
        std::printf("failed %s\n", qPrintable(describeError(std::current_exception())));
        status = 1;
        QCoreApplication::quit();
        co_return;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(qint64(seconds * 1000));
    while (stopRequested == 0 && (seconds <= 0 || std::chrono::steady_clock::now() < end)) {
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(std::chrono::milliseconds(20));
        co_await pause;
    }
    const WrapUpOutcome outcome = co_await recorder.stop();
    if (outcome.recorded) {
        std::printf("recorded %s %s\n", qPrintable(outcome.moviePath), qPrintable(outcome.metadataPath));
    } else {
        std::printf("failed %s\n", qPrintable(outcome.failure));
        status = 1;
    }
    std::fflush(stdout);
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FOLDER SECONDS [GRAPH]\n", argv[0]);
        return 2;
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const double seconds = QString::fromLocal8Bit(argv[2]).toDouble();
    const QString graph =
        argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString::fromLatin1(LavfiCameraSource::defaultGraph);

    Logger logger(folder + u".log"_s); // beside the folder: the folder holds only what a note leaves
    PermissionManager permissions(logger);
    WrapUpRecorder recorder(folder, permissions, logger, std::make_unique<LavfiCameraSource>(graph),
                            std::make_unique<PulseAudioInputEngine>(), FfmpegWrapUpMovieWriter::factory());
    int status = 0;
    QTimer::singleShot(0, [&] { record(recorder, folder, seconds, status); });
    application.exec();
    logger.flush();
    return status;
}
