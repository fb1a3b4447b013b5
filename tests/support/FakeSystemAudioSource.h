#pragma once

#include "capture/AudioDeviceError.h"
#include "capture/SystemAudioSource.h"

#include <mutex>

namespace ebbcast::test {

// System-audio buffers made up by the test, delivered on the calling thread.
class FakeSystemAudioSource : public SystemAudioSource {
public:
    void start(Handler handler, FailureHandler failed) override
    {
        if (failStart)
            throw AudioDeviceError::noDefaultOutput();
        const std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
        failed_ = std::move(failed);
    }

    // The source gives up, as when the sound server goes away.
    void fail(const QString& reason)
    {
        FailureHandler failed;
        {
            const std::lock_guard lock(mutex_);
            failed = failed_;
        }
        if (failed)
            failed(reason);
    }

    void stop() override
    {
        const std::lock_guard lock(mutex_);
        handler_ = nullptr;
        failed_ = nullptr;
    }

    void deliver(int count = 1)
    {
        Handler handler;
        {
            const std::lock_guard lock(mutex_);
            handler = handler_;
        }
        AudioSampleBuffer buffer;
        buffer.data = QByteArray(4096, '\x10');
        for (int i = 0; i < count && handler; ++i)
            handler(buffer);
    }

    bool failStart = false;

private:
    std::mutex mutex_;
    Handler handler_;
    FailureHandler failed_;
};

} // namespace ebbcast::test
