#pragma once

#include "capture/FrontmostApplicationSource.h"

namespace ebbcast::test {

// The frontmost application is whatever the test puts here (zoom.us to begin with).
class FakeFrontmostApplicationSource : public FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return application; }
    std::optional<FrontmostApplication> application =
        FrontmostApplication{QStringLiteral("zoom.us"), QStringLiteral("us.zoom.xos")};
};

} // namespace ebbcast::test
