#pragma once

#include "core/base/EbbcastError.h"

namespace ebbcast {

// A camera that could not be found, opened or read; the description is the system's reason
// ("Device or resource busy").
class CameraError : public EbbcastError {
public:
    explicit CameraError(QString reason)
        : EbbcastError(std::move(reason))
    {}
};

} // namespace ebbcast
