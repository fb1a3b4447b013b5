#include "capture/linux/FfmpegMediaDuration.h"

#include "capture/linux/FfmpegAacWriter.h"
#include "support/MediaProbe.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A 440 Hz tone of `buffers` buffers of 1024 frames, written through the AAC writer.
void writeTone(const QString& path, int buffers)
{
    FfmpegAacWriter writer(path);
    int phase = 0;
    for (int b = 0; b < buffers; ++b) {
        AudioSampleBuffer buffer;
        buffer.data.resize(1024 * 4);
        auto* samples = reinterpret_cast<std::int16_t*>(buffer.data.data());
        for (int i = 0; i < 1024; ++i, ++phase) {
            const auto value = static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * 440 * phase / 48000.0));
            samples[2 * i] = value;
            samples[2 * i + 1] = value;
        }
        writer.append(buffer);
    }
    writer.finish();
}

TEST(FfmpegMediaDuration, AudioMeasuresCompleteAndCutShortFilesByTheirPackets)
{
    test::TemporaryFolder folder;
    const QString complete = folder.file(u"system_chunk_0001.m4a"_s);
    writeTone(complete, 141);
    EXPECT_NEAR(FfmpegMediaDuration::audioSeconds(complete).value_or(-1), 141 * 1024 / 48000.0, 0.001)
        << "the samples that went in";

    // A crash in the middle of a fragment: what is left decodes to less, and the reader says how much.
    const QString cut = folder.file(u"system_chunk_0002.m4a"_s);
    const QByteArray bytes = test::TemporaryFolder::readAll(complete);
    test::TemporaryFolder::writeAll(cut, bytes.left(bytes.size() * 6 / 10));
    const double decoded = test::MediaProbe::decodeAudio(cut).seconds;
    ASSERT_GT(decoded, 0.5);
    ASSERT_LT(decoded, 2.5);
    EXPECT_NEAR(FfmpegMediaDuration::audioSeconds(cut).value_or(-1), decoded, 0.03);
}

TEST(FfmpegMediaDuration, AudioFilesWithoutAudioSayNothingOrZero)
{
    test::TemporaryFolder folder;
    const QString noPackets = folder.file(u"empty.m4a"_s);
    writeTone(noPackets, 0); // a header, no packets
    EXPECT_EQ(FfmpegMediaDuration::audioSeconds(noPackets), 0.0);
    const QString text = folder.file(u"text.m4a"_s);
    test::TemporaryFolder::writeAll(text, "not a media file");
    EXPECT_FALSE(FfmpegMediaDuration::audioSeconds(text).has_value());
    EXPECT_FALSE(FfmpegMediaDuration::audioSeconds(folder.file(u"missing.m4a"_s)).has_value());
}

} // namespace
} // namespace ebbcast
