#pragma once

#include <QByteArray>

namespace ebbcast {

// One captured frame: 32-bit BGRA pixels (the fourth byte unused), `bytesPerLine` apart, and the time it was
// captured in seconds. A frame without pixels carries no image.
struct ScreenFrame {
    QByteArray pixels;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    double presentationTimeSeconds = 0;

    bool hasImage() const
    {
        return width > 0 && height > 0 && pixels.size() >= qsizetype(bytesPerLine) * height;
    }
};

} // namespace ebbcast
