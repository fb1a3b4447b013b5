#pragma once

#include <QObject>
#include <QRect>

#include <functional>
#include <memory>
#include <optional>

class QScreen;
class QToolButton;
class QWidget;

namespace ebbcast {

class EbbcastAppModel;

// What the mini controller's buttons do; the application fills them in. An empty one does nothing.
struct MiniRecorderActions {
    std::function<void()> startRecording;
    std::function<void()> stopRecording;
    std::function<void()> pauseRecording;
    // Starts a wrap-up note, or ends the one that records ("Wrap Up" / "End Wrap Up").
    std::function<void()> wrapUp;
    std::function<void()> createMarker;
    std::function<void()> toggleRecordingIndicators;
    // The window was closed by its close button or the window manager (it is hidden by then).
    std::function<void()> close;
};

// The mini controller: a small frameless bar, 310 × 54, above other windows and without a taskbar entry, that
// the user drags by its background. It shows the run state and buttons "Record", "Stop", "Pause", "Wrap Up"
// (or "End Wrap Up" while a wrap-up note records), "Marker", the overlay toggle ("Hide Recording Overlay" /
// "Show Recording Overlay") and "Close", each enabled as the model's run state allows; Ctrl+. stops and
// Ctrl+M adds a marker while the window is active. Placed when first shown at the horizontal centre of the
// primary screen's available area, 22 px below its top; afterwards it stays where the user puts it. The
// window is made on the first show() and reused; closing it only hides it. Main thread only.
class MiniRecorderWindowController : public QObject {
    Q_OBJECT

public:
    static constexpr int windowWidth = 310;
    static constexpr int windowHeight = 54;
    // From the top of the primary screen's available area to the window's top.
    static constexpr int topOffset = 22;

    MiniRecorderWindowController(EbbcastAppModel& model, MiniRecorderActions actions,
                                 QObject* parent = nullptr);
    ~MiniRecorderWindowController() override;

    MiniRecorderWindowController(const MiniRecorderWindowController&) = delete;
    MiniRecorderWindowController& operator=(const MiniRecorderWindowController&) = delete;

    void show();
    void hide();
    // Hides the window when it is visible, shows it otherwise.
    void toggle();
    bool isVisible() const;
    // Called with the new visibility whenever the window appears or goes (also when the user closes it).
    void setVisibilityChangedHandler(std::function<void(bool visible)> handler);

    // Where the window goes when first shown: the top centre of the screen's available area; none without a
    // screen (the window system places it then).
    static std::optional<QRect> initialGeometry(const QScreen* screen);

    // The window, null before the first show().
    QWidget* window() const;

private:
    class Window;

    void createWindow();
    void showState();
    void showIcons();
    void reportVisibility();
    void report(bool visible);
    void closedByUser();

    EbbcastAppModel& model_;
    MiniRecorderActions actions_;
    std::function<void(bool)> visibilityChanged_;
    bool reportedVisible_ = false;

    std::unique_ptr<Window> window_;
    QWidget* stateMark_ = nullptr;
    QToolButton* record_ = nullptr;
    QToolButton* stop_ = nullptr;
    QToolButton* pause_ = nullptr;
    QToolButton* wrapUp_ = nullptr;
    QToolButton* marker_ = nullptr;
    QToolButton* overlay_ = nullptr;
    QToolButton* close_ = nullptr;
};

} // namespace ebbcast
