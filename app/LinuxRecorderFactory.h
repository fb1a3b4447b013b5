#pragma once

#include "session/RecorderFactory.h"

namespace ebbcast {

// The recorders on PulseAudio, X11 and FFmpeg. `chunkSeconds` shortens the 300-second chunks for
// demonstrations and tests.
class LinuxRecorderFactory : public RecorderFactory {
public:
    explicit LinuxRecorderFactory(double chunkSeconds = 300);

    void setChunkSeconds(double chunkSeconds) { chunkSeconds_ = chunkSeconds; }

    std::unique_ptr<SystemAudioRecorder> makeSystemAudioRecorder(const QString& outputPath,
                                                                 const std::optional<QString>& chunkFolder,
                                                                 Logger& logger) override;
    std::unique_ptr<ScreenRecorder>
    makeScreenRecorder(const QString& outputPath, PreferencesStore& preferences, Logger& logger) override;
    std::unique_ptr<MicRecorder> makeMicRecorder(const QString& outputPath,
                                                 const QString& preferredDeviceName, Logger& logger) override;
    std::optional<double> recordedAudioSeconds(const QString& path) const override;

private:
    double chunkSeconds_;
};

} // namespace ebbcast
