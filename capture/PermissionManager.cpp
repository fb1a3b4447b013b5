#include "capture/PermissionManager.h"

#include "capture/PermissionError.h"
#include "core/base/Logger.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

using Device = PermissionStatusSource::Device;
using Status = PermissionStatusSource::Status;

PermissionManager::PermissionManager(Logger& logger, std::unique_ptr<PermissionStatusSource> status)
    : logger_(logger)
    , status_(std::move(status))
{}

bool PermissionManager::hasScreenRecordingPermission()
{
    return status_->screenCapturePreflight();
}

bool PermissionManager::hasMicrophonePermission()
{
    return status_->deviceStatus(Device::microphone) == Status::authorized;
}

bool PermissionManager::hasCameraPermission()
{
    return status_->deviceStatus(Device::camera) == Status::authorized;
}

bool PermissionManager::requestScreenRecordingPermissionIfNeeded()
{
    if (status_->screenCapturePreflight())
        return true;
    logger_.info(u"Requesting Screen Recording permission"_s);
    return status_->requestScreenCapture();
}

QCoro::Task<bool> PermissionManager::requestDeviceIfNeeded(Device device)
{
    switch (status_->deviceStatus(device)) {
    case Status::authorized:
        co_return true;
    case Status::denied:
        co_return false; // asking again shows nothing; the user has to change it in the settings
    case Status::notDetermined:
        logger_.info(device == Device::microphone ? u"Requesting Microphone permission"_s
                                                  : u"Requesting Camera permission"_s);
        co_return co_await status_->requestDeviceAccess(device);
    }
    co_return false;
}

QCoro::Task<bool> PermissionManager::requestMicrophonePermissionIfNeeded()
{
    co_return co_await requestDeviceIfNeeded(Device::microphone);
}

QCoro::Task<bool> PermissionManager::requestCameraPermissionIfNeeded()
{
    co_return co_await requestDeviceIfNeeded(Device::camera);
}

// Each answer is awaited into a variable first: GCC 12 never destroys a task awaited inside an if condition,
// so its coroutine frame would leak.
QCoro::Task<> PermissionManager::validateForRecording()
{
    if (!requestScreenRecordingPermissionIfNeeded())
        throw PermissionError(PermissionError::Code::screenRecordingMissing);
    const bool microphone = co_await requestMicrophonePermissionIfNeeded();
    if (!microphone)
        throw PermissionError(PermissionError::Code::microphoneMissing);
}

QCoro::Task<> PermissionManager::validateForWrapUp()
{
    const bool microphone = co_await requestMicrophonePermissionIfNeeded();
    if (!microphone)
        throw PermissionError(PermissionError::Code::microphoneMissing);
    const bool camera = co_await requestCameraPermissionIfNeeded();
    if (!camera)
        throw PermissionError(PermissionError::Code::cameraMissing);
}

} // namespace ebbcast
