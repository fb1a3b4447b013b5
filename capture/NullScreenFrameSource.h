#pragma once

#include "capture/ScreenCaptureError.h"
#include "capture/ScreenFrameSource.h"

namespace ebbcast {

// The screen when there is no display server to record (DISPLAY is not set): asking for displays or starting
// fails with the reason, so a recording does not start and says why.
class NullScreenFrameSource : public ScreenFrameSource {
public:
    std::vector<ScreenDisplay> displays() override
    {
        throw ScreenCaptureError::displayServerUnreachable(QString());
    }
    void start(const ScreenDisplay&, int, FrameHandler, StoppedHandler) override
    {
        throw ScreenCaptureError::displayServerUnreachable(QString());
    }
    void stop() override {}
};

} // namespace ebbcast
