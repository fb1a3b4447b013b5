#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QWidget;

namespace ebbcast {

class CameraPreviewFeed;
class CameraPreviewView;

// The small window that shows the camera while a wrap-up note records: "Wrap Up Preview", 520 × 340 of
// picture, closable and minimizable but not resizable, above other windows and on every workspace, centred on
// the primary screen when it is first made. Closing it only hides it; the note goes on recording.
// Main thread only.
class WrapUpPreviewWindowController : public QObject {
    Q_OBJECT

public:
    static constexpr int contentWidth = 520;
    static constexpr int contentHeight = 340;

    explicit WrapUpPreviewWindowController(QObject* parent = nullptr);
    ~WrapUpPreviewWindowController() override;

    // Why no window can be shown in this process, if it cannot: no QApplication (a headless run), or a Qt
    // platform with nothing on screen (offscreen, minimal).
    static std::optional<QString> displayUnavailableReason();

    // Shows the feed's pictures in the window (made on the first call, reused after), then shows, raises and
    // activates it. Throws EbbcastError with displayUnavailableReason() when there is no display.
    void show(CameraPreviewFeed& feed);
    // Stops showing the feed and hides the window.
    void hide();
    bool isShown() const;

    // The window and its picture, null before the first show().
    QWidget* window() const;
    CameraPreviewView* view() const { return view_; }

Q_SIGNALS:
    // The user closed the window (it is hidden, not gone).
    void closedByUser();

private:
    std::unique_ptr<QWidget> window_;
    CameraPreviewView* view_ = nullptr;
};

} // namespace ebbcast
