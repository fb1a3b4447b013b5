#include "capture/AudioActivityMonitor.h"

#include "capture/AppActivityMonitor.h"
#include "capture/AudioLevel.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"

#include <QMetaObject>

using namespace Qt::StringLiterals;

namespace ebbcast {

AudioActivityMonitor::AudioActivityMonitor(Config config, AppActivityMonitor& appActivityMonitor,
                                           Logger& logger, std::unique_ptr<AudioInputEngine> engine,
                                           WallClock clock)
    : appActivityMonitor_(appActivityMonitor)
    , logger_(logger)
    , engine_(std::move(engine))
    , clock_(std::move(clock))
    , silenceThreshold_(static_cast<float>(config.silenceThreshold))
    , autoStopSilenceSeconds_(config.autoStopSilenceSeconds)
    , autoStartRecording_(config.autoStartRecording)
    , onlyAutoRecordWatchedApps_(config.onlyAutoRecordWatchedApps)
{}

AudioActivityMonitor::~AudioActivityMonitor()
{
    stop();
    if (tapInstalled_)
        engine_->removeTap();
}

void AudioActivityMonitor::start()
{
    if (isMonitoring_)
        return;
    try {
        if (!tapInstalled_) {
            const AudioInputFormat format = engine_->inputFormat();
            engine_->installTap(1024, format, [this](const AudioInputBuffer& buffer) {
                handleLevel(AudioLevel::ofFirstChannel(buffer), true);
            });
            tapInstalled_ = true;
        }
        engine_->prepare();
        engine_->start();
        isMonitoring_ = true;
    } catch (const EbbcastError& error) {
        logger_.error(u"Audio activity monitor failed to start: "_s + error.description());
        // No tap stays behind, so a later start installs exactly one.
        if (tapInstalled_)
            engine_->removeTap();
        tapInstalled_ = false;
    }
}

void AudioActivityMonitor::stop()
{
    if (!isMonitoring_)
        return;
    engine_->removeTap();
    tapInstalled_ = false;
    engine_->stop();
    clearSilence();
    isMonitoring_ = false;
}

void AudioActivityMonitor::setRecordingAutoStopEnabled(bool enabled)
{
    recordingAutoStopEnabled_ = enabled;
    if (!enabled)
        clearSilence();
}

void AudioActivityMonitor::setSilenceThreshold(double level)
{
    silenceThreshold_ = static_cast<float>(level);
}

void AudioActivityMonitor::setAutoStopSilenceSeconds(double seconds)
{
    autoStopSilenceSeconds_ = seconds;
}

void AudioActivityMonitor::setAutoStartRecording(bool enabled)
{
    autoStartRecording_ = enabled;
}

void AudioActivityMonitor::setOnlyAutoRecordWatchedApps(bool enabled)
{
    onlyAutoRecordWatchedApps_ = enabled;
}

void AudioActivityMonitor::observeRecordingLevel(float level)
{
    if (recordingAutoStopEnabled_)
        handleLevel(level, false);
}

void AudioActivityMonitor::clearSilence()
{
    const std::lock_guard lock(silenceLock_);
    silenceStartedAt_.reset();
}

void AudioActivityMonitor::handleLevel(float level, bool autoStartAllowed)
{
    if (level >= silenceThreshold_.load()) {
        clearSilence();
        if (autoStartAllowed && autoStartRecording_) {
            // The watch list is checked on the main thread, where the application monitor and the setting
            // live.
            QMetaObject::invokeMethod(
                &mainThread_,
                [this] {
                    if (onlyAutoRecordWatchedApps_ && !appActivityMonitor_.isActiveAppInWatchList())
                        return;
                    if (onActivityStart)
                        onActivityStart();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    const QDateTime now = clock_();
    bool timedOut = false;
    {
        const std::lock_guard lock(silenceLock_);
        if (!silenceStartedAt_)
            silenceStartedAt_ = now;
        if (static_cast<double>(silenceStartedAt_->msecsTo(now)) / 1000.0 >= autoStopSilenceSeconds_.load()) {
            timedOut = true;
            silenceStartedAt_ = now; // a silence that goes on reports again after another full period
        }
    }
    if (timedOut) {
        QMetaObject::invokeMethod(
            &mainThread_,
            [this] {
                if (onSilenceTimeout)
                    onSilenceTimeout();
            },
            Qt::QueuedConnection);
    }
}

} // namespace ebbcast
