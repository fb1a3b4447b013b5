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

// Notices another application starting to use a microphone while nothing is being recorded, and asks the
// owner to prompt: only on the change from idle to busy, never sooner than the cooldown after the previous
// prompt, and, when the setting says so, only while an application of the watch list is frontmost.
// Main thread: the 1.5-second poll timer, the state, the setters and the callbacks.
class MicrophoneUsageMonitor {
public:
    // The settings it follows (app/ keeps them current through the setters below); each poll reads them.
    struct Config {
        bool promptWhenMicrophoneIsUsed = false;
        bool onlyPromptWatchedApps = false;
        double microphonePromptCooldownSeconds = 0;
    };

    MicrophoneUsageMonitor(Config config, AppActivityMonitor& appActivityMonitor, Logger& logger,
                           DeviceUsageQuery& usage, WallClock clock = systemTime);

    void start();
    void stop();
    // One poll, as the timer runs it.
    void poll();

    void setPromptWhenMicrophoneIsUsed(bool enabled);
    void setOnlyPromptWatchedApps(bool enabled);
    void setMicrophonePromptCooldownSeconds(double seconds);

    std::function<bool()> isRecordingProvider;
    std::function<void(const ActiveAppMetadata& application)> onMicrophoneUseDetected;

    static constexpr int pollIntervalMs = 1500;

private:
    Config config_;
    AppActivityMonitor& appActivityMonitor_;
    Logger& logger_;
    DeviceUsageQuery& usage_;
    WallClock clock_;
    QTimer timer_;
    bool wasInUse_ = false;
    std::optional<QDateTime> lastPromptAt_;
};

} // namespace ebbcast
