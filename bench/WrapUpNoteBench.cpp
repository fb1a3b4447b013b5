// Records one wrap-up note into FOLDER for SECONDS from the stand-in camera (the FFmpeg filter graph GRAPH)
// and the default PulseAudio input, as the application does, then stops it and prints one line of figures:
//   start_ms               from calling WrapUpRecorder::start() to its return (the first picture written)
//   camera_first_frame_ms  from calling start() to the camera delivering its first frame
//   width, height, video_bit_rate  the camera's picture and the bit rate the movie writer chose for it
//   recorded_s             from start()'s return to the stop
//   preview_frames         new pictures painted in the preview window (0 without --preview)
//   latency_median_ms, latency_p95_ms, latency_max_ms  capture to painted, over those pictures ("-" for none)
// With --preview the process is a QApplication on xcb and shows the note's preview window, as the application
// does when it starts a note; without, it is a QCoreApplication. SIGTERM or SIGINT stop the note early.
// Exit status: 0 recorded, 1 the note failed (the reason on standard error), 2 bad arguments or no display.
// Usage: ebbcast_bench_wrap_up_note FOLDER SECONDS GRAPH [--preview]

#include "app/CameraPreviewView.h"
#include "app/WrapUpPreviewWindowController.h"
#include "capture/PermissionManager.h"
#include "capture/WrapUpRecorder.h"
#include "capture/linux/FfmpegWrapUpMovieWriter.h"
#include "capture/linux/LavfiCameraSource.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/WallClock.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

volatile std::sig_atomic_t stopRequested = 0;

// A camera that notes when, and at what size, its first frame arrives; everything else is the wrapped one's.
class FirstFrameWatch : public CameraSource {
public:
    explicit FirstFrameWatch(std::unique_ptr<CameraSource> camera)
        : camera_(std::move(camera))
    {}

    std::optional<CameraDevice> defaultDevice() override { return camera_->defaultDevice(); }
    CameraMode open(const CameraDevice& device) override { return camera_->open(device); }
    void start(FrameHandler frames, StoppedHandler stopped) override
    {
        camera_->start(
            [this, frames = std::move(frames)](const CameraFrame& frame) {
                if (firstFrameSeconds_.load() < 0) {
                    width_ = frame.width;
                    height_ = frame.height;
                    firstFrameSeconds_.store(monotonicSeconds());
                }
                frames(frame);
            },
            std::move(stopped));
    }
    void stop() override { camera_->stop(); }

    // Monotonic seconds of the first frame's arrival; negative before it. The size is valid once it is set.
    double firstFrameSeconds() const { return firstFrameSeconds_.load(); }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    std::unique_ptr<CameraSource> camera_;
    std::atomic<double> firstFrameSeconds_{-1};
    int width_ = 0;
    int height_ = 0;
};

// The figures of one run, gathered on the main thread.
struct Figures {
    double startMs = 0;
    double cameraFirstFrameMs = -1;
    double recordedSeconds = 0;
    std::vector<double> latenciesMs;
};

// The nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double fraction)
{
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void printFigures(Figures& figures, const FirstFrameWatch& camera)
{
    std::printf(
        "start_ms=%.1f camera_first_frame_ms=%.1f width=%d height=%d video_bit_rate=%lld recorded_s=%.2f "
        "preview_frames=%zu",
        figures.startMs, figures.cameraFirstFrameMs, camera.width(), camera.height(),
        static_cast<long long>(FfmpegWrapUpMovieWriter::videoBitRate(camera.width(), camera.height())),
        figures.recordedSeconds, figures.latenciesMs.size());
    std::vector<double>& latencies = figures.latenciesMs;
    if (latencies.empty()) {
        std::printf(" latency_median_ms=- latency_p95_ms=- latency_max_ms=-\n");
    } else {
        std::sort(latencies.begin(), latencies.end());
        std::printf(" latency_median_ms=%.1f latency_p95_ms=%.1f latency_max_ms=%.1f\n",
                    percentile(latencies, 0.5), percentile(latencies, 0.95), latencies.back());
    }
    std::fflush(stdout);
}

QCoro::Task<> record(WrapUpRecorder& recorder, const FirstFrameWatch& camera, const QString& folder,
                     double seconds, Figures& figures, int& status)
{
    const double called = monotonicSeconds();
    try {
        const QString movie = co_await recorder.start(folder);
        Q_UNUSED(movie);
    } catch (...) {
        std::fprintf(stderr, "the note did not start: %s\n",
                     qPrintable(describeError(std::current_exception())));
        status = 1;
        QCoreApplication::quit();
        co_return;
    }
    const double began = monotonicSeconds();
    figures.startMs = (began - called) * 1000;
    if (camera.firstFrameSeconds() >= 0)
        figures.cameraFirstFrameMs = (camera.firstFrameSeconds() - called) * 1000;

    // Wakes ten times a second to notice a signal (too seldom to weigh in the figures), and at the end.
    for (double left = seconds; stopRequested == 0 && left > 0;
         left = seconds - (monotonicSeconds() - began)) {
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(std::chrono::milliseconds(std::clamp<qint64>(std::llround(left * 1000), 1, 100)));
        co_await pause;
    }
    figures.recordedSeconds = monotonicSeconds() - began;
    const WrapUpOutcome outcome = co_await recorder.stop();
    if (!outcome.recorded) {
        std::fprintf(stderr, "the note was not recorded: %s\n", qPrintable(outcome.failure));
        status = 1;
    }
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char* argv[])
{
    bool preview = false;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--preview") == 0)
            preview = true;
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() != 3) {
        std::fprintf(stderr, "usage: %s FOLDER SECONDS GRAPH [--preview]\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(positional[0]);
    bool secondsValid = false;
    const double seconds = QString::fromLocal8Bit(positional[1]).toDouble(&secondsValid);
    const QString graph = QString::fromLocal8Bit(positional[2]);
    if (!secondsValid || seconds <= 0) {
        std::fprintf(stderr, "SECONDS must be a positive number\n");
        return 2;
    }

    std::unique_ptr<QCoreApplication> application;
    if (preview) {
        qputenv("QT_QPA_PLATFORM", "xcb");
        application = std::make_unique<QApplication>(argc, argv);
        if (const std::optional<QString> reason = WrapUpPreviewWindowController::displayUnavailableReason()) {
            std::fprintf(stderr, "no preview window can be shown: %s\n", qPrintable(*reason));
            return 2;
        }
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::signal(SIGINT, [](int) { stopRequested = 1; });

    Logger logger(folder + u".log"_s); // beside the folder, which holds only what the note leaves
    PermissionManager permissions(logger);
    auto camera = std::make_unique<FirstFrameWatch>(std::make_unique<LavfiCameraSource>(graph));
    const FirstFrameWatch& watch = *camera;
    WrapUpRecorder recorder(folder, permissions, logger, std::move(camera),
                            std::make_unique<PulseAudioInputEngine>(), FfmpegWrapUpMovieWriter::factory());
    Figures figures;
    std::unique_ptr<WrapUpPreviewWindowController> window;
    bool previewFailed = false;
    if (preview) {
        window = std::make_unique<WrapUpPreviewWindowController>();
        recorder.onSessionReady = [&](CameraPreviewFeed& feed) {
            try {
                window->show(feed);
            } catch (...) {
                previewFailed = true;
                throw;
            }
            QObject::connect(window->view(), &CameraPreviewView::framePainted, window.get(),
                             [&figures](double captureTimeSeconds) {
                                 figures.latenciesMs.push_back((monotonicSeconds() - captureTimeSeconds) *
                                                               1000);
                             });
        };
    }

    int status = 0;
    QTimer::singleShot(0, [&] { record(recorder, watch, folder, seconds, figures, status); });
    application->exec();
    if (window)
        window->hide();
    logger.flush();
    if (previewFailed) {
        std::fprintf(stderr, "the preview window could not be shown (see %s.log)\n", qPrintable(folder));
        status = 1;
    }
    if (status == 0)
        printFigures(figures, watch);
    return status;
}
