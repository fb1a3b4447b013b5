#pragma once

#include "session/ActivityInhibitor.h"

#include <optional>

namespace ebbcast {

// Idle-sleep inhibition through org.freedesktop.ScreenSaver on the session bus. Without a session bus or
// without that service nothing is inhibited and nothing fails.
class ScreenSaverInhibitor : public ActivityInhibitor {
public:
    ~ScreenSaverInhibitor() override;

    void begin(const QString& reason) override;
    void end() override;

private:
    std::optional<unsigned int> cookie_;
};

} // namespace ebbcast
