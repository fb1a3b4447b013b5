#pragma once

#include <QCoro/QCoroTask>

namespace ebbcast {

// What the operating system says about the privacy permissions recording needs, and how it asks for them.
class PermissionStatusSource {
public:
    enum class Status { authorized, notDetermined, denied };
    enum class Device { microphone, camera };

    virtual ~PermissionStatusSource() = default;

    virtual bool screenCapturePreflight() = 0;
    virtual bool requestScreenCapture() = 0;
    virtual Status deviceStatus(Device device) = 0;
    // Asks the user; the answer.
    virtual QCoro::Task<bool> requestDeviceAccess(Device device) = 0;
};

// A Linux desktop has no per-application privacy permissions: everything is authorized and nothing is asked.
class DesktopPermissionStatus : public PermissionStatusSource {
public:
    bool screenCapturePreflight() override { return true; }
    bool requestScreenCapture() override { return true; }
    Status deviceStatus(Device) override { return Status::authorized; }
    QCoro::Task<bool> requestDeviceAccess(Device) override { co_return true; }
};

} // namespace ebbcast
