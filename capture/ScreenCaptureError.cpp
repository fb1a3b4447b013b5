#include "capture/ScreenCaptureError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

ScreenCaptureError::ScreenCaptureError(Code code, const QString& description)
    : CodedError(code, description)
{}

ScreenCaptureError ScreenCaptureError::displayServerUnreachable(const QString& display)
{
    return ScreenCaptureError(Code::displayServerUnreachable,
                              display.isEmpty()
                                  ? u"No X display to record: DISPLAY is not set."_s
                                  : u"The X display \""_s + display + u"\" is not reachable."_s);
}

ScreenCaptureError ScreenCaptureError::captureFailed(const QString& reason)
{
    return ScreenCaptureError(Code::captureFailed, u"The screen capture failed: "_s + reason);
}

} // namespace ebbcast
