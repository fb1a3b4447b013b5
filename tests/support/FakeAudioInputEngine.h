#pragma once

#include "capture/AudioInputEngine.h"
#include "capture/RecorderError.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace ebbcast::test {

// An input engine driven by the test: buffers are delivered on the calling thread, as if it were the
// engine's own; start can fail, or block until released, on command.
class FakeAudioInputEngine : public AudioInputEngine {
public:
    explicit FakeAudioInputEngine(AudioInputFormat format = {48000, 1})
        : format_(format)
    {}

    AudioInputFormat inputFormat() override { return format_; }

    void installTap(std::uint32_t bufferSize, const AudioInputFormat& format, TapBlock block) override
    {
        const std::lock_guard lock(mutex_);
        tapBufferSize = bufferSize;
        tapFormat = format;
        tap_ = std::move(block);
    }

    void removeTap() override
    {
        const std::lock_guard lock(mutex_);
        tap_ = nullptr;
    }

    void prepare() override { ++prepareCount; }

    void start() override
    {
        ++startCount;
        std::unique_lock lock(mutex_);
        gateChanged_.wait(lock, [this] { return !holdStarts_; });
        if (failStarts)
            throw RecorderError::writerSetupFailed(QStringLiteral("input device unavailable"));
        running_ = true;
    }

    void stop() override
    {
        ++stopCount;
        std::unique_lock lock(mutex_);
        gateChanged_.wait(lock, [this] { return !holdStops_; });
        running_ = false;
    }

    void setConfigurationChangeHandler(std::function<void()> handler) override
    {
        const std::lock_guard lock(mutex_);
        configurationChanged_ = std::move(handler);
    }

    // Delivers `count` buffers of `frames` frames, every sample of channel c equal to value * (c + 1).
    void deliver(int count = 1, std::uint32_t frames = 1024, float value = 0.5F)
    {
        const int channels = format_.channelCount > 0 ? format_.channelCount : 1;
        std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = value * static_cast<float>(i % channels + 1);
        for (int i = 0; i < count; ++i) {
            TapBlock tap;
            {
                const std::lock_guard lock(mutex_);
                tap = tap_;
            }
            if (tap)
                tap(AudioInputBuffer{samples.data(), frames, channels});
        }
    }

    void changeConfiguration()
    {
        std::function<void()> handler;
        {
            const std::lock_guard lock(mutex_);
            handler = configurationChanged_;
        }
        if (handler)
            handler();
    }

    // While held, stop() waits (a device that takes its time), until released.
    void holdStops(bool hold)
    {
        {
            const std::lock_guard lock(mutex_);
            holdStops_ = hold;
        }
        gateChanged_.notify_all();
    }

    // While held, start() waits; release lets every waiting start() go on.
    void holdStarts(bool hold)
    {
        {
            const std::lock_guard lock(mutex_);
            holdStarts_ = hold;
        }
        gateChanged_.notify_all();
    }

    // The installed tap itself, for callers that deliver their own buffers.
    TapBlock tap()
    {
        const std::lock_guard lock(mutex_);
        return tap_;
    }

    bool tapInstalled()
    {
        const std::lock_guard lock(mutex_);
        return static_cast<bool>(tap_);
    }

    bool hasConfigurationHandler()
    {
        const std::lock_guard lock(mutex_);
        return static_cast<bool>(configurationChanged_);
    }

    std::atomic<int> prepareCount{0};
    std::atomic<int> startCount{0};
    std::atomic<int> stopCount{0};
    std::atomic<bool> failStarts{false};
    std::uint32_t tapBufferSize = 0;
    AudioInputFormat tapFormat;

private:
    AudioInputFormat format_;
    std::mutex mutex_;
    std::condition_variable gateChanged_;
    bool holdStarts_ = false;
    bool holdStops_ = false;
    bool running_ = false;
    TapBlock tap_;
    std::function<void()> configurationChanged_;
};

} // namespace ebbcast::test
