#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// Why a wrap-up note could not be recorded.
enum class WrapUpErrorCode {
    alreadyRecording,
    noCamera,
    noMicrophone,
    captureSetupFailed,
    recordingDidNotStart,
    stopTimedOut,
};

class WrapUpError : public CodedError<WrapUpErrorCode> {
public:
    static WrapUpError alreadyRecording();
    static WrapUpError noCamera();
    static WrapUpError noMicrophone();
    static WrapUpError captureSetupFailed();
    static WrapUpError recordingDidNotStart();
    static WrapUpError stopTimedOut();

private:
    WrapUpError(Code code, const QString& description);
};

} // namespace ebbcast
