#pragma once

#include "capture/CameraFrame.h"
#include "capture/CameraPreviewFeed.h"

#include <QImage>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

#include <optional>
#include <vector>

namespace ebbcast {

// The camera picture as a mirror shows it: scaled to cover the whole widget (centred, the overflow cut off)
// and flipped left to right, so the person's right hand appears on the right. Black while there is no
// picture.
//
// A new frame costs one conversion to 32-bit RGB (libyuv), one scale of the visible part to the widget's
// device pixels and one mirror; both buffers are kept and reused while the sizes stay the same. A repaint
// without a new frame (an expose) only copies the part of the scaled picture that needs painting. Frames are
// converted when they are painted, so a feed that outpaces the screen, or a hidden view, costs nothing extra.
// Main thread only.
class CameraPreviewView : public QWidget {
    Q_OBJECT

public:
    explicit CameraPreviewView(QWidget* parent = nullptr);

    // Shows the feed's pictures from now on, starting with its newest one (black when it has none yet).
    void bind(CameraPreviewFeed* feed);
    // Stops following the feed and shows black.
    void unbind();
    CameraPreviewFeed* feed() const { return feed_; }

    // Shows this frame until the next one (bind() calls it for every picture of the feed).
    void showFrame(const CameraFrame& frame);

Q_SIGNALS:
    // After a new frame's picture has been painted into the window, with that frame's capture time on the
    // monotonic clock (monotonicSeconds() - captureTimeSeconds is the capture-to-screen latency). Repaints of
    // the same picture do not repeat it.
    void framePainted(double captureTimeSeconds);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void takeLatestFrame();
    void convertPendingFrame();
    bool updateScaledPicture(const QSize& devicePixels);

    QPointer<CameraPreviewFeed> feed_;
    QMetaObject::Connection feedConnection_;
    std::optional<CameraFrame> pendingFrame_; // arrived, not yet converted
    QImage picture_;                          // the latest frame as 32-bit RGB, reused between frames
    bool hasPicture_ = false;
    double pictureCaptureTime_ = 0;
    bool pictureAnnounced_ = true;    // framePainted() already emitted for picture_
    bool scaledUpToDate_ = false;     // scaled_ shows picture_ at the current size
    std::vector<std::uint8_t> cover_; // the visible part of picture_ scaled, not yet mirrored
    QImage scaled_;                   // what is painted: cover_ mirrored, in device pixels
};

} // namespace ebbcast
