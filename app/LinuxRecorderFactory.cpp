#include "app/LinuxRecorderFactory.h"

#include "capture/MicRecorder.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/WavFileWriter.h"
#include "capture/linux/FfmpegAacWriter.h"
#include "capture/linux/FfmpegH264Writer.h"
#include "capture/linux/FfmpegMediaDuration.h"
#include "capture/linux/PulseAudioInputEngine.h"
#include "capture/linux/PulseAudioSystemAudioSource.h"

namespace ebbcast {

LinuxRecorderFactory::LinuxRecorderFactory(ScreenSourceFactory screenSources, double chunkSeconds)
    : screenSources_(std::move(screenSources))
    , chunkSeconds_(chunkSeconds)
{}

std::unique_ptr<Recorder> LinuxRecorderFactory::makeMicRecorder(const QString& outputPath,
                                                                const QString& chunkFolder,
                                                                const QString& preferredDeviceName,
                                                                Logger& logger)
{
    MicRecorder::Timing timing;
    timing.chunkDurationSeconds = chunkSeconds_;
    auto recorder = std::make_unique<MicRecorder>(outputPath, preferredDeviceName, logger,
                                                  std::make_unique<PulseAudioInputEngine>(),
                                                  WavFileWriter::factory(), systemTime, timing);
    recorder->setChunkFolder(chunkFolder);
    return recorder;
}

std::unique_ptr<Recorder> LinuxRecorderFactory::makeSystemAudioRecorder(const QString& outputPath,
                                                                        const QString& chunkFolder,
                                                                        Logger& logger)
{
    return std::make_unique<SystemAudioRecorder>(outputPath, chunkFolder, logger, FfmpegAacWriter::factory(),
                                                 systemTime, SystemAudioRecorder::Timing{chunkSeconds_},
                                                 std::make_unique<PulseAudioSystemAudioSource>());
}

std::unique_ptr<Recorder> LinuxRecorderFactory::makeScreenRecorder(const QString& outputPath,
                                                                   quint32 displayID, Logger& logger)
{
    return std::make_unique<ScreenRecorder>(outputPath, displayID, logger, screenSources_(),
                                            FfmpegH264Writer::factory());
}

std::optional<double> LinuxRecorderFactory::recordedAudioSeconds(const QString& path) const
{
    return FfmpegMediaDuration::audioSeconds(path);
}

} // namespace ebbcast
