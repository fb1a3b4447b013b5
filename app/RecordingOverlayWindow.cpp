#include "app/RecordingOverlayWindow.h"

#include "app/ColourContrast.h"

#include <QEvent>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <QScreen>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

const QColor frameColour(0xe5, 0x39, 0x35);
const QColor levelColour(0x2e, 0xa0, 0x43);

QPainterPath pillPath(const QRect& pill)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(pill), pill.height() / 2.0, pill.height() / 2.0);
    return path;
}

double clampedLevel(double level)
{
    return std::isnan(level) ? 0.0 : std::clamp(level, 0.0, 1.0);
}

} // namespace

RecordingOverlayWindow::RecordingOverlayWindow(QScreen* screen, Backdrop backdrop)
    : screen_(screen)
    , backdrop_(backdrop)
{
    setWindowTitle(u"Ebbcast Recording Overlay"_s);
    setAccessibleName(u"Recording overlay"_s);
    // Unmanaged (override-redirect): a window manager's frame around it would take the clicks on the frame
    // and the pills (frames do not copy the window's input shape), and its stacking would put a focused
    // full-screen window above it. Unmanaged, it is on every workspace and above the managed windows by
    // itself; the stay-on-top and workspace hints are for a window system that manages it all the same.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::X11BypassWindowManagerHint | Qt::WindowTransparentForInput |
                   Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    if (backdrop_ == Backdrop::translucent)
        setAttribute(Qt::WA_TranslucentBackground);

    const QRect screenArea = screen->geometry();
    setScreen(screen);
    setGeometry(screenArea);
    // The pills sit inside the available area (clear of panels), at its top right.
    const QRect available = screen->availableGeometry().translated(-screenArea.topLeft());
    const int top = std::max(available.top() + pillMargin, frameWidth + pillMargin / 2);
    const int right =
        std::min(available.right() - pillMargin, screenArea.width() - 1 - frameWidth - pillMargin / 2);
    systemPill_ = QRect(right - pillWidth + 1, top, pillWidth, pillHeight);
    micPill_ = systemPill_.translated(-(pillWidth + pillSpacing), 0);
    if (backdrop_ == Backdrop::shaped)
        setMask(drawnRegion());
}

QScreen* RecordingOverlayWindow::targetScreen() const
{
    return screen_.data();
}

QRect RecordingOverlayWindow::levelTrack(const QRect& pill)
{
    constexpr int labelWidth = 42;
    constexpr int trackHeight = 8;
    return {pill.x() + labelWidth, pill.y() + (pill.height() - trackHeight) / 2,
            pill.width() - labelWidth - pill.height() / 2, trackHeight};
}

QRegion RecordingOverlayWindow::drawnRegion() const
{
    const QRect all = rect();
    QRegion region =
        QRegion(all).subtracted(QRegion(all.adjusted(frameWidth, frameWidth, -frameWidth, -frameWidth)));
    for (const QRect& pill : {micPill_, systemPill_})
        region += QRegion(pillPath(pill).toFillPolygon().toPolygon());
    return region;
}

void RecordingOverlayWindow::setLevels(double micLevel, double systemLevel)
{
    micLevel = clampedLevel(micLevel);
    systemLevel = clampedLevel(systemLevel);
    if (micLevel != micLevel_)
        update(micPill_);
    if (systemLevel != systemLevel_)
        update(systemPill_);
    micLevel_ = micLevel;
    systemLevel_ = systemLevel;
}

void RecordingOverlayWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (backdrop_ == Backdrop::translucent) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    const QRect all = rect();
    painter.fillRect(QRect(0, 0, all.width(), frameWidth), frameColour);
    painter.fillRect(QRect(0, all.height() - frameWidth, all.width(), frameWidth), frameColour);
    painter.fillRect(QRect(0, 0, frameWidth, all.height()), frameColour);
    painter.fillRect(QRect(all.width() - frameWidth, 0, frameWidth, all.height()), frameColour);

    paintPill(painter, micPill_, u"MIC"_s, micLevel_);
    paintPill(painter, systemPill_, u"SYS"_s, systemLevel_);
}

void RecordingOverlayWindow::paintPill(QPainter& painter, const QRect& pill, const QString& label,
                                       double level) const
{
    const QColor background = palette().color(QPalette::Window);
    const QColor text = palette().color(QPalette::WindowText);
    painter.save();
    // Shaped, the window's own edge is the pill's outline, so the pill is filled edge to edge without
    // smoothing (smoothed edge pixels would blend with a background that is not there).
    painter.setRenderHint(QPainter::Antialiasing, backdrop_ == Backdrop::translucent);
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    if (backdrop_ == Backdrop::shaped)
        painter.drawRect(pill);
    else
        painter.drawPath(pillPath(pill));

    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(11);
    painter.setFont(font);
    painter.setPen(text);
    painter.drawText(QRect(pill.x() + pill.height() / 2, pill.y(), 30, pill.height()),
                     Qt::AlignLeft | Qt::AlignVCenter, label);

    painter.setRenderHint(QPainter::Antialiasing, false);
    const QRect track = levelTrack(pill);
    painter.fillRect(track, blend(background, text, 0.25));
    const int filled = static_cast<int>(std::lround(track.width() * level));
    if (filled > 0)
        painter.fillRect(QRect(track.x(), track.y(), filled, track.height()), levelColour);
    painter.restore();
}

void RecordingOverlayWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        update();
}

} // namespace ebbcast
