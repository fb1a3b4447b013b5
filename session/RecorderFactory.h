#pragma once

#include <QString>

#include <memory>
#include <optional>

namespace ebbcast {

class Logger;
class Recorder;

// Makes the tracks of a session. Production builds them on PulseAudio, X11 and FFmpeg; tests on fakes.
class RecorderFactory {
public:
    virtual ~RecorderFactory() = default;

    // The microphone: the full file at `outputPath`, chunks in `chunkFolder`; an empty name is the default
    // input.
    virtual std::unique_ptr<Recorder> makeMicRecorder(const QString& outputPath, const QString& chunkFolder,
                                                      const QString& preferredDeviceName, Logger& logger) = 0;
    // The computer's own sound: the full file at `outputPath`, chunks in `chunkFolder`.
    virtual std::unique_ptr<Recorder> makeSystemAudioRecorder(const QString& outputPath,
                                                              const QString& chunkFolder, Logger& logger) = 0;
    // The screen: the movie at `outputPath` of display `displayID` (0: the main display).
    virtual std::unique_ptr<Recorder> makeScreenRecorder(const QString& outputPath, quint32 displayID,
                                                         Logger& logger) = 0;

    // Seconds of audio a recorded file holds (a system-audio chunk left by a crash), read from its packets;
    // nothing when it cannot be read or has no audio stream. For the repair of an interrupted session.
    virtual std::optional<double> recordedAudioSeconds(const QString& path) const = 0;
};

} // namespace ebbcast
