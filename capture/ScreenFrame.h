#pragma once

#include <QByteArray>

#include <cstdint>
#include <memory>

namespace ebbcast {

// One captured frame: 32-bit BGRA pixels (the fourth byte unused), `bytesPerLine` apart, and the time it was
// captured in seconds. A frame without pixels carries no image. The pixels are shared, not copied: a frame
// keeps the buffer it was captured into (a shared-memory segment of the display server, say) alive until its
// last copy goes, so handing a frame on costs no copy of its megabytes.
struct ScreenFrame {
    std::shared_ptr<const std::uint8_t> pixels; // the first byte; owns the buffer behind it
    qsizetype byteCount = 0;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    double presentationTimeSeconds = 0;

    // Takes the bytes over as the frame's pixels.
    void setPixels(QByteArray bytes)
    {
        auto owner = std::make_shared<const QByteArray>(std::move(bytes));
        byteCount = owner->size();
        pixels = std::shared_ptr<const std::uint8_t>(
            owner, reinterpret_cast<const std::uint8_t*>(owner->constData()));
    }

    bool hasImage() const
    {
        return pixels && width > 0 && height > 0 && bytesPerLine >= width * 4 &&
               byteCount >= qsizetype(bytesPerLine) * height;
    }
};

} // namespace ebbcast
