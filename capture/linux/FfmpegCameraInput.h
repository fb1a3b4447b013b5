#pragma once

#include "capture/CameraSource.h"
#include "capture/linux/CameraFrameDecoder.h"
#include "capture/linux/FfmpegHandles.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace ebbcast {

// A camera read through one of FFmpeg's input devices (libavdevice: "video4linux2", "lavfi"), the part the
// Linux camera sources share. Packets are read on the thread "Tavilon.Camera", turned into frames
// (CameraFrameDecoder) and stamped with their arrival time on the monotonic clock. A failed read that stop()
// did not cause ends the thread after the stopped handler has had FFmpeg's reason ("No such device" for an
// unplugged camera, "End of file" for a finite filter graph).
// Threads: open(), start() and stop() from one thread at a time; handlers on the reading thread.
class FfmpegCameraInput {
public:
    using Options = std::vector<std::pair<QByteArray, QByteArray>>;

    FfmpegCameraInput() = default;
    ~FfmpegCameraInput();

    FfmpegCameraInput(const FfmpegCameraInput&) = delete;
    FfmpegCameraInput& operator=(const FfmpegCameraInput&) = delete;

    // Opens `url` with the input device `formatName` and its options, after stopping whatever was open, and
    // says the mode of its pictures. Throws CameraError with FFmpeg's reason.
    CameraMode open(const char* formatName, const QString& url, const Options& options);
    // Starts reading; opens again what was opened last when stop() has closed it. Throws CameraError.
    void start(CameraSource::FrameHandler frames, CameraSource::StoppedHandler stopped);
    // Returns once no handler runs any more, and closes the input. Safe when nothing is open.
    void stop();

private:
    void readLoop();
    void openInput();

    QByteArray formatName_;
    QString url_;
    Options options_;
    FfmpegInput input_;
    std::unique_ptr<CameraFrameDecoder> decoder_;
    CameraMode mode_;
    int streamIndex_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    CameraSource::FrameHandler frames_;
    CameraSource::StoppedHandler stopped_;
};

} // namespace ebbcast
