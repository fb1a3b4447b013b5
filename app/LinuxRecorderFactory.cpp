#include "session/LinuxRecorderFactory.h"

#include "capture/MicRecorder.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/WavFileWriter.h"
#include "capture/linux/FfmpegAacWriter.h"
#include "capture/linux/FfmpegAudioDuration.h"
#include "capture/linux/FfmpegH264Writer.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/PulseAudioSystemAudioSource.h"
#include "capture/linux/X11ScreenFrameSource.h"

namespace ebbcast {

LinuxRecorderFactory::LinuxRecorderFactory(double chunkSeconds)
    : chunkSeconds_(chunkSeconds)
{}

std::unique_ptr<SystemAudioRecorder>
LinuxRecorderFactory::makeSystemAudioRecorder(const QString& outputPath,
                                              const std::optional<QString>& chunkFolder, Logger& logger)
{
    return std::make_unique<SystemAudioRecorder>(outputPath, chunkFolder, logger, FfmpegAacWriter::factory(),
                                                 systemTime, SystemAudioRecorder::Timing{chunkSeconds_},
                                                 std::make_unique<PulseAudioSystemAudioSource>());
}

std::unique_ptr<ScreenRecorder> LinuxRecorderFactory::makeScreenRecorder(const QString& outputPath,
                                                                         PreferencesStore& preferences,
                                                                         Logger& logger)
{
    return std::make_unique<ScreenRecorder>(outputPath, preferences, logger,
                                            std::make_unique<X11ScreenFrameSource>(),
                                            FfmpegH264Writer::factory());
}

std::unique_ptr<MicRecorder> LinuxRecorderFactory::makeMicRecorder(const QString& outputPath,
                                                                   const QString& preferredDeviceName,
                                                                   Logger& logger)
{
    MicRecorder::Timing timing;
    timing.chunkDurationSeconds = chunkSeconds_;
    return std::make_unique<MicRecorder>(outputPath, preferredDeviceName, logger,
                                         std::make_unique<PulseAudioInputEngine>(), WavFileWriter::factory(),
                                         systemTime, timing);
}

std::optional<double> LinuxRecorderFactory::recordedAudioSeconds(const QString& path) const
{
    return FfmpegAudioDuration::seconds(path);
}

} // namespace ebbcast
