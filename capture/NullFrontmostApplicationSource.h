#pragma once

#include "capture/FrontmostApplicationSource.h"

namespace ebbcast {

// No window system to ask: no application is ever frontmost.
class NullFrontmostApplicationSource : public FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
};

} // namespace ebbcast
