#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// The sound system could not give the recorder what it needs.
class AudioDeviceError : public EbbcastError {
public:
    enum class Code { serverUnavailable, noDefaultInput, noDefaultOutput, streamFailed };

    static AudioDeviceError serverUnavailable(const QString& reason);
    static AudioDeviceError noDefaultInput();
    static AudioDeviceError noDefaultOutput();
    static AudioDeviceError streamFailed(const QString& reason);

    Code code() const noexcept { return code_; }

private:
    AudioDeviceError(Code code, const QString& description);

    Code code_;
};

} // namespace ebbcast
