#include "app/CameraPreviewView.h"

#include "capture/CameraPreviewFeed.h"

#include <QPaintEvent>
#include <QPainter>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>

namespace ebbcast {

CameraPreviewView::CameraPreviewView(QWidget* parent)
    : QWidget(parent)
{
    // Every pixel is painted each time (picture or black): no background fill before.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

void CameraPreviewView::bind(CameraPreviewFeed* feed)
{
    unbind();
    if (feed == nullptr)
        return;
    feed_ = feed;
    feedConnection_ =
        connect(feed, &CameraPreviewFeed::frameReady, this, &CameraPreviewView::takeLatestFrame);
    takeLatestFrame();
}

void CameraPreviewView::unbind()
{
    disconnect(feedConnection_);
    feed_ = nullptr;
    pendingFrame_.reset();
    hasPicture_ = false;
    pictureAnnounced_ = true;
    update();
}

void CameraPreviewView::takeLatestFrame()
{
    if (feed_ == nullptr)
        return;
    if (std::optional<CameraFrame> frame = feed_->latestFrame())
        showFrame(*frame);
}

void CameraPreviewView::showFrame(const CameraFrame& frame)
{
    if (!frame.hasImage())
        return;
    pendingFrame_ = frame;
    update();
}

void CameraPreviewView::convertPendingFrame()
{
    if (!pendingFrame_)
        return;
    const CameraFrame frame = std::move(*pendingFrame_);
    pendingFrame_.reset(); // the camera's buffer is not held past the conversion

    if (picture_.width() != frame.width || picture_.height() != frame.height)
        picture_ = QImage(frame.width, frame.height, QImage::Format_RGB32);
    if (picture_.isNull()) { // out of memory
        hasPicture_ = false;
        return;
    }
    // libyuv's "ARGB" is B, G, R, A in memory: QImage's 32-bit RGB on a little-endian machine.
    const int stride = static_cast<int>(picture_.bytesPerLine());
    int result = 0;
    if (frame.format == CameraFrame::PixelFormat::yuyv422) {
        result = libyuv::YUY2ToARGB(frame.planes[0], frame.bytesPerLine[0], picture_.bits(), stride,
                                    frame.width, frame.height);
    } else {
        result = libyuv::I420ToARGB(frame.planes[0], frame.bytesPerLine[0], frame.planes[1],
                                    frame.bytesPerLine[1], frame.planes[2], frame.bytesPerLine[2],
                                    picture_.bits(), stride, frame.width, frame.height);
    }
    hasPicture_ = result == 0;
    pictureCaptureTime_ = frame.captureTimeSeconds;
    pictureAnnounced_ = !hasPicture_;
    scaledUpToDate_ = false;
}

bool CameraPreviewView::updateScaledPicture(const QSize& devicePixels)
{
    if (scaledUpToDate_ && scaled_.size() == devicePixels)
        return true;
    const int targetWidth = devicePixels.width();
    const int targetHeight = devicePixels.height();
    const int sourceWidth = picture_.width();
    const int sourceHeight = picture_.height();

    // The largest centred part of the picture with the widget's shape: scaled to the widget, it covers it.
    int coverWidth = sourceWidth;
    int coverHeight = sourceHeight;
    if (static_cast<qint64>(sourceWidth) * targetHeight > static_cast<qint64>(sourceHeight) * targetWidth)
        coverWidth =
            static_cast<int>(std::lround(static_cast<double>(sourceHeight) * targetWidth / targetHeight));
    else
        coverHeight =
            static_cast<int>(std::lround(static_cast<double>(sourceWidth) * targetHeight / targetWidth));
    coverWidth = std::clamp(coverWidth, 1, sourceWidth);
    coverHeight = std::clamp(coverHeight, 1, sourceHeight);
    const int left = (sourceWidth - coverWidth) / 2;
    const int top = (sourceHeight - coverHeight) / 2;

    if (scaled_.size() != devicePixels) {
        scaled_ = QImage(devicePixels, QImage::Format_RGB32);
        cover_.assign(static_cast<std::size_t>(targetWidth) * static_cast<std::size_t>(targetHeight) * 4, 0);
        if (scaled_.isNull())
            return false;
    }
    const int sourceStride = static_cast<int>(picture_.bytesPerLine());
    const std::uint8_t* source = picture_.constBits() + static_cast<qsizetype>(top) * sourceStride + left * 4;
    if (libyuv::ARGBScale(source, sourceStride, coverWidth, coverHeight, cover_.data(), targetWidth * 4,
                          targetWidth, targetHeight, libyuv::kFilterBox) != 0)
        return false;
    if (libyuv::ARGBMirror(cover_.data(), targetWidth * 4, scaled_.bits(),
                           static_cast<int>(scaled_.bytesPerLine()), targetWidth, targetHeight) != 0)
        return false;
    scaledUpToDate_ = true;
    return true;
}

void CameraPreviewView::paintEvent(QPaintEvent* event)
{
    convertPendingFrame();
    const QRect area = event->rect();
    QPainter painter(this);
    const qreal ratio = devicePixelRatioF();
    const QSize devicePixels(static_cast<int>(std::ceil(width() * ratio)),
                             static_cast<int>(std::ceil(height() * ratio)));
    if (!hasPicture_ || devicePixels.isEmpty() || !updateScaledPicture(devicePixels)) {
        painter.fillRect(area, Qt::black);
        return;
    }
    // Only the part asked for, copied pixel for pixel from the scaled picture.
    painter.drawImage(
        QRectF(area), scaled_,
        QRectF(area.x() * ratio, area.y() * ratio, area.width() * ratio, area.height() * ratio));
    if (!pictureAnnounced_) {
        pictureAnnounced_ = true;
        Q_EMIT framePainted(pictureCaptureTime_);
    }
}

} // namespace ebbcast
