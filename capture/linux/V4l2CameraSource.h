#pragma once

#include "capture/CameraSource.h"
#include "capture/linux/FfmpegCameraInput.h"
#include "capture/linux/V4l2ModeChoice.h"

#include <vector>

namespace ebbcast {

// A Video4Linux2 camera. The device is found and its modes listed through the V4L2 ioctls
// (VIDIOC_QUERYCAP, VIDIOC_ENUM_FMT, VIDIOC_ENUM_FRAMESIZES, VIDIOC_ENUM_FRAMEINTERVALS); the mode is
// V4l2ModeChoice's; the pictures come through libavdevice's video4linux2 input (FfmpegCameraInput).
class V4l2CameraSource : public CameraSource {
public:
    // `devicePath` ("/dev/video2"): that camera only; empty: the first camera the system has.
    explicit V4l2CameraSource(QString devicePath = QString());

    const QString& devicePath() const { return devicePath_; }

    // The given device if it exists and captures video; without one, the lowest-numbered /dev/videoN that
    // captures video. Named by its driver's card name.
    std::optional<CameraDevice> defaultDevice() override;
    // Throws CameraError with the system's reason: "No such file or directory", "Permission denied",
    // "Device or resource busy", "Inappropriate ioctl for device" (not a V4L2 device), "No such device".
    CameraMode open(const CameraDevice& device) override;
    void start(FrameHandler frames, StoppedHandler stopped) override;
    void stop() override;

    // The modes a device offers in the formats a note can be read from. Throws CameraError.
    static std::vector<V4l2ModeOffer> offersOf(const QString& devicePath);

private:
    QString devicePath_;
    FfmpegCameraInput input_;
};

} // namespace ebbcast
