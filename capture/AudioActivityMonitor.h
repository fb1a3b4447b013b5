#pragma once

#include "capture/AudioInputEngine.h"
#include "core/base/WallClock.h"

#include <QDateTime>
#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace ebbcast {

class AppActivityMonitor;
class Logger;

// Measures the microphone level: loud input asks for an automatic start, a long enough silence in a
// recording that may stop by itself asks for the stop. It has its own input stream; the running recording's
// levels come in through observeRecordingLevel().
// Threads: construct, start(), stop(), the setters and the callbacks on the main thread; levels arrive on the
// audio threads (its own tap and the recording's). The silence window is guarded by a mutex; the settings
// used on those threads are kept in atomics.
class AudioActivityMonitor {
public:
    // The settings it follows (app/ keeps them current through the setters below).
    struct Config {
        double silenceThreshold = 0;       // a level at or above it is sound
        double autoStopSilenceSeconds = 0; // the silence after which a recording may stop
        bool autoStartRecording = false;   // loud input asks for a recording
        bool onlyAutoRecordWatchedApps = false;
    };

    AudioActivityMonitor(Config config, AppActivityMonitor& appActivityMonitor, Logger& logger,
                         std::unique_ptr<AudioInputEngine> engine, WallClock clock = systemTime);
    ~AudioActivityMonitor();

    AudioActivityMonitor(const AudioActivityMonitor&) = delete;
    AudioActivityMonitor& operator=(const AudioActivityMonitor&) = delete;

    // A failed start is logged and can be tried again later.
    void start();
    void stop();
    bool isMonitoring() const { return isMonitoring_; }

    void setRecordingAutoStopEnabled(bool enabled);
    void setSilenceThreshold(double level);
    void setAutoStopSilenceSeconds(double seconds);
    void setAutoStartRecording(bool enabled);
    void setOnlyAutoRecordWatchedApps(bool enabled);
    // Any thread: the running recording's microphone level.
    void observeRecordingLevel(float level);

    std::function<void()> onActivityStart;
    std::function<void()> onSilenceTimeout;

private:
    void handleLevel(float level, bool autoStartAllowed);
    void clearSilence();

    AppActivityMonitor& appActivityMonitor_;
    Logger& logger_;
    std::unique_ptr<AudioInputEngine> engine_;
    WallClock clock_;
    QObject mainThread_; // receiver of the callbacks queued from the audio threads

    bool isMonitoring_ = false;
    bool tapInstalled_ = false;
    std::atomic<bool> recordingAutoStopEnabled_{false};
    std::atomic<float> silenceThreshold_;
    std::atomic<double> autoStopSilenceSeconds_;
    std::atomic<bool> autoStartRecording_;
    bool onlyAutoRecordWatchedApps_; // main thread

    std::mutex silenceLock_;
    std::optional<QDateTime> silenceStartedAt_;
};

} // namespace ebbcast
