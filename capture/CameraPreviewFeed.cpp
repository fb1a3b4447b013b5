#include "capture/CameraPreviewFeed.h"

#include "core/base/WallClock.h"

#include <QMetaMethod>
#include <QTimer>

#include <cmath>

namespace ebbcast {

CameraPreviewFeed::CameraPreviewFeed(QObject* parent)
    : QObject(parent)
{}

void CameraPreviewFeed::publish(const CameraFrame& frame)
{
    static const QMetaMethod frameReadySignal = QMetaMethod::fromSignal(&CameraPreviewFeed::frameReady);
    {
        const std::lock_guard lock(mutex_);
        latest_ = frame;
        // Nobody shows the pictures (no preview, or it is hidden): the GUI thread is not woken for them.
        if (!isSignalConnected(frameReadySignal))
            return;
        if (deliveryPending_)
            return; // the news already on its way carries this frame too
        deliveryPending_ = true;
    }
    QMetaObject::invokeMethod(this, &CameraPreviewFeed::deliver, Qt::QueuedConnection);
}

void CameraPreviewFeed::deliver()
{
    const double now = monotonicSeconds();
    {
        const std::lock_guard lock(mutex_);
        const double wait =
            lastDeliverySeconds_ < 0 ? 0 : lastDeliverySeconds_ + minimumIntervalSeconds - now;
        if (wait > 0) {
            // Too soon after the last one: the news waits, still pending, so later frames only replace the
            // newest one.
            QTimer::singleShot(static_cast<int>(std::ceil(wait * 1000)), this, &CameraPreviewFeed::deliver);
            return;
        }
        deliveryPending_ = false;
        if (!latest_)
            return;
        lastDeliverySeconds_ = now;
    }
    Q_EMIT frameReady();
}

std::optional<CameraFrame> CameraPreviewFeed::latestFrame() const
{
    const std::lock_guard lock(mutex_);
    return latest_;
}

void CameraPreviewFeed::clear()
{
    const std::lock_guard lock(mutex_);
    latest_.reset();
}

} // namespace ebbcast
