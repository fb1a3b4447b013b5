#include "capture/linux/FfmpegWrapUpMovieWriter.h"

#include <QScopeGuard>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <libyuv/convert.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The channels the movie's sound has: the microphone's, mixed down to stereo when it has more.
int movieChannels(const QString& path, const AudioInputFormat& format)
{
    if (format.channelCount <= 0 || std::lround(format.sampleRate) <= 0)
        throw RecorderError::writerSetupFailed(
            u"Could not set up the AAC encoder for \""_s + path +
            u"\": the sound of %1 channels at %2 Hz is not usable"_s.arg(format.channelCount)
                .arg(format.sampleRate));
    return std::min(format.channelCount, FfmpegWrapUpMovieWriter::maximumAudioChannels);
}

std::int64_t samplesAt48kHz(double seconds)
{
    return std::llround(seconds * FfmpegAacEncoder::sampleRate);
}

} // namespace

FfmpegWrapUpMovieWriter::FfmpegWrapUpMovieWriter(const QString& path, int width, int height,
                                                 const AudioInputFormat& audioFormat)
    : file_(path, "mov",
            {u"Could not start the movie"_s, u"Could not encode the movie"_s, u"Could not write the movie"_s,
             u"Could not finish the movie"_s})
    , video_(file_, width, height, videoBitRate(width, height), preset)
    , audio_(file_, movieChannels(path, audioFormat), audioBitRate)
    , audioRate_(static_cast<int>(std::lround(audioFormat.sampleRate)))
{
    file_.context()->max_interleave_delta = interleaveMicroseconds;
    FfmpegOptions fileOptions;
    fileOptions.set("movflags", "+frag_keyframe+empty_moov+default_base_moof")
        .set("frag_duration", fragmentMicroseconds);
    file_.start(fileOptions);
}

WrapUpMovieWriterFactory FfmpegWrapUpMovieWriter::factory()
{
    return [](const QString& path, int width, int height,
              const AudioInputFormat& audioFormat) -> std::unique_ptr<WrapUpMovieWriter> {
        return std::make_unique<FfmpegWrapUpMovieWriter>(path, width, height, audioFormat);
    };
}

std::int64_t FfmpegWrapUpMovieWriter::videoBitRate(int width, int height)
{
    return std::max<std::int64_t>(std::int64_t{width} * height * 3, 250000);
}

bool FfmpegWrapUpMovieWriter::appendVideo(const CameraFrame& frame, double presentationTimeSeconds)
{
    const int width = video_.width();
    const int height = video_.height();
    if (!frame.hasImage() || frame.width != width || frame.height != height)
        return false;
    AVFrame* picture = video_.nextPicture(presentationTimeSeconds);
    if (picture == nullptr)
        return false;
    if (frame.format == CameraFrame::PixelFormat::yuyv422)
        libyuv::YUY2ToI420(frame.planes[0], frame.bytesPerLine[0], picture->data[0], picture->linesize[0],
                           picture->data[1], picture->linesize[1], picture->data[2], picture->linesize[2],
                           width, height);
    else
        libyuv::I420Copy(frame.planes[0], frame.bytesPerLine[0], frame.planes[1], frame.bytesPerLine[1],
                         frame.planes[2], frame.bytesPerLine[2], picture->data[0], picture->linesize[0],
                         picture->data[1], picture->linesize[1], picture->data[2], picture->linesize[2],
                         width, height);
    video_.encodePicture();
    return true;
}

void FfmpegWrapUpMovieWriter::appendAudio(const AudioInputBuffer& buffer, double presentationTimeSeconds)
{
    if (buffer.samples == nullptr || buffer.frameLength == 0 || buffer.channelCount <= 0)
        return;
    const float* samples = buffer.samples;
    std::int64_t frames = buffer.frameLength;
    if (!audioPlaced_) {
        if (presentationTimeSeconds < 0) {
            const std::int64_t before = std::llround(-presentationTimeSeconds * audioRate_);
            if (before >= frames)
                return; // all of it before the movie's start
            samples += before * buffer.channelCount;
            frames -= before;
        } else {
            audio_.appendSilence(samplesAt48kHz(presentationTimeSeconds));
        }
        audioPlaced_ = true;
    } else {
        const double end = static_cast<double>(audio_.samplesWritten()) / FfmpegAacEncoder::sampleRate;
        if (presentationTimeSeconds - end > audioGapSeconds)
            audio_.appendSilence(samplesAt48kHz(presentationTimeSeconds - end));
    }
    audio_.append(samples, static_cast<int>(frames), FfmpegAacEncoder::SampleFormat::f32, audioRate_,
                  buffer.channelCount);
}

void FfmpegWrapUpMovieWriter::finish()
{
    const auto closeFile = qScopeGuard([this] { file_.close(); });
    video_.finish();
    audio_.finish();
    file_.finish();
}

} // namespace ebbcast
