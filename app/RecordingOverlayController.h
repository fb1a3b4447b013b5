#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class QScreen;

namespace ebbcast {

class RecordingOverlayWindow;

// The recording overlay: while a session records and the indicators are not hidden, one
// RecordingOverlayWindow per screen, each covering its screen, above other windows, on every workspace,
// shown without taking focus and letting every click through. The windows are made anew whenever a screen
// comes, goes or changes its geometry, and exist only between show() and hide() (or
// setIndicatorsHidden(true)). Whether they are translucent or shaped is decided each time they are made (a
// compositing manager may start or stop meanwhile).
//
// The levels may arrive at any rate (an audio callback's); the pills are repainted at most 30 times a second,
// the last level always shown. Main thread only.
class RecordingOverlayController : public QObject {
    Q_OBJECT

public:
    static constexpr int maxLevelRepaintsPerSecond = 30;

    explicit RecordingOverlayController(QObject* parent = nullptr);
    ~RecordingOverlayController() override;

    RecordingOverlayController(const RecordingOverlayController&) = delete;
    RecordingOverlayController& operator=(const RecordingOverlayController&) = delete;

    // A session records: the windows are shown unless the indicators are hidden.
    void show();
    // The session ended: the windows are closed.
    void hide();
    // The user hid (or showed again) the indicators; while hidden no window exists.
    void setIndicatorsHidden(bool hidden);
    bool indicatorsHidden() const { return indicatorsHidden_; }

    // 0 to 1 (clamped).
    void updateMicLevel(double level);
    void updateSystemLevel(double level);
    double micLevel() const { return micLevel_; }
    double systemLevel() const { return systemLevel_; }

    // The windows shown now, one per screen (none while hidden).
    std::vector<RecordingOverlayWindow*> windows() const;

Q_SIGNALS:
    // The windows were made (shown, or made anew after a screen change) or closed; once for a rebuild.
    void windowsChanged();

private:
    bool shouldShow() const { return recording_ && !indicatorsHidden_; }
    void build();
    void close();
    // Closes the windows without telling; true when there were any.
    bool dropWindows();
    void watchScreen(QScreen* screen);
    void screensChanged();
    void scheduleLevelRepaint();
    void repaintLevels();

    bool recording_ = false;
    bool indicatorsHidden_ = false;
    double micLevel_ = 0;
    double systemLevel_ = 0;
    std::vector<std::unique_ptr<RecordingOverlayWindow>> windows_;
    // Screen changes come in bursts (a screen added, then its geometry set): one rebuild after them.
    QTimer rebuild_;
    QTimer levelRepaint_;
    QElapsedTimer sinceLevelRepaint_;
};

} // namespace ebbcast
