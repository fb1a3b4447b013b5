#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A privacy permission that recording needs is missing; the text says where to grant it.
enum class PermissionErrorCode { screenRecordingMissing, microphoneMissing, cameraMissing };

class PermissionError : public CodedError<PermissionErrorCode> {
public:
    explicit PermissionError(Code code);
};

} // namespace ebbcast
