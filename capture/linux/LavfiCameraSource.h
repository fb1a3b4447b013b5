#pragma once

#include "capture/CameraSource.h"
#include "capture/linux/FfmpegCameraInput.h"

namespace ebbcast {

// A stand-in camera for tests and demos: an FFmpeg filter graph read through libavdevice's lavfi input (a
// moving test pattern by default). The graph should end in `realtime`, or it delivers as fast as it can.
class LavfiCameraSource : public CameraSource {
public:
    static constexpr const char* defaultGraph = "testsrc2=size=640x480:rate=30,format=yuyv422,realtime";

    explicit LavfiCameraSource(QString graph = QString::fromLatin1(defaultGraph));

    const QString& graph() const { return graph_; }

    // Always the graph, named "Test pattern (lavfi)".
    std::optional<CameraDevice> defaultDevice() override;
    // Opens the device's graph (this source's own when the id is empty); the mode is the graph's output.
    // Throws CameraError with FFmpeg's reason for a graph it cannot set up.
    CameraMode open(const CameraDevice& device) override;
    void start(FrameHandler frames, StoppedHandler stopped) override;
    void stop() override;

private:
    QString graph_;
    FfmpegCameraInput input_;
};

} // namespace ebbcast
