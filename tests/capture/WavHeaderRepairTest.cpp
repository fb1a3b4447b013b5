#include "capture/WavHeaderRepair.h"

#include "capture/WavFileWriter.h"
#include "core/base/FileError.h"
#include "support/MediaProbe.h"
#include "support/ReadOnlyRemount.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QFile>

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::vector<float> ramp(std::uint32_t frames)
{
    std::vector<float> samples(frames);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(i % 1000) / 1000.0F - 0.5F;
    return samples;
}

// A mono 48 kHz file as WavFileWriter leaves it: `buffers` buffers of 1024 frames.
void writeWav(const QString& path, int buffers)
{
    const std::vector<float> samples = ramp(1024);
    WavFileWriter writer(path, {48000, 1});
    for (int i = 0; i < buffers; ++i)
        writer.write({samples.data(), 1024, 1});
}

// What libsndfile's reader makes of a file: its frame count, or -1 when it refuses the file.
sf_count_t libsndfileFrames(const QString& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (file == nullptr)
        return -1;
    sf_close(file);
    return info.frames;
}

TEST(WavHeaderRepair, ARiffFileThatOutgrewFourGibibytesBecomesRf64ThatReadersAccept)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"microphone.wav"_s);
    writeWav(path, 4);
    const QByteArray before = test::TemporaryFolder::readAll(path);
    const qint64 dataStart = before.indexOf("data") + 8;
    // A crash after five GiB of audio: the header still says what it said at the last update below 4 GiB.
    const qint64 size = dataStart + 5LL * 1024 * 1024 * 1024;
    if (!QFile::resize(path, size))
        GTEST_SKIP() << "the file system cannot hold a file of 5 GiB";
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    if (status.st_blocks * 512 > 64LL * 1024 * 1024)
        GTEST_SKIP() << "the file system does not keep files sparse";

    const WavHeaderRepair::Result result = WavHeaderRepair::repair(path);
    const sf_count_t frames = (size - dataStart) / 4;
    EXPECT_TRUE(result.changed);
    EXPECT_EQ(result.dataBytes, static_cast<std::uint64_t>(frames) * 4);
    EXPECT_DOUBLE_EQ(result.seconds(), static_cast<double>(frames) / 48000.0);

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray after = file.read(dataStart + 4096);
    EXPECT_TRUE(after.startsWith("RF64"));
    EXPECT_EQ(after.indexOf("data") + 8, dataStart) << "the audio stays where it was";
    EXPECT_EQ(after.mid(dataStart, 4096), before.mid(dataStart, 4096)) << "audio bytes are not touched";
    EXPECT_EQ(libsndfileFrames(path), frames);
    EXPECT_NEAR(test::MediaProbe::firstAudioStream(path).duration, static_cast<double>(frames) / 48000.0,
                0.001);
    EXPECT_FALSE(WavHeaderRepair::repair(path).changed) << "the RF64 header is kept as it is";
}

TEST(WavHeaderRepair, ACorrectHeaderIsOnlyReadAndOneThatCannotBeWrittenFailsAsAWrite)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"disk"_s), 512);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString good = disk.file(u"good.wav"_s);
    const QString cut = disk.file(u"cut.wav"_s);
    writeWav(good, 3);
    writeWav(cut, 3);
    QFile file(cut);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(test::TemporaryFolder::readAll(cut).indexOf("data") + 4);
    file.write(QByteArray(4, '\0')); // a header claiming no audio
    file.close();
    if (!test::remountReadOnly(folder.file(u"disk"_s)))
        GTEST_SKIP() << "cannot remount the tmpfs read-only here";

    EXPECT_FALSE(WavHeaderRepair::repair(good).changed);
    try {
        WavHeaderRepair::repair(cut);
        ADD_FAILURE() << "a header that needs changing on a read-only file system cannot be repaired";
    } catch (const FileError& error) {
        EXPECT_EQ(error.code(), FileError::Code::writeFailed);
        EXPECT_TRUE(error.description().startsWith(u"Could not write the file"_s))
            << error.description().toStdString();
    }
}

} // namespace
} // namespace ebbcast
