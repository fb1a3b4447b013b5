#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace ebbcast {

class Logger;
class MicRecorder;
class PreferencesStore;
class ScreenRecorder;
class SystemAudioRecorder;

// Makes the three recorders of a session. Production builds them on PulseAudio, X11 and FFmpeg; tests on
// fakes.
class RecorderFactory {
public:
    virtual ~RecorderFactory() = default;

    virtual std::unique_ptr<SystemAudioRecorder>
    makeSystemAudioRecorder(const QString& outputPath, const std::optional<QString>& chunkFolder,
                            Logger& logger) = 0;
    virtual std::unique_ptr<ScreenRecorder>
    makeScreenRecorder(const QString& outputPath, PreferencesStore& preferences, Logger& logger) = 0;
    virtual std::unique_ptr<MicRecorder>
    makeMicRecorder(const QString& outputPath, const QString& preferredDeviceName, Logger& logger) = 0;

    // Seconds of audio a recorded file holds (a system-audio chunk left by a crash), read from its packets;
    // nothing when it cannot be read or has no audio stream. For the repair of an interrupted session.
    virtual std::optional<double> recordedAudioSeconds(const QString& path) const = 0;
};

} // namespace ebbcast
