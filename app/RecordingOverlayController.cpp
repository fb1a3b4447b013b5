#include "app/RecordingOverlayController.h"

#include "app/RecordingOverlayWindow.h"
#include "app/X11WindowHints.h"

#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace ebbcast {

namespace {

// The shortest time between two repaints of the levels, rounded up.
constexpr int levelRepaintIntervalMs = (1000 + RecordingOverlayController::maxLevelRepaintsPerSecond - 1) /
                                       RecordingOverlayController::maxLevelRepaintsPerSecond;

double clampedLevel(double level)
{
    return std::isnan(level) ? 0.0 : std::clamp(level, 0.0, 1.0);
}

} // namespace

RecordingOverlayController::RecordingOverlayController(QObject* parent)
    : QObject(parent)
{
    rebuild_.setSingleShot(true);
    rebuild_.setInterval(0);
    connect(&rebuild_, &QTimer::timeout, this, [this] {
        if (dropWindows())
            build();
    });
    // Precise: a coarse timer may fire a little early, which would let more repaints through.
    levelRepaint_.setSingleShot(true);
    levelRepaint_.setTimerType(Qt::PreciseTimer);
    connect(&levelRepaint_, &QTimer::timeout, this, &RecordingOverlayController::repaintLevels);

    if (qGuiApp != nullptr) {
        connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
            watchScreen(screen);
            screensChanged();
        });
        connect(qGuiApp, &QGuiApplication::screenRemoved, this, &RecordingOverlayController::screensChanged);
        for (QScreen* screen : QGuiApplication::screens())
            watchScreen(screen);
    }
}

RecordingOverlayController::~RecordingOverlayController() = default;

void RecordingOverlayController::show()
{
    Q_ASSERT(QThread::currentThread() == thread());
    recording_ = true;
    if (shouldShow() && windows_.empty())
        build();
}

void RecordingOverlayController::hide()
{
    Q_ASSERT(QThread::currentThread() == thread());
    recording_ = false;
    close();
}

void RecordingOverlayController::setIndicatorsHidden(bool hidden)
{
    Q_ASSERT(QThread::currentThread() == thread());
    indicatorsHidden_ = hidden;
    if (!shouldShow())
        close();
    else if (windows_.empty())
        build();
}

void RecordingOverlayController::updateMicLevel(double level)
{
    micLevel_ = clampedLevel(level);
    scheduleLevelRepaint();
}

void RecordingOverlayController::updateSystemLevel(double level)
{
    systemLevel_ = clampedLevel(level);
    scheduleLevelRepaint();
}

std::vector<RecordingOverlayWindow*> RecordingOverlayController::windows() const
{
    std::vector<RecordingOverlayWindow*> shown;
    for (const auto& window : windows_)
        shown.push_back(window.get());
    return shown;
}

void RecordingOverlayController::build()
{
    if (qGuiApp == nullptr)
        return;
    const auto backdrop = compositingManagerRuns() ? RecordingOverlayWindow::Backdrop::translucent
                                                   : RecordingOverlayWindow::Backdrop::shaped;
    for (QScreen* screen : QGuiApplication::screens()) {
        if (screen->geometry().isEmpty())
            continue;
        auto window = std::make_unique<RecordingOverlayWindow>(screen, backdrop);
        window->setLevels(micLevel_, systemLevel_);
        window->winId(); // the native window, for its properties before it is first mapped
        showOnAllWorkspaces(*window, false);
        window->show();
        // Repeated as a request, for a window manager that manages the window by now.
        showOnAllWorkspaces(*window, true);
        windows_.push_back(std::move(window));
    }
    sinceLevelRepaint_.start();
    Q_EMIT windowsChanged();
}

void RecordingOverlayController::close()
{
    if (dropWindows())
        Q_EMIT windowsChanged();
}

bool RecordingOverlayController::dropWindows()
{
    rebuild_.stop();
    levelRepaint_.stop();
    if (windows_.empty())
        return false;
    windows_.clear();
    return true;
}

void RecordingOverlayController::watchScreen(QScreen* screen)
{
    connect(screen, &QScreen::geometryChanged, this, &RecordingOverlayController::screensChanged);
    connect(screen, &QScreen::availableGeometryChanged, this, &RecordingOverlayController::screensChanged);
}

void RecordingOverlayController::screensChanged()
{
    if (!windows_.empty())
        rebuild_.start();
}

void RecordingOverlayController::scheduleLevelRepaint()
{
    if (windows_.empty() || levelRepaint_.isActive())
        return;
    const qint64 since = sinceLevelRepaint_.isValid() ? sinceLevelRepaint_.elapsed() : levelRepaintIntervalMs;
    levelRepaint_.start(static_cast<int>(std::max<qint64>(0, levelRepaintIntervalMs - since)));
}

void RecordingOverlayController::repaintLevels()
{
    sinceLevelRepaint_.start();
    for (const auto& window : windows_)
        window->setLevels(micLevel_, systemLevel_);
}

} // namespace ebbcast
