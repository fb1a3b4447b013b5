#pragma once

#include "capture/ScreenFrameSource.h"
#include "session/RecorderFactory.h"

#include <functional>

namespace ebbcast {

// The recorders on PulseAudio, FFmpeg and the screen source the platform loader chose (X11, or none without a
// display). `chunkSeconds` shortens the 300-second chunks for demonstrations and tests.
class LinuxRecorderFactory : public RecorderFactory {
public:
    using ScreenSourceFactory = std::function<std::unique_ptr<ScreenFrameSource>()>;

    explicit LinuxRecorderFactory(ScreenSourceFactory screenSources, double chunkSeconds = 300);

    void setChunkSeconds(double chunkSeconds) { chunkSeconds_ = chunkSeconds; }

    std::unique_ptr<Recorder> makeMicRecorder(const QString& outputPath, const QString& chunkFolder,
                                              const QString& preferredDeviceName, Logger& logger) override;
    std::unique_ptr<Recorder> makeSystemAudioRecorder(const QString& outputPath, const QString& chunkFolder,
                                                      Logger& logger) override;
    std::unique_ptr<Recorder> makeScreenRecorder(const QString& outputPath, quint32 displayID,
                                                 Logger& logger) override;
    std::optional<double> recordedAudioSeconds(const QString& path) const override;

private:
    ScreenSourceFactory screenSources_;
    double chunkSeconds_;
};

} // namespace ebbcast
