#pragma once

#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QWidget>

class QScreen;

namespace ebbcast {

// One screen's recording overlay: a red frame along the screen's edges and two level pills, "MIC" and "SYS",
// at the top right of the screen's available area, each with a bar filled to its level (0 to 1). The window
// covers the whole screen but is never in the way: it takes no input (clicks reach the windows beneath) and
// no focus. With a compositing manager the rest of it is transparent; without one it is cut to the frame and
// the pills (a window shape), since its transparent parts would otherwise come out black. No window manager
// manages it (override-redirect): a manager's frame would catch the clicks on the frame and the pills, and
// its stacking would put a focused full-screen window above it. RecordingOverlayController makes and places
// these. Main thread only.
class RecordingOverlayWindow : public QWidget {
    Q_OBJECT

public:
    enum class Backdrop {
        // A window with an alpha channel, for a compositing manager to blend.
        translucent,
        // An opaque window shaped to what it draws.
        shaped,
    };

    static constexpr int frameWidth = 4;
    static constexpr int pillWidth = 112;
    static constexpr int pillHeight = 26;
    // From the available area's top right corner to the pills, and between the two.
    static constexpr int pillMargin = 16;
    static constexpr int pillSpacing = 8;

    RecordingOverlayWindow(QScreen* screen, Backdrop backdrop);

    QScreen* targetScreen() const;
    Backdrop backdrop() const { return backdrop_; }

    // Stores the levels (clamped to 0…1) and repaints the pills when they changed.
    void setLevels(double micLevel, double systemLevel);
    double micLevel() const { return micLevel_; }
    double systemLevel() const { return systemLevel_; }

    // In the window's coordinates: the pills, the bar inside a pill (its empty track), and what is drawn at
    // all (the frame and the pills).
    QRect micPill() const { return micPill_; }
    QRect systemPill() const { return systemPill_; }
    static QRect levelTrack(const QRect& pill);
    QRegion drawnRegion() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void paintPill(class QPainter& painter, const QRect& pill, const QString& label, double level) const;

    QPointer<QScreen> screen_;
    Backdrop backdrop_;
    QRect micPill_;
    QRect systemPill_;
    double micLevel_ = 0;
    double systemLevel_ = 0;
};

} // namespace ebbcast
