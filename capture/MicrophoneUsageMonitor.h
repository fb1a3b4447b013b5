#pragma once

#include "capture/DeviceUsageQuery.h"
#include "core/base/WallClock.h"
#include "core/documents/ActiveAppMetadata.h"

#include <QDateTime>
#include <QTimer>

#include <functional>
#include <optional>

namespace ebbcast {

class AppActivityMonitor;
class Logger;
class PreferencesStore;

// Notices another application starting to use a microphone while nothing is being recorded, and asks the
// owner to prompt: only on the change from idle to busy, never sooner than the cooldown after the previous
// prompt, and, when the setting says so, only while a watched application is frontmost.
// Main thread: the 1.5-second poll timer, the state and the callbacks.
class MicrophoneUsageMonitor {
public:
    MicrophoneUsageMonitor(PreferencesStore& preferences, AppActivityMonitor& appActivityMonitor,
                           Logger& logger, DeviceUsageQuery& usage, WallClock clock = systemTime);

    void start();
    void stop();
    // One poll, as the timer runs it.
    void poll();

    std::function<bool()> isRecordingProvider;
    std::function<void(const ActiveAppMetadata& application)> onMicrophoneUseDetected;

    static constexpr int pollIntervalMs = 1500;

private:
    PreferencesStore& preferences_;
    AppActivityMonitor& appActivityMonitor_;
    Logger& logger_;
    DeviceUsageQuery& usage_;
    WallClock clock_;
    QTimer timer_;
    bool wasInUse_ = false;
    std::optional<QDateTime> lastPromptAt_;
};

} // namespace ebbcast
