#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// A clock-sync sample that failed: the endpoint's status or its reply was not usable.
class ClockSyncError : public EbbcastError {
public:
    enum class Code { badResponse, invalidPayload };

    explicit ClockSyncError(Code code);

    Code code() const noexcept { return code_; }

private:
    Code code_;
};

} // namespace ebbcast
