#include "capture/RecorderError.h"
#include "capture/linux/FfmpegMediaDuration.h"
#include "capture/linux/FfmpegWrapUpMovieWriter.h"
#include "support/MediaProbe.h"
#include "support/ReadOnlyRemount.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

using namespace Qt::StringLiterals;

// The wrap-up movie writer against real files, read back with ffprobe and ffmpeg.

namespace ebbcast {
namespace {

constexpr double frameSeconds = 1.0 / 30;
constexpr int bufferFrames = 1024;

std::optional<RecorderError> errorOf(const std::function<void()>& work)
{
    try {
        work();
    } catch (const RecorderError& error) {
        return error;
    }
    return std::nullopt;
}

QByteArray run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(120000);
    return process.state() == QProcess::NotRunning && process.exitCode() == 0
               ? process.readAllStandardOutput()
               : QByteArray();
}

QJsonObject probe(const QString& path, const QStringList& what)
{
    return QJsonDocument::fromJson(
               run(u"ffprobe"_s, QStringList{u"-v"_s, u"error"_s, u"-print_format"_s, u"json"_s} + what +
                                     QStringList{path}))
        .object();
}

QJsonObject streamOf(const QJsonObject& report, const QString& type)
{
    for (const QJsonValue& stream : report.value(u"streams"_s).toArray()) {
        if (stream.toObject().value(u"codec_type"_s).toString() == type)
            return stream.toObject();
    }
    return {};
}

std::vector<double> keyframeTimes(const QString& path)
{
    const QJsonObject report =
        probe(path, {u"-select_streams"_s, u"v:0"_s, u"-show_entries"_s, u"packet=pts_time,flags"_s});
    std::vector<double> times;
    for (const QJsonValue& packet : report.value(u"packets"_s).toArray()) {
        if (packet.toObject().value(u"flags"_s).toString().startsWith(u'K'))
            times.push_back(packet.toObject().value(u"pts_time"_s).toString().toDouble());
    }
    return times;
}

// The movie's sound mixed to mono at 48 kHz, as ffmpeg decodes it.
std::vector<float> decodeSound(const QString& path)
{
    const QByteArray bytes =
        run(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-i"_s, path, u"-map"_s, u"0:a"_s, u"-ac"_s, u"1"_s, u"-ar"_s,
                          u"48000"_s, u"-f"_s, u"f32le"_s, u"-"_s});
    std::vector<float> samples(static_cast<std::size_t>(bytes.size()) / 4);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 4);
    return samples;
}

// Whether each 5 ms of the sound holds the tone (RMS above 0.1; the tone's is 0.35).
std::vector<bool> loudWindows(const std::vector<float>& samples)
{
    constexpr std::size_t window = 240;
    std::vector<bool> loud;
    for (std::size_t start = 0; start + window <= samples.size(); start += window) {
        double sum = 0;
        for (std::size_t i = start; i < start + window; ++i)
            sum += double(samples[i]) * samples[i];
        loud.push_back(std::sqrt(sum / window) > 0.1);
    }
    return loud;
}

// The time of the first loud window at or after `from` seconds; -1 when there is none.
double onsetAfter(const std::vector<bool>& loud, double from)
{
    for (std::size_t i = std::size_t(std::max(0.0, from) / 0.005); i < loud.size(); ++i) {
        if (loud[i])
            return double(i) * 0.005;
    }
    return -1;
}

// The first quiet window at or after `from` seconds, or the end of the sound.
double silenceAfter(const std::vector<bool>& loud, double from)
{
    std::size_t i = std::size_t(std::max(0.0, from) / 0.005);
    while (i < loud.size() && loud[i])
        ++i;
    return double(i) * 0.005;
}

// A picture of four quadrants (red, green / blue, white, BT.601 limited range), with padded lines.
CameraFrame quadrantFrame(CameraFrame::PixelFormat format, int width, int height)
{
    struct Yuv {
        std::uint8_t y, u, v;
    };
    constexpr std::array<Yuv, 4> colours{{{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}}};
    const auto colourAt = [&](int x, int y) {
        return colours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
    };
    CameraFrame frame;
    frame.format = format;
    frame.width = width;
    frame.height = height;
    if (format == CameraFrame::PixelFormat::yuyv422) {
        const int line = width * 2 + 32;
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::size_t(line) * height, 0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; x += 2) {
                std::uint8_t* pair = bytes->data() + y * line + x * 2;
                const Yuv c = colourAt(x, y);
                pair[0] = pair[2] = c.y;
                pair[1] = c.u;
                pair[3] = c.v;
            }
        }
        frame.planes[0] = bytes->data();
        frame.bytesPerLine[0] = line;
        frame.owner = bytes;
        return frame;
    }
    const std::array<int, 3> lines{width + 16, width / 2 + 16, width / 2 + 16};
    const std::array<int, 3> heights{height, height / 2, height / 2};
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(
        std::size_t(lines[0] * heights[0] + lines[1] * heights[1] + lines[2] * heights[2]), 0);
    std::uint8_t* plane = bytes->data();
    for (int p = 0; p < 3; ++p) {
        const int scale = p == 0 ? 1 : 2;
        for (int y = 0; y < heights[p]; ++y) {
            for (int x = 0; x < width / scale; ++x) {
                const Yuv c = colourAt(x * scale, y * scale);
                plane[y * lines[p] + x] = p == 0 ? c.y : p == 1 ? c.u : c.v;
            }
        }
        frame.planes[p] = plane;
        frame.bytesPerLine[p] = lines[p];
        plane += lines[p] * heights[p];
    }
    frame.owner = bytes;
    return frame;
}

CameraFrame noiseFrame(int width, int height, std::minstd_rand& noise)
{
    CameraFrame frame = quadrantFrame(CameraFrame::PixelFormat::yuyv422, width, height);
    auto* bytes = const_cast<std::uint8_t*>(frame.planes[0]);
    for (int i = 0; i < frame.bytesPerLine[0] * height; ++i)
        bytes[i] = static_cast<std::uint8_t>(noise());
    return frame;
}

// A 440 Hz tone (amplitude 0.5) on the first two channels, buffer after buffer.
class Tone {
public:
    Tone(int rate, int channels)
        : rate_(rate)
        , channels_(channels)
        , samples_(std::size_t(bufferFrames * channels))
    {}

    AudioInputBuffer next()
    {
        for (int i = 0; i < bufferFrames; ++i, ++phase_) {
            const auto value = static_cast<float>(0.5 * std::sin(2 * M_PI * 440 * double(phase_) / rate_));
            for (int c = 0; c < channels_; ++c)
                samples_[std::size_t(i * channels_ + c)] = c < 2 ? value : 0.0f;
        }
        return {samples_.data(), bufferFrames, channels_};
    }

    double bufferSeconds() const { return double(bufferFrames) / rate_; }

private:
    int rate_;
    int channels_;
    std::vector<float> samples_;
    long phase_ = 0;
};

// Pictures every frame from `from` up to `to` seconds, and the tone's buffers stamped contiguously from
// `soundFrom` up to the same time (none when soundFrom is beyond it).
void record(WrapUpMovieWriter& writer, const CameraFrame& picture, Tone& tone, double from, double to,
            double& soundTime)
{
    for (double t = from; t < to - 1e-9; t += frameSeconds) {
        EXPECT_TRUE(writer.appendVideo(picture, t));
        while (soundTime < t + frameSeconds) {
            writer.appendAudio(tone.next(), soundTime);
            soundTime += tone.bufferSeconds();
        }
    }
}

TEST(FfmpegWrapUpMovieWriter, WritesHighProfileVideoAndAacFromZeroWithTheMicrophonesChannelsUpToStereo)
{
    struct Case {
        CameraFrame::PixelFormat format;
        int rate;
        int channels;
        int movieChannels;
    };
    for (const Case& c : {Case{CameraFrame::PixelFormat::yuyv422, 44100, 1, 1},
                          Case{CameraFrame::PixelFormat::i420, 48000, 2, 2},
                          Case{CameraFrame::PixelFormat::yuyv422, 48000, 6, 2}}) {
        SCOPED_TRACE(c.channels);
        test::TemporaryFolder folder;
        const QString path = folder.file(u"wrap_up.mov"_s);
        constexpr int width = 320;
        constexpr int height = 240;
        {
            auto writer = FfmpegWrapUpMovieWriter::factory()(path, width, height,
                                                             AudioInputFormat{double(c.rate), c.channels});
            Tone tone(c.rate, c.channels);
            double soundTime = 0;
            record(*writer, quadrantFrame(c.format, width, height), tone, 0, 3.0, soundTime);
            writer->finish();
        }

        const QJsonObject report = probe(path, {u"-show_streams"_s, u"-show_format"_s});
        const QJsonObject video = streamOf(report, u"video"_s);
        const QJsonObject audio = streamOf(report, u"audio"_s);
        EXPECT_EQ(video.value(u"codec_name"_s).toString(), u"h264"_s);
        EXPECT_EQ(video.value(u"profile"_s).toString(), u"High"_s);
        EXPECT_EQ(video.value(u"width"_s).toInt(), width);
        EXPECT_EQ(audio.value(u"codec_name"_s).toString(), u"aac"_s);
        EXPECT_EQ(audio.value(u"sample_rate"_s).toString(), u"48000"_s);
        EXPECT_EQ(audio.value(u"channels"_s).toInt(), c.movieChannels);
        EXPECT_NEAR(report.value(u"format"_s).toObject().value(u"duration"_s).toString().toDouble(), 3.0,
                    0.3);
        EXPECT_LT(std::abs(video.value(u"start_time"_s).toString().toDouble()), 0.1);
        EXPECT_LT(std::abs(audio.value(u"start_time"_s).toString().toDouble()), 0.1);

        const std::vector<double> keyframes = keyframeTimes(path);
        ASSERT_GE(keyframes.size(), 3u);
        EXPECT_EQ(keyframes.front(), 0.0);
        for (std::size_t i = 1; i < keyframes.size(); ++i)
            EXPECT_LE(keyframes[i] - keyframes[i - 1], 1.05) << "a keyframe every second";

        const QByteArray rgb = test::MediaProbe::firstFrameRgb(path);
        ASSERT_EQ(rgb.size(), width * height * 3);
        const auto near = [&](int x, int y, std::array<int, 3> expected) {
            const auto* pixel = reinterpret_cast<const unsigned char*>(rgb.constData()) + (y * width + x) * 3;
            for (int i = 0; i < 3; ++i) {
                if (std::abs(pixel[i] - expected[i]) > 24)
                    return false;
            }
            return true;
        };
        EXPECT_TRUE(near(width / 4, height / 4, {255, 0, 0})) << "upper left red";
        EXPECT_TRUE(near(3 * width / 4, height / 4, {0, 255, 0})) << "upper right green";
        EXPECT_TRUE(near(width / 4, 3 * height / 4, {0, 0, 255})) << "lower left blue";
        EXPECT_TRUE(near(3 * width / 4, 3 * height / 4, {255, 255, 255})) << "lower right white";

        // The tone at its own pitch (a rate taken for another would shift it), from the start to the end.
        const std::vector<float> sound = decodeSound(path);
        EXPECT_NEAR(double(sound.size()) / 48000, 3.0, 0.1);
        int crossings = 0;
        for (std::size_t i = 48000; i < 96000 && i < sound.size(); ++i)
            crossings += (sound[i - 1] < 0) != (sound[i] < 0) ? 1 : 0;
        EXPECT_NEAR(crossings, 880, 10) << "440 Hz";
        const std::vector<bool> loud = loudWindows(sound);
        EXPECT_LT(onsetAfter(loud, 0), 0.05);
        EXPECT_GT(silenceAfter(loud, 0.05), 2.9);
    }
}

TEST(FfmpegWrapUpMovieWriter, LeavesOutPicturesOfAnotherSizeAndOnesNotAfterTheOneBefore)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"wrap_up.mov"_s);
    const CameraFrame picture = quadrantFrame(CameraFrame::PixelFormat::i420, 160, 120);
    {
        FfmpegWrapUpMovieWriter writer(path, 160, 120, AudioInputFormat{48000, 1});
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(writer.appendVideo(picture, i * 0.1));
            EXPECT_FALSE(writer.appendVideo(picture, i * 0.1)) << "the same time";
            EXPECT_FALSE(writer.appendVideo(picture, i * 0.1 - 0.05)) << "an earlier time";
            EXPECT_FALSE(
                writer.appendVideo(quadrantFrame(CameraFrame::PixelFormat::i420, 320, 240), i * 0.1 + 0.02))
                << "another size";
            EXPECT_FALSE(writer.appendVideo(CameraFrame{}, i * 0.1 + 0.03)) << "no picture";
        }
        writer.finish();
    }
    const test::MediaProbe::Video video = test::MediaProbe::decodeVideo(path);
    EXPECT_EQ(video.decodedFrames, 20);
    EXPECT_NEAR(video.lastFrameTime, 1.9, 0.002);
    EXPECT_NEAR(FfmpegMediaDuration::videoSeconds(path).value_or(-1), 1.9 + frameSeconds, 0.002)
        << "the last picture lasts a frame at 30 fps";
}

TEST(FfmpegWrapUpMovieWriter, PlacesTheSoundByItsTimes)
{
    // Sound buffers stamped from `first` for `firstSeconds`, then from `second` for one second; pictures for
    // three seconds. The tone's onsets and ends, as decoded, in seconds (the encoder's priming adds 21 ms).
    struct Case {
        const char* what;
        double first;
        double firstSeconds;
        std::optional<double> second;
        std::vector<double> onsets;
        std::vector<double> ends;
    };
    const std::vector<Case> cases{
        {"before the start: cut at 0", -0.5, 1.0, std::nullopt, {0.0}, {0.5}},
        {"a late first buffer: silence from 0", 1.0, 1.0, std::nullopt, {1.0}, {2.0}},
        {"a gap of half a second: silence in between", 0.0, 1.0, 1.5, {0.0, 1.5}, {1.0, 2.5}},
        {"a gap of 0.1 s: appended", 0.0, 1.0, 1.1, {0.0}, {2.0}},
        {"an earlier time: appended", 0.0, 1.0, 0.5, {0.0}, {2.0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TemporaryFolder folder;
        const QString path = folder.file(u"wrap_up.mov"_s);
        {
            FfmpegWrapUpMovieWriter writer(path, 160, 120, AudioInputFormat{48000, 1});
            Tone tone(48000, 1);
            const CameraFrame picture = quadrantFrame(CameraFrame::PixelFormat::yuyv422, 160, 120);
            const auto sound = [&](double from, double seconds) {
                for (double t = from; t < from + seconds - 1e-9; t += tone.bufferSeconds())
                    writer.appendAudio(tone.next(), t);
            };
            for (int i = 0; i < 30; ++i)
                writer.appendVideo(picture, i * 0.1);
            sound(c.first, c.firstSeconds);
            if (c.second)
                sound(*c.second, 1.0);
            writer.finish();
        }
        const std::vector<bool> loud = loudWindows(decodeSound(path));
        double from = 0;
        for (std::size_t i = 0; i < c.onsets.size(); ++i) {
            const double onset = onsetAfter(loud, from);
            EXPECT_NEAR(onset, c.onsets[i], 0.05) << "onset " << i;
            const double end = silenceAfter(loud, onset);
            EXPECT_NEAR(end, c.ends[i], 0.05) << "end " << i;
            from = end + 0.01;
        }
        EXPECT_LT(onsetAfter(loud, from), 0) << "no more tone";
    }
}

// A movie written for `seconds` (pictures at 30 fps, the tone unless `withSound` is false), left unfinished.
std::unique_ptr<WrapUpMovieWriter> unfinishedMovie(const QString& path, double seconds, bool withSound = true)
{
    auto writer = FfmpegWrapUpMovieWriter::factory()(path, 320, 240, AudioInputFormat{48000, 2});
    Tone tone(48000, 2);
    double soundTime = withSound ? 0 : 1e9;
    record(*writer, quadrantFrame(CameraFrame::PixelFormat::yuyv422, 320, 240), tone, 0, seconds, soundTime);
    return writer;
}

// Where each fragment's index (a top-level "moof" box) begins in a movie.
std::vector<qsizetype> fragmentIndexOffsets(const QByteArray& movie)
{
    std::vector<qsizetype> offsets;
    qsizetype offset = 0;
    while (offset + 8 <= movie.size()) {
        const auto* header = reinterpret_cast<const uchar*>(movie.constData() + offset);
        const qsizetype size = qsizetype(header[0]) << 24 | qsizetype(header[1]) << 16 |
                               qsizetype(header[2]) << 8 | qsizetype(header[3]);
        if (movie.mid(offset + 4, 4) == "moof")
            offsets.push_back(offset);
        if (size < 8)
            break;
        offset += size;
    }
    return offsets;
}

// The movie as a process killed now would leave it: only what reached the file.
QString snapshot(const QString& path, const QString& name)
{
    const QString copy = QFileInfo(path).dir().filePath(name);
    QFile::remove(copy);
    QFile::copy(path, copy);
    return copy;
}

TEST(FfmpegWrapUpMovieWriter, AMovieCutShortPlaysUpToItsLastFragmentAndTellsItsLength)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"wrap_up.mov"_s);
    const auto expectPlayable = [](const QString& movie, double atLeast) {
        const test::MediaProbe::Video video = test::MediaProbe::decodeVideo(movie);
        const std::optional<double> seconds = FfmpegMediaDuration::videoSeconds(movie);
        ASSERT_TRUE(seconds.has_value());
        EXPECT_GE(video.decodedFrames, 1);
        EXPECT_GE(*seconds, atLeast);
        EXPECT_NEAR(*seconds, video.lastFrameTime + frameSeconds, 0.07) << "the end of the last picture";
    };

    {
        auto writer = unfinishedMovie(path, frameSeconds);
        SCOPED_TRACE("the first picture reaches the file at once");
        const QString first = snapshot(path, u"first.mov"_s);
        EXPECT_EQ(test::MediaProbe::decodeVideo(first).decodedFrames, 1);
    }
    {
        auto writer = unfinishedMovie(path, 3.0);
        SCOPED_TRACE("a writer at work: its fragments are on the disk");
        expectPlayable(snapshot(path, u"working.mov"_s), 2.5);
        EXPECT_GT(FfmpegMediaDuration::audioSeconds(snapshot(path, u"working.mov"_s)).value_or(0), 2.5);
    }
    {
        auto writer = unfinishedMovie(path, 3.0, false);
        SCOPED_TRACE("a microphone that gives nothing does not hold the pictures back");
        expectPlayable(snapshot(path, u"silent.mov"_s), 1.5);
    }
    {
        auto writer = unfinishedMovie(path, 3.0);
        writer.reset();
        SCOPED_TRACE("destroyed without finishing");
        expectPlayable(path, 2.8);
    }

    // A finished movie cut at several places.
    {
        auto writer = unfinishedMovie(path, 4.0);
        writer->finish();
    }
    const QByteArray bytes = test::TemporaryFolder::readAll(path);
    const QString cut = folder.file(u"cut.mov"_s);
    for (const double fraction : {0.2, 0.45, 0.7, 0.95}) {
        SCOPED_TRACE(fraction);
        test::TemporaryFolder::writeAll(cut, bytes.left(qsizetype(double(bytes.size()) * fraction)));
        expectPlayable(cut, 4.0 * fraction - 0.9);
    }
    // Cut inside a fragment's index, a movie does not open in FFmpeg at all; the fragments before it count.
    const QString before = folder.file(u"before.mov"_s);
    const std::vector<qsizetype> fragments = fragmentIndexOffsets(bytes);
    ASSERT_GE(fragments.size(), 20u);
    for (const std::size_t fragment : {std::size_t{3}, fragments.size() / 2, fragments.size() - 1}) {
        SCOPED_TRACE(fragment);
        test::TemporaryFolder::writeAll(cut, bytes.left(fragments[fragment] + 20));
        test::TemporaryFolder::writeAll(before, bytes.left(fragments[fragment]));
        const std::optional<double> seconds = FfmpegMediaDuration::videoSeconds(cut);
        ASSERT_TRUE(seconds.has_value());
        EXPECT_GT(*seconds, 0.0);
        EXPECT_NEAR(*seconds, test::MediaProbe::decodeVideo(before).lastFrameTime + frameSeconds, 0.07);
    }
    test::TemporaryFolder::writeAll(cut, bytes.left(200));
    EXPECT_FALSE(FfmpegMediaDuration::videoSeconds(cut).has_value()) << "a header cut short";
    EXPECT_FALSE(FfmpegMediaDuration::videoSeconds(folder.file(u"missing.mov"_s)).has_value());
}

TEST(FfmpegWrapUpMovieWriter, AFullDiskFailsWithTheReasonAndTheMovieKeepsWhatReachedIt)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 128);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString path = disk.file(u"wrap_up.mov"_s);
    std::minstd_rand noise;
    std::optional<RecorderError> failure;
    {
        FfmpegWrapUpMovieWriter writer(path, 320, 240, AudioInputFormat{48000, 1});
        Tone tone(48000, 1);
        double soundTime = 0;
        failure = errorOf([&] {
            for (int i = 0; i < 900; ++i) { // at most 30 s
                writer.appendVideo(noiseFrame(320, 240, noise), i * frameSeconds);
                while (soundTime < (i + 1) * frameSeconds) {
                    writer.appendAudio(tone.next(), soundTime);
                    soundTime += tone.bufferSeconds();
                }
            }
            writer.finish();
        });
    }
    ASSERT_TRUE(failure.has_value()) << "128 kB hold a few seconds of noise";
    EXPECT_EQ(failure->code(), RecorderError::Code::writeFailed);
    EXPECT_TRUE(failure->description().startsWith(u"Could not "_s)) << failure->description().toStdString();
    EXPECT_TRUE(failure->description().endsWith(u" \""_s + path + u"\": No space left on device"_s))
        << failure->description().toStdString();
    EXPECT_GT(FfmpegMediaDuration::videoSeconds(path).value_or(0), 0.0) << "the pictures before the failure";
}

TEST(FfmpegWrapUpMovieWriter, AMovieThatCannotBeMadeFailsTheFactoryAndLeavesNoFile)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 256);
    const bool readOnly = disk.isMounted() && test::remountReadOnly(folder.file(u"disk"_s));
    const WrapUpMovieWriterFactory factory = FfmpegWrapUpMovieWriter::factory();
    const AudioInputFormat microphone{48000, 1};

    std::vector<std::pair<QString, QString>> cases{
        {folder.file(u"missing/wrap_up.mov"_s), u"No such file or directory"_s}};
    if (readOnly)
        cases.emplace_back(disk.file(u"wrap_up.mov"_s), u"Read-only file system"_s);
    else
        std::printf("read-only case skipped: cannot mount a small tmpfs here (needs root)\n");
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(reason.toStdString());
        const std::optional<RecorderError> error = errorOf([&] { factory(path, 640, 480, microphone); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code(), RecorderError::Code::writeFailed);
        EXPECT_EQ(error->description(), u"Could not write the file \""_s + path + u"\": "_s + reason);
        EXPECT_FALSE(QFile::exists(path));
    }

    // Encoders that cannot take the size or the sound are refused before any file is made.
    const QString path = folder.file(u"wrap_up.mov"_s);
    for (const auto& [width, height, sound] :
         {std::tuple{641, 480, microphone}, std::tuple{640, 480, AudioInputFormat{48000, 0}},
          std::tuple{640, 480, AudioInputFormat{0, 2}}}) {
        const std::optional<RecorderError> error = errorOf([&] { factory(path, width, height, sound); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code(), RecorderError::Code::writerSetupFailed)
            << error->description().toStdString();
        EXPECT_FALSE(QFile::exists(path));
    }
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files).size(), 0);
}

} // namespace
} // namespace ebbcast
