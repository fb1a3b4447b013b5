#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A clock-sync sample that failed: the endpoint's status or its reply was not usable.
enum class ClockSyncErrorCode { badResponse, invalidPayload };

class ClockSyncError : public CodedError<ClockSyncErrorCode> {
public:
    explicit ClockSyncError(Code code);
};

} // namespace ebbcast
