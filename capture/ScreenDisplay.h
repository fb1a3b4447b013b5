#pragma once

#include <QString>

#include <cstdint>

namespace ebbcast {

// One display (a RandR monitor on X11): its identifier, name, area on the screen and whether it is the main
// one.
struct ScreenDisplay {
    std::uint32_t id = 0;
    QString name;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool isMain = false;

    bool operator==(const ScreenDisplay&) const = default;
};

} // namespace ebbcast
