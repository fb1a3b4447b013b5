#include "capture/WrapUpError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

WrapUpError::WrapUpError(Code code, const QString& description)
    : CodedError(code, description)
{}

WrapUpError WrapUpError::alreadyRecording()
{
    return WrapUpError(Code::alreadyRecording, u"A wrap-up note is already recording."_s);
}

WrapUpError WrapUpError::noCamera()
{
    return WrapUpError(Code::noCamera, u"No camera is available for a wrap-up note."_s);
}

WrapUpError WrapUpError::noMicrophone()
{
    return WrapUpError(Code::noMicrophone, u"No microphone is available for a wrap-up note."_s);
}

WrapUpError WrapUpError::captureSetupFailed()
{
    return WrapUpError(Code::captureSetupFailed,
                       u"Could not configure camera and microphone capture for the wrap-up note."_s);
}

WrapUpError WrapUpError::recordingDidNotStart()
{
    return WrapUpError(Code::recordingDidNotStart, u"The wrap-up note did not begin recording."_s);
}

WrapUpError WrapUpError::stopTimedOut()
{
    return WrapUpError(Code::stopTimedOut, u"The wrap-up recorder did not stop cleanly."_s);
}

} // namespace ebbcast
