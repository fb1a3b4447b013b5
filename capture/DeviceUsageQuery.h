#pragma once

#include <QStringList>

namespace ebbcast {

// Whether another application is recording from an input device (a microphone, not a monitor of an output).
class DeviceUsageQuery {
public:
    struct Usage {
        bool inUse = false;
        QStringList deviceNames; // the devices in use, in the system's order
    };

    virtual ~DeviceUsageQuery() = default;
    // Not in use when the system cannot be asked.
    virtual Usage query() = 0;
};

} // namespace ebbcast
