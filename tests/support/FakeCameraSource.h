#pragma once

#include "capture/CameraError.h"
#include "capture/CameraSource.h"
#include "core/base/WallClock.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace ebbcast::test {

// A camera driven by the test: once started it sends small grey frames from a thread of its own every
// `frameInterval`, stamped on the monotonic clock, until stopped; it can be missing, refuse to open, never
// deliver, or be unplugged after some frames.
class FakeCameraSource : public CameraSource {
public:
    std::optional<CameraDevice> device =
        CameraDevice{QStringLiteral("/dev/video0"), QStringLiteral("Fake Cam")};
    CameraMode mode{64, 48, 30, QStringLiteral("yuyv422")};
    std::optional<QString> openFailure; // open() throws this reason
    bool deliverFrames = true;
    int unplugAfterFrames = -1; // frames sent before the camera reports it went away (-1: never)
    std::chrono::milliseconds frameInterval{10};

    std::atomic<int> openCount{0};
    std::atomic<int> startCount{0};
    std::atomic<int> stopCount{0};
    std::atomic<int> framesSent{0};
    std::atomic<bool> running{false};

    ~FakeCameraSource() override { stop(); }

    std::optional<CameraDevice> defaultDevice() override { return device; }

    CameraMode open(const CameraDevice&) override
    {
        ++openCount;
        if (openFailure)
            throw CameraError(*openFailure);
        return mode;
    }

    void start(FrameHandler frames, StoppedHandler stopped) override
    {
        ++startCount;
        stopping_ = false;
        running = true;
        thread_ = std::thread([this, frames = std::move(frames), stopped = std::move(stopped)] {
            int sent = 0;
            while (!stopping_) {
                std::this_thread::sleep_for(frameInterval);
                if (!deliverFrames)
                    continue;
                if (unplugAfterFrames >= 0 && sent >= unplugAfterFrames) {
                    stopped(QStringLiteral("No such device"));
                    break;
                }
                frames(makeFrame(monotonicSeconds()));
                ++sent;
                ++framesSent;
            }
            running = false;
        });
    }

    void stop() override
    {
        ++stopCount;
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        running = false;
    }

    CameraFrame makeFrame(double time) const
    {
        auto bytes = std::make_shared<QByteArray>(mode.width * mode.height * 2, char(0x80));
        CameraFrame frame;
        frame.format = CameraFrame::PixelFormat::yuyv422;
        frame.width = mode.width;
        frame.height = mode.height;
        frame.planes[0] = reinterpret_cast<const std::uint8_t*>(bytes->constData());
        frame.bytesPerLine[0] = mode.width * 2;
        frame.owner = bytes;
        frame.captureTimeSeconds = time;
        return frame;
    }

private:
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace ebbcast::test
