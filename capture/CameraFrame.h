#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace ebbcast {

// One camera picture as the camera delivered it (decoded when the camera sends compressed pictures), with
// the time it was captured in seconds on the monotonic clock. The planes are shared, not copied: a frame
// keeps the buffer it was read into alive until its last copy goes.
struct CameraFrame {
    enum class PixelFormat {
        yuyv422, // one plane, Y0 U Y1 V per two pixels
        i420,    // three planes: Y, then U and V at half width and height
    };

    PixelFormat format = PixelFormat::yuyv422;
    int width = 0;
    int height = 0;
    std::array<const std::uint8_t*, 3> planes{};
    std::array<int, 3> bytesPerLine{};
    std::shared_ptr<const void> owner; // keeps the planes alive
    double captureTimeSeconds = 0;

    int planeCount() const { return format == PixelFormat::i420 ? 3 : 1; }

    bool hasImage() const
    {
        if (!owner || width <= 0 || height <= 0)
            return false;
        if (format == PixelFormat::yuyv422)
            return planes[0] != nullptr && bytesPerLine[0] >= width * 2;
        return planes[0] != nullptr && planes[1] != nullptr && planes[2] != nullptr &&
               bytesPerLine[0] >= width && bytesPerLine[1] >= (width + 1) / 2 &&
               bytesPerLine[2] >= (width + 1) / 2;
    }
};

} // namespace ebbcast
