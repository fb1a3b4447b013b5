#pragma once

#include "capture/WrapUpMovieWriter.h"
#include "capture/linux/FfmpegAacEncoder.h"
#include "capture/linux/FfmpegH264Encoder.h"
#include "capture/linux/FfmpegOutputFile.h"

#include <cstdint>

namespace ebbcast {

// A wrap-up note's movie: H.264 (libx264, High profile, zero latency, no B-frames, a keyframe every second,
// a bit rate by the picture's size) and AAC (48 kHz, the microphone's channels up to stereo, 128 kb/s) in
// one QuickTime movie written in fragments of an eighth of a second, each pushed to the file as soon as it
// is complete (the first holds just the first picture), so a note cut short by a crash plays up to its last
// fragment. Pictures are yuyv422 or i420 of the movie's size; sound is interleaved float at the
// microphone's rate, resampled.
//
// Both tracks start at 0, the first picture's time: a fragmented movie has no edit list to start one later.
// Sound is placed by the first buffer's time (what lies before 0 is cut off; silence fills from 0 up to a
// later start); later buffers follow the sound written so far sample after sample, since the microphone's
// clock drifts a little from the camera's, except that one starting more than `audioGapSeconds` after
// the end of the sound so far (the microphone stalled) gets silence in between. One starting earlier is
// appended all the same: no sound is dropped.
class FfmpegWrapUpMovieWriter : public WrapUpMovieWriter {
public:
    // Sets up the encoders and creates the file with its header. Throws RecorderError: writerSetupFailed
    // (a size that is not positive and even, no audio channels), writeFailed (the file cannot be created;
    // none is left).
    FfmpegWrapUpMovieWriter(const QString& path, int width, int height, const AudioInputFormat& audioFormat);

    bool appendVideo(const CameraFrame& frame, double presentationTimeSeconds) override;
    void appendAudio(const AudioInputBuffer& buffer, double presentationTimeSeconds) override;
    void finish() override;

    static WrapUpMovieWriterFactory factory();

    // About 0.1 bit per pixel of a frame at 30 frames a second (width x height x 3 bits a second): 0.9 Mb/s
    // at 640x480, 2.8 Mb/s at 1280x720, 6.2 Mb/s at 1920x1080; never below 250 kb/s.
    static std::int64_t videoBitRate(int width, int height);

    // Chosen by measurement (10 s of 1280x720 at 30 fps on one core): about 0.1-0.13 CPU seconds a second,
    // leaving the core to the camera, the microphone and the preview; "veryfast" takes half as much again
    // for no visible gain, "ultrafast" cannot make High profile.
    static constexpr const char* preset = "superfast";
    static constexpr std::int64_t audioBitRate = 128000;
    static constexpr int maximumAudioChannels = 2;
    static constexpr double audioGapSeconds = 0.2;
    static constexpr std::int64_t fragmentMicroseconds = 125000;
    // How long the muxer holds one track's packets for the other's before writing them anyway: a microphone
    // that stalls does not keep the pictures from the disk for longer.
    static constexpr std::int64_t interleaveMicroseconds = 1000000;

private:
    FfmpegOutputFile file_;
    FfmpegH264Encoder video_;
    FfmpegAacEncoder audio_;
    int audioRate_;
    bool audioPlaced_ = false;
};

} // namespace ebbcast
