#pragma once

#include "capture/ScreenDisplay.h"
#include "capture/ScreenFrame.h"

#include <QString>

#include <functional>
#include <vector>

namespace ebbcast {

// Frames of one display at a bounded rate. Frames and the stopped report come on the source's own thread;
// the owner moves them where they are handled.
class ScreenFrameSource {
public:
    using FrameHandler = std::function<void(const ScreenFrame&)>;
    // The capture ended by itself (the display went away, the connection was lost), with the reason.
    using StoppedHandler = std::function<void(const QString& description)>;

    virtual ~ScreenFrameSource() = default;

    // Throws ScreenCaptureError when there is no display server to ask.
    virtual std::vector<ScreenDisplay> displays() = 0;

    // Starts capturing the display's area at most `framesPerSecond`; returns once capture runs.
    // Throws ScreenCaptureError.
    virtual void start(const ScreenDisplay& display, int framesPerSecond, FrameHandler frames,
                       StoppedHandler stopped) = 0;
    // Returns once no handler runs any more. Throws ScreenCaptureError when the capture could not be closed
    // cleanly (it is stopped all the same).
    virtual void stop() = 0;
};

} // namespace ebbcast
