#pragma once

#include "capture/CameraSource.h"

#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// Pictures a camera offers in one pixel format: one size (minimum equal to maximum) or a range of sizes in
// steps, at the given frame rates (for a range, the rates of the size nearest the note's size).
struct V4l2ModeOffer {
    QString pixelFormat; // FFmpeg's name: "mjpeg", "yuyv422", "yuv420p", "nv12"
    int minWidth = 0;
    int maxWidth = 0;
    int widthStep = 1;
    int minHeight = 0;
    int maxHeight = 0;
    int heightStep = 1;
    std::vector<double> framesPerSecond; // 0: the camera does not say

    static V4l2ModeOffer discrete(QString pixelFormat, int width, int height, std::vector<double> rates);

    bool operator==(const V4l2ModeOffer&) const = default;
};

// The mode a note is recorded in. The note's size is 1280×720 at 24 frames a second or more:
// - if any offer reaches 24 fps: among those, the size nearest 1280×720 (least |Δwidth| + |Δheight|; on a tie
//   the larger picture), then MJPEG before YUYV before the planar formats, then the rate nearest 30 (on a tie
//   the faster);
// - else the fastest rate, then the size nearest 1280×720, then the formats as above.
// A range's size is the one within it nearest 1280×720. None when nothing is offered in a known format.
class V4l2ModeChoice {
public:
    static constexpr int targetWidth = 1280;
    static constexpr int targetHeight = 720;
    static constexpr double minimumFramesPerSecond = 24;
    static constexpr double preferredFramesPerSecond = 30;

    // The pixel formats a note can be read from, most preferred first.
    static const std::vector<QString>& knownPixelFormats();

    // The size within the offer's range nearest 1280×720.
    static std::pair<int, int> nearestSize(const V4l2ModeOffer& offer);

    static std::optional<CameraMode> choose(const std::vector<V4l2ModeOffer>& offers);
};

} // namespace ebbcast
