#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// The sound system could not give the recorder what it needs.
enum class AudioDeviceErrorCode { serverUnavailable, noDefaultInput, noDefaultOutput, streamFailed };

class AudioDeviceError : public CodedError<AudioDeviceErrorCode> {
public:
    static AudioDeviceError serverUnavailable(const QString& reason);
    static AudioDeviceError noDefaultInput();
    static AudioDeviceError noDefaultOutput();
    static AudioDeviceError streamFailed(const QString& reason);

private:
    AudioDeviceError(Code code, const QString& description);
};

} // namespace ebbcast
