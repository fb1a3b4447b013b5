// The shell windows (dashboard, mini controller, recording overlay) on a model fed as a recording feeds it:
// state Recording, the elapsed timer running, and the microphone and system-audio levels read live from the
// PulseAudio sources the recorder reads (the default source at its own rate and the default sink's monitor at
// 48 kHz, both in 1024-frame buffers: 43 to 47 levels a second each), computed as the recorder computes them
// and handed to the model on the main thread. The overlay follows the model's levels.
// Modes:
//   shown      the dashboard, the mini controller and the overlay are shown
//   hidden     the same windows, made once (dashboard and mini controller shown, then hidden; the overlay's
//              indicators hidden, so it has no window), kept hidden
//   dashboard  only the dashboard is shown
//   open-time  no levels: the dashboard's first show() and ten more after hide(), each timed from show() to
//              its first paint done on the exposed window; prints first_ms, later_median_ms (and the later
//              ones' min and max) and exits
// In the first three modes it prints "ready" once the windows are up, runs until SIGTERM or SIGINT, then
// prints one line of figures since "ready": levels=pulseaudio, the level updates a second that reached the
// model (mic_updates_per_s, system_updates_per_s) and the meters' range (mic_meter_min/max, ...).
// --recordings DIR: the dashboard's recordings folder (its recent sessions list).
// Exit status: 0, 1 a window did not appear or the sound sources failed, 2 bad arguments or no X display.
// Usage: ebbcast_bench_shell_windows shown|hidden|dashboard|open-time [--recordings DIR]

#include "app/DashboardWindowController.h"
#include "app/MiniRecorderWindowController.h"
#include "app/RecordingOverlayController.h"
#include "app/RecordingOverlayWindow.h"
#include "capture/AudioLevel.h"
#include "capture/MicRecorder.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/PulseAudioSystemAudioSource.h"
#include "core/base/EbbcastError.h"
#include "model/EbbcastAppModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

int signalPipe[2] = {-1, -1};

// Handles events until `done` holds or `milliseconds` have passed; true when it holds.
bool waitUntil(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

bool exposed(const QWidget* window)
{
    return window != nullptr && window->windowHandle() != nullptr && window->windowHandle()->isExposed();
}

// Root mean square of all the signed 16-bit samples, as the system-audio recorder measures its level.
float systemLevelOf(const AudioSampleBuffer& buffer)
{
    const qsizetype count = buffer.data.size() / 2;
    double sum = 0;
    for (qsizetype i = 0; i < count; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, buffer.data.constData() + 2 * i, 2);
        sum += (sample / 32767.0) * (sample / 32767.0);
    }
    return count == 0 ? 0.0F : static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
}

// The recorder's two level feeds, from PulseAudio's threads to the model on the main thread.
class LiveLevels {
public:
    explicit LiveLevels(EbbcastAppModel& model)
        : model_(model)
    {}
    ~LiveLevels() { stop(); }

    // Throws EbbcastError when a source cannot be read.
    void start()
    {
        microphone_.prepare();
        microphone_.installTap(
            MicRecorder::tapBufferFrames, microphone_.inputFormat(), [this](const AudioInputBuffer& buffer) {
                const float level = AudioLevel::ofFirstChannel(buffer);
                micUpdates_.fetch_add(1);
                QMetaObject::invokeMethod(
                    &model_, [this, level] { model_.setMicLevelFromRecorder(level); }, Qt::QueuedConnection);
            });
        microphone_.start();
        systemAudio_.start(
            [this](const AudioSampleBuffer& buffer) {
                const float level = systemLevelOf(buffer);
                systemUpdates_.fetch_add(1);
                QMetaObject::invokeMethod(
                    &model_, [this, level] { model_.setSystemLevelFromRecorder(level); },
                    Qt::QueuedConnection);
            },
            [](const QString& reason) {
                std::fprintf(stderr, "system audio stopped: %s\n", qPrintable(reason));
            });
    }

    void stop()
    {
        systemAudio_.stop();
        microphone_.stop();
        microphone_.removeTap();
    }

    long micUpdates() const { return micUpdates_.load(); }
    long systemUpdates() const { return systemUpdates_.load(); }

private:
    EbbcastAppModel& model_;
    PulseAudioInputEngine microphone_;
    PulseAudioSystemAudioSource systemAudio_;
    std::atomic<long> micUpdates_{0};
    std::atomic<long> systemUpdates_{0};
};

// The smallest and largest value a meter showed.
struct Range {
    double low = 1;
    double high = 0;
    void add(double value)
    {
        low = std::min(low, value);
        high = std::max(high, value);
    }
};

// Notes when the first paint of any widget of the watched window has completed: the paint events of one
// repaint are sent together and the window flushed after them, so a zero timer posted from the first runs
// after all of that.
class FirstPaintWatch : public QObject {
public:
    explicit FirstPaintWatch(std::function<QWidget*()> window)
        : window_(std::move(window))
    {
        qApp->installEventFilter(this);
    }

    // Times from now to the next completed paint of the window while it is exposed; -1 after `milliseconds`.
    double timeShow(const std::function<void()>& show, int milliseconds)
    {
        painted_ = -1;
        armed_ = true;
        clock_.start();
        show();
        const bool done = waitUntil([this] { return painted_ >= 0; }, milliseconds);
        armed_ = false;
        return done ? painted_ : -1;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (armed_ && event->type() == QEvent::Paint) {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget != nullptr && widget->window() == window_()) {
                armed_ = false;
                QTimer::singleShot(0, this, [this] {
                    if (exposed(window_()))
                        painted_ = double(clock_.nsecsElapsed()) / 1e6;
                    else
                        armed_ = true;
                });
            }
        }
        return false;
    }

private:
    std::function<QWidget*()> window_;
    QElapsedTimer clock_;
    bool armed_ = false;
    double painted_ = -1;
};

int openTimes(DashboardWindowController& dashboard)
{
    FirstPaintWatch watch([&dashboard] { return dashboard.window(); });
    const double first = watch.timeShow([&dashboard] { dashboard.show(); }, 20000);
    std::vector<double> later;
    for (int i = 0; i < 10 && first >= 0; ++i) {
        dashboard.hide();
        waitUntil([&dashboard] { return !exposed(dashboard.window()); }, 5000);
        waitUntil([] { return false; }, 200); // settled, as a user would come back to it
        const double again = watch.timeShow([&dashboard] { dashboard.show(); }, 20000);
        if (again < 0)
            break;
        later.push_back(again);
    }
    if (first < 0 || later.size() != 10) {
        std::fprintf(stderr, "the dashboard was not painted within 20 s of show()\n");
        return 1;
    }
    std::sort(later.begin(), later.end());
    std::printf("first_ms=%.1f later_median_ms=%.1f later_min_ms=%.1f later_max_ms=%.1f\n", first,
                (later[4] + later[5]) / 2, later.front(), later.back());
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString mode = arguments.value(0);
    const qsizetype recordingsAt = arguments.indexOf(u"--recordings"_s);
    const QString recordings = recordingsAt > 0 ? arguments.value(recordingsAt + 1) : QString();
    if (!QStringList{u"shown"_s, u"hidden"_s, u"dashboard"_s, u"open-time"_s}.contains(mode)) {
        std::fprintf(stderr, "usage: %s shown|hidden|dashboard|open-time [--recordings DIR]\n", argv[0]);
        return 2;
    }
    if (QGuiApplication::platformName() != u"xcb"_s) {
        std::fprintf(stderr, "needs an X display (QT_QPA_PLATFORM=xcb)\n");
        return 2;
    }

    EbbcastAppModel model(QUrl(u"http://127.0.0.1:9"_s));
    model.setState(EbbcastRunState::recording);
    model.startElapsedTimer();
    DashboardSources sources;
    sources.recordingsFolder = [recordings] {
        return recordings;
    };
    sources.readiness = [] {
        return std::vector<DeviceReadiness>{{u"Screen"_s, true, u"screen (1920x1080)"_s},
                                            {u"Microphone"_s, true, u"Test_Microphone"_s},
                                            {u"System audio"_s, true, u"Test_Speaker"_s},
                                            {u"Camera"_s, false, u"No camera found."_s}};
    };
    sources.revealFolder = [](const QString&) {
    };
    DashboardWindowController dashboard(model, {}, sources);
    if (mode == u"open-time"_s)
        return openTimes(dashboard);

    MiniRecorderWindowController mini(model, {});
    RecordingOverlayController overlay;
    Range micMeter;
    Range systemMeter;
    bool ready = false;
    QObject::connect(&model, &EbbcastAppModel::micLevelChanged, &overlay, [&] {
        overlay.updateMicLevel(model.micLevel());
        if (ready)
            micMeter.add(model.micLevel());
    });
    QObject::connect(&model, &EbbcastAppModel::systemLevelChanged, &overlay, [&] {
        overlay.updateSystemLevel(model.systemLevel());
        if (ready)
            systemMeter.add(model.systemLevel());
    });

    LiveLevels levels(model);
    try {
        levels.start();
    } catch (...) {
        std::fprintf(stderr, "the sound sources cannot be read: %s\n",
                     qPrintable(describeError(std::current_exception())));
        return 1;
    }
    const bool all = mode != u"dashboard"_s;
    dashboard.show();
    if (all) {
        mini.show();
        overlay.show();
    }
    const bool up = waitUntil(
        [&] {
            const auto windows = overlay.windows();
            return exposed(dashboard.window()) &&
                   (!all || (exposed(mini.window()) && !windows.empty() &&
                             std::all_of(windows.begin(), windows.end(), exposed)));
        },
        20000);
    if (!up) {
        std::fprintf(stderr, "the windows did not appear within 20 s\n");
        return 1;
    }
    if (mode == u"hidden"_s) {
        model.setRecordingIndicatorsHidden(true);
        overlay.setIndicatorsHidden(true);
        dashboard.hide();
        mini.hide();
    }

    if (::pipe(signalPipe) != 0)
        return 1;
    std::signal(SIGTERM, [](int) { (void)!::write(signalPipe[1], "x", 1); });
    std::signal(SIGINT, [](int) { (void)!::write(signalPipe[1], "x", 1); });
    QSocketNotifier stopRequested(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopRequested, &QSocketNotifier::activated, &application, &QCoreApplication::quit);

    ready = true;
    const long micBefore = levels.micUpdates();
    const long systemBefore = levels.systemUpdates();
    QElapsedTimer running;
    running.start();
    std::printf("ready\n");
    std::fflush(stdout);
    QApplication::exec();
    const double seconds = double(running.elapsed()) / 1000;
    levels.stop();
    for (Range* meter : {&micMeter, &systemMeter})
        if (meter->high < meter->low) // it never moved
            *meter = Range{0, 0};
    std::printf("mode=%s levels=pulseaudio seconds=%.1f mic_updates_per_s=%.1f system_updates_per_s=%.1f "
                "mic_meter_min=%.2f mic_meter_max=%.2f system_meter_min=%.2f system_meter_max=%.2f\n",
                qPrintable(mode), seconds, double(levels.micUpdates() - micBefore) / seconds,
                double(levels.systemUpdates() - systemBefore) / seconds, micMeter.low, micMeter.high,
                systemMeter.low, systemMeter.high);
    return 0;
}
