#pragma once

#include "capture/ScreenCaptureError.h"
#include "capture/ScreenFrameSource.h"

#include <mutex>
#include <random>

namespace ebbcast::test {

// Displays and frames made up by the test; frames are delivered on the calling thread.
class FakeScreenFrameSource : public ScreenFrameSource {
public:
    std::vector<ScreenDisplay> displays() override
    {
        if (unreachable)
            throw ScreenCaptureError::displayServerUnreachable(QStringLiteral(":42"));
        return displayList;
    }

    void start(const ScreenDisplay& display, int framesPerSecond, FrameHandler frames,
               StoppedHandler stopped) override
    {
        if (failStart)
            throw ScreenCaptureError::captureFailed(QStringLiteral("capture refused"));
        const std::lock_guard lock(mutex_);
        startedWith = display;
        rate = framesPerSecond;
        frames_ = std::move(frames);
        stopped_ = std::move(stopped);
    }

    void stop() override
    {
        {
            const std::lock_guard lock(mutex_);
            frames_ = nullptr;
            stopped_ = nullptr;
            ++stopCount;
        }
        if (failStop)
            throw ScreenCaptureError::captureFailed(QStringLiteral("stream would not stop"));
    }

    // A frame of the started display's size (or the given one) captured at `time` seconds.
    void deliver(double time, int width = 0, int height = 0)
    {
        FrameHandler handler;
        ScreenFrame frame;
        {
            const std::lock_guard lock(mutex_);
            handler = frames_;
            frame.width = width > 0 ? width : startedWith.width;
            frame.height = height > 0 ? height : startedWith.height;
        }
        frame.bytesPerLine = frame.width * 4;
        QByteArray pixels(qsizetype(frame.bytesPerLine) * frame.height, '\x40');
        if (noisy) {
            for (char& byte : pixels)
                byte = static_cast<char>(noise_());
        }
        frame.setPixels(std::move(pixels));
        frame.presentationTimeSeconds = time;
        if (handler)
            handler(frame);
    }

    void deliverWithoutImage(double time)
    {
        FrameHandler handler;
        {
            const std::lock_guard lock(mutex_);
            handler = frames_;
        }
        ScreenFrame frame;
        frame.presentationTimeSeconds = time;
        if (handler)
            handler(frame);
    }

    void reportStopped(const QString& description)
    {
        StoppedHandler handler;
        {
            const std::lock_guard lock(mutex_);
            handler = stopped_;
        }
        if (handler)
            handler(description);
    }

    std::vector<ScreenDisplay> displayList{{7, QStringLiteral("DP-1"), 0, 0, 1920, 1080, true}};
    bool unreachable = false;
    bool failStart = false;
    bool failStop = false;
    bool noisy = false; // frames of random pixels, which hardly compress: a real encoder fills a disk fast
    ScreenDisplay startedWith;
    int rate = 0;
    int stopCount = 0;

private:
    std::mutex mutex_;
    std::minstd_rand noise_;
    FrameHandler frames_;
    StoppedHandler stopped_;
};

} // namespace ebbcast::test
