#pragma once

#include "capture/linux/FfmpegHandles.h"

#include <cstdint>

struct AVFrame;
struct AVStream;

namespace ebbcast {

class FfmpegOutputFile;

// The H.264 track of a movie being written: libx264, High profile, tuned for zero latency, no B-frames, an
// average bit rate and a preset chosen by the writer, 4:2:0 pictures of one even size stamped in
// milliseconds, and a keyframe (so a new fragment) every second of movie time whatever the frame rate. The
// first frame is pushed to the disk at once, in a fragment of its own. Set up before the file is started;
// failures throw RecorderError with the file's path.
class FfmpegH264Encoder {
public:
    static constexpr std::int64_t keyframeIntervalMilliseconds = 1000;
    static constexpr std::int64_t firstFrameDurationMilliseconds = 33;

    // Sets up the encoder and adds its stream to the file. Throws RecorderError (writerSetupFailed), also
    // for a size that is not positive and even.
    FfmpegH264Encoder(FfmpegOutputFile& file, int width, int height, std::int64_t bitRate,
                      const char* preset);

    FfmpegH264Encoder(const FfmpegH264Encoder&) = delete;
    FfmpegH264Encoder& operator=(const FfmpegH264Encoder&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // The picture to fill in for a frame at this time, or null when the time falls in the millisecond of
    // the frame before or earlier (the movie keeps the first). Throws RecorderError (writeFailed).
    AVFrame* nextPicture(double presentationTimeSeconds);
    // Encodes the picture nextPicture() gave and writes what the encoder has ready. Throws RecorderError
    // (writeFailed).
    void encodePicture();
    // Drains the encoder. Throws RecorderError (writeFailed).
    void finish();

private:
    FfmpegOutputFile& file_;
    int width_;
    int height_;
    FfmpegCodecContext encoder_;
    AVStream* stream_ = nullptr; // owned by the file's muxer context
    FfmpegFrame frame_;
    FfmpegPacket packet_;
    bool firstFragmentWritten_ = false;
    std::int64_t lastPtsMilliseconds_ = -1;
    std::int64_t lastKeyframeMilliseconds_ = -1;
};

} // namespace ebbcast
