#pragma once

#include "capture/ScreenFrameSource.h"
#include "capture/linux/FfmpegHandles.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace ebbcast {

// X11 displays and frames. The display list comes from RandR monitors (a screen without RandR is one
// display); a display's identifier is a 32-bit hash of its monitor name, so it stays the same across sessions
// and X server restarts; the main display is the primary monitor, else the one at the origin, else the first.
// Frames come from FFmpeg's x11grab input (MIT-SHM) on the thread "Tavilon.X11Grab".
// Threads: displays(), start() and stop() from one thread at a time; handlers on the capture thread.
class X11ScreenFrameSource : public ScreenFrameSource {
public:
    // `displayName` as in $DISPLAY (":99"); empty: take $DISPLAY.
    explicit X11ScreenFrameSource(QString displayName = QString());
    ~X11ScreenFrameSource() override;

    std::vector<ScreenDisplay> displays() override;
    void start(const ScreenDisplay& display, int framesPerSecond, FrameHandler frames,
               StoppedHandler stopped) override;
    void stop() override;

    static std::uint32_t identifierFor(const QString& monitorName);

private:
    void captureLoop();

    QString displayName_;
    FfmpegInput input_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    FrameHandler frames_;
    StoppedHandler stopped_;
    int width_ = 0;
    int height_ = 0;
};

} // namespace ebbcast
