#pragma once

#include "capture/VideoMediaWriter.h"
#include "capture/linux/FfmpegH264Encoder.h"
#include "capture/linux/FfmpegOutputFile.h"

#include <cstdint>

namespace ebbcast {

// H.264 (libx264, High profile, tuned for zero latency, 12 Mb/s average, a keyframe every second) in a
// QuickTime movie written in fragments of an eighth of a second, each pushed to the file as soon as it is
// complete (the first one holds just the first frame), so a recording cut short by a crash plays up to its
// last fragment, on a still screen (whose fragments are a few hundred bytes) as on a moving one. Frames are
// BGRA, converted to 4:2:0; a frame larger than the movie is cropped at the right and bottom (odd display
// sizes record at the even size below).
class FfmpegH264Writer : public VideoMediaWriter {
public:
    // Sets up the encoder and creates the file with its header. Throws RecorderError.
    FfmpegH264Writer(const QString& path, int width, int height);

    bool append(const ScreenFrame& frame, double presentationTimeSeconds) override;
    void finish() override;

    static VideoMediaWriterFactory factory();

    // Chosen by measurement on two cores: 1920x1080 at 30 fps keeps up with room for the audio (see bench/).
    static constexpr const char* preset = "superfast";
    static constexpr std::int64_t averageBitRate = 12000000;
    static constexpr std::int64_t fragmentMicroseconds = 125000;

private:
    FfmpegOutputFile file_;
    FfmpegH264Encoder encoder_;
};

} // namespace ebbcast
