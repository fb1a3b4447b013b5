#pragma once

#include "capture/PermissionStatusSource.h"

#include <QCoro/QCoroTask>

#include <memory>

namespace ebbcast {

class Logger;

// Checks the privacy permissions recording needs and asks for them where the system allows asking; a missing
// one becomes a PermissionError whose text tells the user where to grant it. On a Linux desktop the status
// source reports everything authorized, so the checks pass.
// Main thread.
class PermissionManager {
public:
    explicit PermissionManager(Logger& logger, std::unique_ptr<PermissionStatusSource> status =
                                                   std::make_unique<DesktopPermissionStatus>());

    bool hasScreenRecordingPermission();
    bool hasMicrophonePermission();
    bool hasCameraPermission();

    bool requestScreenRecordingPermissionIfNeeded();
    QCoro::Task<bool> requestMicrophonePermissionIfNeeded();
    QCoro::Task<bool> requestCameraPermissionIfNeeded();

    // Screen recording first, then the microphone; throws PermissionError at the first one missing.
    QCoro::Task<> validateForRecording();
    // Microphone first, then the camera.
    QCoro::Task<> validateForWrapUp();

private:
    QCoro::Task<bool> requestDeviceIfNeeded(PermissionStatusSource::Device device);

    Logger& logger_;
    std::unique_ptr<PermissionStatusSource> status_;
};

} // namespace ebbcast
