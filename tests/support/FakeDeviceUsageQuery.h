#pragma once

#include "capture/DeviceUsageQuery.h"

namespace ebbcast::test {

// A microphone is busy while the test says so, with two devices in use.
class FakeDeviceUsageQuery : public DeviceUsageQuery {
public:
    Usage query() override
    {
        return {busy, busy ? QStringList{QStringLiteral("Built-in Microphone"), QStringLiteral("USB Headset")}
                           : QStringList{}};
    }
    bool busy = false;
};

} // namespace ebbcast::test
