#include "capture/MicrophoneUsageMonitor.h"

#include "capture/AppActivityMonitor.h"
#include "core/base/Logger.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

MicrophoneUsageMonitor::MicrophoneUsageMonitor(Config config, AppActivityMonitor& appActivityMonitor,
                                               Logger& logger, DeviceUsageQuery& usage, WallClock clock)
    : config_(config)
    , appActivityMonitor_(appActivityMonitor)
    , logger_(logger)
    , usage_(usage)
    , clock_(std::move(clock))
{
    timer_.setInterval(pollIntervalMs);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { poll(); });
}

void MicrophoneUsageMonitor::start()
{
    if (timer_.isActive())
        return;
    wasInUse_ = usage_.query().inUse; // a microphone already busy at start does not prompt
    logger_.info(u"Microphone usage monitor started"_s);
    timer_.start();
}

void MicrophoneUsageMonitor::stop()
{
    timer_.stop();
    wasInUse_ = false;
}

void MicrophoneUsageMonitor::setPromptWhenMicrophoneIsUsed(bool enabled)
{
    config_.promptWhenMicrophoneIsUsed = enabled;
}

void MicrophoneUsageMonitor::setOnlyPromptWatchedApps(bool enabled)
{
    config_.onlyPromptWatchedApps = enabled;
}

void MicrophoneUsageMonitor::setMicrophonePromptCooldownSeconds(double seconds)
{
    config_.microphonePromptCooldownSeconds = seconds;
}

void MicrophoneUsageMonitor::poll()
{
    if (!config_.promptWhenMicrophoneIsUsed)
        return;
    if (isRecordingProvider && isRecordingProvider()) {
        wasInUse_ = false;
        return;
    }
    const DeviceUsageQuery::Usage usage = usage_.query();
    if (!usage.inUse || wasInUse_) {
        wasInUse_ = usage.inUse;
        return;
    }
    const QDateTime now = clock_();
    if (lastPromptAt_ &&
        static_cast<double>(lastPromptAt_->msecsTo(now)) / 1000.0 < config_.microphonePromptCooldownSeconds) {
        wasInUse_ = true;
        return;
    }
    const ActiveAppMetadata application = appActivityMonitor_.activeApplicationInfo();
    if (config_.onlyPromptWatchedApps &&
        !AppActivityMonitor::isInWatchList(application.name, appActivityMonitor_.watchList())) {
        logger_.info(u"Microphone use detected, but active app is outside prompt watch list: "_s +
                     application.name);
        wasInUse_ = true;
        return;
    }
    lastPromptAt_ = now;
    logger_.info(u"Microphone input hardware is active; prompting to record. Active app: "_s +
                 application.name + u". Devices: "_s + usage.deviceNames.join(u", "_s));
    if (onMicrophoneUseDetected)
        onMicrophoneUseDetected(application);
    wasInUse_ = true;
}

} // namespace ebbcast
