#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// The screen could not be captured: no display server, or the capture failed to start or stop.
class ScreenCaptureError : public EbbcastError {
public:
    enum class Code { displayServerUnreachable, captureFailed };

    static ScreenCaptureError displayServerUnreachable(const QString& display);
    static ScreenCaptureError captureFailed(const QString& reason);

    Code code() const noexcept { return code_; }

private:
    ScreenCaptureError(Code code, const QString& description);

    Code code_;
};

} // namespace ebbcast
