#include "gateway/AudioDecoder.h"

#include "gateway/SpeechRecognizer.h"
#include "gateway/SpokenSentences.h"
#include "support/TemporaryFolder.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

const auto never = [] {
    return false;
};

// `seconds` of a 440 Hz tone at half scale, as the microphone recorder writes (48 kHz mono float WAV) or,
// with `channels` 2, as the system-sound recorder writes (AAC in m4a).
QString tone(const TemporaryFolder& folder, const QString& name, double seconds, int channels = 1)
{
    const QString wav = folder.file(name + ".wav"_L1);
    runTool(u"sox"_s, {u"-n"_s, u"-r"_s, u"48000"_s, u"-c"_s, QString::number(channels), u"-e"_s,
                       u"floating-point"_s, u"-b"_s, u"32"_s, wav, u"synth"_s, QString::number(seconds),
                       u"sine"_s, u"440"_s, u"vol"_s, u"0.5"_s});
    if (channels == 1)
        return wav;
    const QString m4a = folder.file(name + ".m4a"_L1);
    runTool(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-i"_s, wav, u"-c:a"_s, u"aac"_s, m4a});
    return m4a;
}

// Sign changes per second and root mean square of 16 kHz samples.
struct Measure {
    double crossingsPerSecond = 0;
    double rms = 0;
};

Measure measure(const std::vector<qint16>& samples)
{
    int crossings = 0;
    double squares = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        squares += static_cast<double>(samples[i]) * samples[i];
        if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0))
            ++crossings;
    }
    const double count = static_cast<double>(samples.size());
    return {crossings / (count / AudioDecoder::sampleRate), std::sqrt(squares / count)};
}

TEST(AudioDecoder, ReadsTheMicrophoneWavAndTheSystemSoundM4aAs16kHzMono)
{
    TemporaryFolder folder;
    const double halfScaleRms = 0.5 * 32767 / std::sqrt(2.0);
    for (const QString& path : {tone(folder, u"microphone"_s, 3), tone(folder, u"system"_s, 3, 2)}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(AudioDecoder::problem(path), std::nullopt);
        const std::vector<qint16> samples = AudioDecoder::decodeMono16k(path, never);
        // AAC may add or drop a frame of 1024 samples at either end.
        EXPECT_NEAR(static_cast<double>(samples.size()), 3 * 16000, path.endsWith(".m4a"_L1) ? 1400 : 2);
        const Measure heard = measure(samples);
        EXPECT_NEAR(heard.crossingsPerSecond, 880, 10) << "the tone keeps its pitch";
        EXPECT_NEAR(heard.rms, halfScaleRms, 0.1 * halfScaleRms) << "and its loudness, both channels mixed";
    }
}

TEST(AudioDecoder, NamesWhyAFileHoldsNoAudio)
{
    TemporaryFolder folder;
    const QString text = folder.file(u"notes.wav"_s);
    TemporaryFolder::writeAll(text, "These are notes, not a recording.\n");
    const QString image = folder.file(u"picture.png"_s);
    runTool(u"ffmpeg"_s, {u"-nostdin"_s, u"-v"_s, u"error"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                          u"color=red:s=16x16"_s, u"-frames:v"_s, u"1"_s, image});
    const QString empty = folder.file(u"empty.wav"_s);
    TemporaryFolder::writeAll(empty, {});
    // FFmpeg writes an m4a's index at its end, so the first half of one has none.
    const QString m4a = tone(folder, u"system"_s, 3, 2);
    const QString halfM4a = folder.file(u"half.m4a"_s);
    const QByteArray m4aBytes = TemporaryFolder::readAll(m4a);
    TemporaryFolder::writeAll(halfM4a, m4aBytes.left(m4aBytes.size() / 2));

    const std::vector<std::pair<QString, QString>> cases = {
        {text, u"not a media file"_s},
        {image, u"no audio stream"_s},
        {empty, u"empty file"_s},
        {folder.file(u"missing.wav"_s), u"file not found"_s},
        {halfM4a, u"truncated or damaged"_s},
        {folder.path(), u"not a regular file"_s},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(AudioDecoder::problem(path), reason);
        try {
            AudioDecoder::decodeMono16k(path, never);
            ADD_FAILURE() << "decoded";
        } catch (const AudioDecodeError& error) {
            EXPECT_EQ(QString::fromUtf8(error.what()), reason);
        }
    }
}

TEST(AudioDecoder, DecodesWhatATruncatedWavHoldsAndRefusesOneWithNoAudioLeft)
{
    TemporaryFolder folder;
    const QByteArray wav = TemporaryFolder::readAll(tone(folder, u"microphone"_s, 3));
    const qsizetype audioStart = wav.indexOf("data") + 8;
    // A recording cut off one second in, its header still claiming three.
    const QString cut = folder.file(u"cut.wav"_s);
    TemporaryFolder::writeAll(cut, wav.left(audioStart + 48000 * 4));
    EXPECT_EQ(AudioDecoder::problem(cut), std::nullopt);
    EXPECT_NEAR(static_cast<double>(AudioDecoder::decodeMono16k(cut, never).size()), 16000, 2);

    const QString headerOnly = folder.file(u"header.wav"_s);
    TemporaryFolder::writeAll(headerOnly, wav.left(audioStart));
    EXPECT_THROW(
        {
            try {
                AudioDecoder::decodeMono16k(headerOnly, never);
            } catch (const AudioDecodeError& error) {
                EXPECT_STREQ(error.what(), "no decodable audio");
                throw;
            }
        },
        AudioDecodeError);
}

TEST(AudioDecoder, AsksCancelledAtLeastEveryHalfSecondOfAudioAndStopsAtOnce)
{
    TemporaryFolder folder;
    for (const QString& path : {tone(folder, u"microphone"_s, 20), tone(folder, u"system"_s, 20, 2)}) {
        SCOPED_TRACE(path.toStdString());
        int asked = 0;
        AudioDecoder::decodeMono16k(path, [&] { return ++asked < 0; });
        EXPECT_GE(asked, 40) << "20 s of audio";

        asked = 0;
        EXPECT_THROW(AudioDecoder::decodeMono16k(path, [&] { return ++asked == 3; }), RecognitionCancelled);
        EXPECT_EQ(asked, 3);
    }
}

} // namespace
} // namespace ebbcast::test
