#include "capture/WavFileWriter.h"

#include "capture/WavHeaderRepair.h"
#include "core/base/FileError.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sndfile.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

struct ReadBack {
    bool opened = false;
    sf_count_t frames = 0;
    int sampleRate = 0;
    int channels = 0;
    int format = 0;
    std::vector<float> samples;
};

// Reads a file with libsndfile's reader, independently of how it was written.
ReadBack readBack(const QString& path)
{
    ReadBack result;
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file == nullptr)
        return result;
    result.opened = true;
    result.frames = info.frames;
    result.sampleRate = info.samplerate;
    result.channels = info.channels;
    result.format = info.format;
    result.samples.resize(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, result.samples.data(), info.frames);
    sf_close(file);
    return result;
}

std::vector<float> ramp(std::uint32_t frames, int channels)
{
    std::vector<float> samples(static_cast<size_t>(frames) * channels);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i % 1000) / 1000.0F - 0.5F;
    return samples;
}

TEST(WavFileWriter, WritesFloatSamplesUnchangedAtTheInputFormat)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"microphone.wav"_s);
    const std::vector<float> samples = ramp(1024, 2);
    {
        WavFileWriter writer(path, {44100, 2});
        for (int i = 0; i < 3; ++i)
            writer.write({samples.data(), 1024, 2});
    }
    const ReadBack file = readBack(path);
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    EXPECT_TRUE(test::TemporaryFolder::readAll(path).startsWith("RIFF")) << "a small file is a plain WAV";
    EXPECT_EQ(file.sampleRate, 44100);
    EXPECT_EQ(file.channels, 2);
    EXPECT_EQ(file.frames, 3 * 1024);
    EXPECT_EQ(std::vector<float>(file.samples.begin(), file.samples.begin() + 2048), samples);
}

TEST(WavFileWriter, HeaderIsValidAfterEveryBufferWhileTheFileIsOpen)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"microphone.wav"_s);
    const std::vector<float> samples = ramp(1024, 1);
    WavFileWriter writer(path, {48000, 1});
    for (int i = 1; i <= 3; ++i) {
        writer.write({samples.data(), 1024, 1});
        EXPECT_EQ(readBack(path).frames, i * 1024) << "a crash now would keep every buffer";
        EXPECT_FALSE(WavHeaderRepair::repair(path).changed);
    }
}

TEST(WavFileWriter, RefusesBuffersOfAnotherChannelCountAndUnwritablePaths)
{
    test::TemporaryFolder folder;
    const std::vector<float> samples = ramp(1024, 2);
    WavFileWriter writer(folder.file(u"a.wav"_s), {48000, 1});
    EXPECT_THROW(writer.write({samples.data(), 1024, 2}), FileError);
    EXPECT_THROW(WavFileWriter(folder.file(u"missing/a.wav"_s), {48000, 1}), FileError);
}

TEST(WavFileWriter, FullDiskFailsWritesAndKeepsWhatWasWrittenReadable)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"tiny"_s), 256);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString path = disk.file(u"microphone.wav"_s);
    const std::vector<float> samples = ramp(1024, 1);
    int written = 0;
    QString failure;
    {
        WavFileWriter writer(path, {48000, 1});
        for (int i = 0; i < 200; ++i) {
            try {
                writer.write({samples.data(), 1024, 1});
                ++written;
            } catch (const FileError& error) {
                failure = error.description();
                break;
            }
        }
    }
    const ReadBack file = readBack(path);
    disk.unmount();
    EXPECT_TRUE(failure.contains(u"microphone.wav"_s)) << failure.toStdString();
    EXPECT_GT(written, 10);
    ASSERT_TRUE(file.opened);
    EXPECT_GE(file.frames, (written - 1) * 1024);
}

class WavHeaderRepairTest : public ::testing::Test {
protected:
    // A WAV of `buffers` 1024-frame stereo buffers, then the header field at `offset` overwritten.
    QString writeWav(int buffers)
    {
        const std::vector<float> samples = ramp(1024, 2);
        WavFileWriter writer(path_, {48000, 2});
        for (int i = 0; i < buffers; ++i)
            writer.write({samples.data(), 1024, 2});
        return path_;
    }

    void patch(qint64 offset, const QByteArray& bytes)
    {
        QFile file(path_);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(offset);
        file.write(bytes);
    }

    qint64 dataSizeOffset()
    {
        const QByteArray bytes = test::TemporaryFolder::readAll(path_);
        return bytes.indexOf("data") + 4;
    }

    test::TemporaryFolder folder_;
    QString path_ = folder_.file(u"microphone.wav"_s);
};

TEST_F(WavHeaderRepairTest, HeaderClaimingNoAudioIsGrownToTheFile)
{
    writeWav(10);
    patch(4, QByteArray("\x00\x00\x00\x00", 4));
    patch(dataSizeOffset(), QByteArray("\x00\x00\x00\x00", 4));
    EXPECT_EQ(readBack(path_).frames, 0);

    const auto result = WavHeaderRepair::repair(path_);
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.blockAlign, 8U);
    EXPECT_EQ(result.dataBytes, 10U * 1024 * 8);
    EXPECT_EQ(readBack(path_).frames, 10 * 1024);
    EXPECT_FALSE(WavHeaderRepair::repair(path_).changed) << "a repaired header stays as it is";
}

TEST_F(WavHeaderRepairTest, HeaderClaimingMoreThanTheFileHoldsIsShrunkToWholeFrames)
{
    writeWav(10);
    QFile::resize(path_, QFileInfo(path_).size() - 8 * 1024 - 3); // cut 1024 frames and part of another
    patch(dataSizeOffset(), QByteArray("\xff\xff\xff\x7f", 4));
    const auto result = WavHeaderRepair::repair(path_);
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.dataBytes, (9U * 1024 - 1) * 8);
    EXPECT_EQ(readBack(path_).frames, 9 * 1024 - 1);
}

TEST_F(WavHeaderRepairTest, RefusesFilesThatAreNotWav)
{
    test::TemporaryFolder::writeAll(path_, "RIFF\x10\x00\x00\x00WAVEjunk but no chunks");
    EXPECT_THROW(WavHeaderRepair::repair(path_), FileError);
    test::TemporaryFolder::writeAll(path_, "ID3 an mp3 file");
    EXPECT_THROW(WavHeaderRepair::repair(path_), FileError);
    test::TemporaryFolder::writeAll(path_, "");
    EXPECT_THROW(WavHeaderRepair::repair(path_), FileError);
    EXPECT_THROW(WavHeaderRepair::repair(folder_.file(u"missing.wav"_s)), FileError);
}

} // namespace
} // namespace ebbcast
