#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// The screen could not be captured: no display server, or the capture failed to start or stop.
enum class ScreenCaptureErrorCode { displayServerUnreachable, captureFailed };

class ScreenCaptureError : public CodedError<ScreenCaptureErrorCode> {
public:
    static ScreenCaptureError displayServerUnreachable(const QString& display);
    static ScreenCaptureError captureFailed(const QString& reason);

private:
    ScreenCaptureError(Code code, const QString& description);
};

} // namespace ebbcast
