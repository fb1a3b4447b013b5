#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// A privacy permission that recording needs is missing; the text says where to grant it.
class PermissionError : public EbbcastError {
public:
    enum class Code { screenRecordingMissing, microphoneMissing, cameraMissing };

    explicit PermissionError(Code code);

    Code code() const noexcept { return code_; }

private:
    Code code_;
};

} // namespace ebbcast
