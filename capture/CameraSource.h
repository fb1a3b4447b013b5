#pragma once

#include "capture/CameraFrame.h"

#include <QString>

#include <functional>
#include <optional>

namespace ebbcast {

// A camera the system offers: `id` is what the source opens (a device path, a filter graph), `name` what a
// person reads in the log.
struct CameraDevice {
    QString id;
    QString name;

    bool operator==(const CameraDevice&) const = default;
};

// The mode a camera was opened in.
struct CameraMode {
    int width = 0;
    int height = 0;
    double framesPerSecond = 0;
    QString pixelFormat; // as the camera names it: "mjpeg", "yuyv422"

    bool operator==(const CameraMode&) const = default;
};

// A camera delivering pictures. Frames and the stopped report come on the source's own thread; the owner
// moves them where they are handled. Control calls come from one thread at a time.
class CameraSource {
public:
    using FrameHandler = std::function<void(const CameraFrame&)>;
    // The camera stopped by itself (unplugged, taken away, the driver failed), with the system's reason.
    using StoppedHandler = std::function<void(const QString& reason)>;

    virtual ~CameraSource() = default;

    // The camera a note records from, none when the system has none.
    virtual std::optional<CameraDevice> defaultDevice() = 0;
    // Opens the device in its best mode for a note. Throws CameraError with the system's reason (the
    // device is busy, unreadable, gone, has no usable mode). Blocking.
    virtual CameraMode open(const CameraDevice& device) = 0;
    // Starts delivering frames of the opened device; returns at once. Throws CameraError.
    virtual void start(FrameHandler frames, StoppedHandler stopped) = 0;
    // Returns once no handler runs any more, and closes the device. Safe when nothing is open. Blocking.
    virtual void stop() = 0;
};

} // namespace ebbcast
