#pragma once

#include "capture/CameraFrame.h"

#include <QObject>

#include <mutex>
#include <optional>

namespace ebbcast {

// Camera pictures on their way to a preview: the camera's thread publishes every frame, the thread the feed
// lives on (the GUI thread) learns of the newest one at most 30 times a second. Latest wins: a preview that
// falls behind skips pictures, never queues them.
class CameraPreviewFeed : public QObject {
    Q_OBJECT

public:
    static constexpr double minimumIntervalSeconds = 1.0 / 30.0;

    explicit CameraPreviewFeed(QObject* parent = nullptr);

    // Any thread. Keeps the frame as the newest one and tells the feed's thread, unless nothing listens to
    // frameReady or news is already on its way; news less than a thirtieth of a second after the last waits
    // for the rest of that time.
    void publish(const CameraFrame& frame);
    // The newest frame, none before the first or after clear().
    std::optional<CameraFrame> latestFrame() const;
    // Forgets the newest frame (a note ended): the preview shows nothing until the next frame.
    void clear();

Q_SIGNALS:
    // On the feed's thread: a newer frame is there.
    void frameReady();

private:
    void deliver();

    mutable std::mutex mutex_;
    std::optional<CameraFrame> latest_;
    bool deliveryPending_ = false;
    double lastDeliverySeconds_ = -1;
};

} // namespace ebbcast
