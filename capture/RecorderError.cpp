#include "capture/RecorderError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

RecorderError::RecorderError(Code code, const QString& description)
    : CodedError(code, description)
{}

RecorderError RecorderError::writerSetupFailed(const QString& message)
{
    return RecorderError(Code::writerSetupFailed, message);
}

RecorderError RecorderError::writeFailed(const QString& message)
{
    return RecorderError(Code::writeFailed, message);
}

RecorderError RecorderError::noDisplayAvailable()
{
    return RecorderError(Code::noDisplayAvailable,
                         u"No display is available for ScreenCaptureKit capture."_s);
}

} // namespace ebbcast
