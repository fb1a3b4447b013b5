#include "capture/SystemAudioRecorder.h"

#include "capture/RecorderError.h"
#include "core/base/Logger.h"
#include "support/ChunkReports.h"
#include "support/FakeAudioMediaWriter.h"
#include "support/FakeSystemAudioSource.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

class SystemAudioRecorderTest : public ::testing::Test {
protected:
    SystemAudioRecorder& make(bool withChunks = true)
    {
        recorder_ = std::make_unique<SystemAudioRecorder>(
            fullPath(), withChunks ? std::optional<QString>(chunks()) : std::nullopt, logger_,
            writers_.factory(), clock_.wallClock(), SystemAudioRecorder::Timing{});
        recorder_->onChunkCompleted = reports_.callback();
        return *recorder_;
    }

    static AudioSampleBuffer buffer(double time, std::int16_t value = 16384, int frames = 1024)
    {
        AudioSampleBuffer buffer;
        buffer.presentationTimeSeconds = time;
        buffer.data.resize(frames * 4);
        auto* samples = reinterpret_cast<std::int16_t*>(buffer.data.data());
        for (int i = 0; i < frames * 2; ++i)
            samples[i] = value;
        return buffer;
    }

    // Buffers of 1024 frames at 48 kHz arriving in real time on the manual clock.
    void deliverSeconds(double seconds)
    {
        const int count = static_cast<int>(std::ceil(seconds * 48000 / 1024));
        for (int i = 0; i < count; ++i) {
            clock_.advance(1024 / 48000.0);
            recorder_->append(buffer(time_));
            time_ += 1024 / 48000.0;
        }
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    QString fullPath() const { return folder_.file(u"system_audio.m4a"_s); }
    QString chunks() const { return folder_.file(u"chunks"_s); }
    QString chunk(int n) const { return chunks() + QString::asprintf("/system_chunk_%04d.m4a", n); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    test::ManualClock clock_;
    test::FakeAudioMediaWriters writers_;
    test::ChunkReports reports_;

    std::vector<test::ChunkReports::Report> reports() const { return reports_.all(); }
    std::unique_ptr<SystemAudioRecorder> recorder_;
    double time_ = 1000.0;
};

TEST_F(SystemAudioRecorderTest, TenAndAHalfMinutesGiveTwoFullChunksAndAShortOne)
{
    SystemAudioRecorder& recorder = make();
    const QDateTime start = clock_.now();
    deliverSeconds(630);
    recorder.stopCapture();

    ASSERT_EQ(reports().size(), 3U);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reports()[i].chunk.index, static_cast<qint64>(i + 1));
        EXPECT_EQ(reports()[i].chunk.kind, u"system_audio"_s);
        EXPECT_EQ(reports()[i].chunk.filePath, chunk(static_cast<int>(i + 1)));
        EXPECT_EQ(reports()[i].path, chunk(static_cast<int>(i + 1)));
    }
    EXPECT_GE(reports()[0].chunk.duration, 300.0);
    EXPECT_LT(reports()[0].chunk.duration, 300.03) << "closed by the first buffer at or after 300 s";
    EXPECT_NEAR(reports()[1].chunk.duration, 300.0, 0.03);
    EXPECT_NEAR(reports()[2].chunk.duration, 30.0, 0.1);
    EXPECT_EQ(reports()[0].chunk.startTime, start.addMSecs(21)) << "the chunk began with the first buffer";
    EXPECT_EQ(reports()[1].chunk.startTime, reports()[0].chunk.endTime);
    EXPECT_DOUBLE_EQ(reports()[0].chunk.duration,
                     static_cast<double>(reports()[0].chunk.startTime.msecsTo(reports()[0].chunk.endTime)) /
                         1000.0);

    const auto full = writers_.record(fullPath());
    EXPECT_TRUE(full.started && full.finished);
    EXPECT_EQ(full.startTime, 1000.0) << "the file starts with the first buffer";
    EXPECT_EQ(full.appended, 29532);
    EXPECT_EQ(writers_.record(chunk(1)).appended + writers_.record(chunk(2)).appended +
                  writers_.record(chunk(3)).appended,
              29532)
        << "the buffer that triggers a rotation belongs to the old chunk";
    EXPECT_EQ(recorder.bufferCount(), 29532);
}

TEST_F(SystemAudioRecorderTest, SessionWithoutBuffersLeavesNoFilesAndSaysUnavailable)
{
    SystemAudioRecorder& recorder = make();
    recorder.stopCapture();
    EXPECT_TRUE(writers_.created().isEmpty());
    EXPECT_TRUE(reports().empty());
    const SystemAudioCaptureMetadata summary = recorder.captureMetadata();
    EXPECT_EQ(summary.source, u"ScreenCaptureKit system audio"_s);
    EXPECT_EQ(summary.status, u"unavailable"_s);
    EXPECT_EQ(summary.bufferCount, 0);
    EXPECT_FALSE(summary.firstBufferAt.has_value());
    EXPECT_EQ(summary.note,
              u"No ScreenCaptureKit system-audio buffers arrived. Microphone audio may still contain "
              "speaker bleed, but that is not system audio capture."_s);
}

TEST_F(SystemAudioRecorderTest, InvalidBuffersChangeNothingAndTheFirstValidOneIsAnnouncedOnce)
{
    SystemAudioRecorder& recorder = make();
    AudioSampleBuffer invalid = buffer(1.0);
    invalid.valid = false;
    recorder.append(invalid);
    EXPECT_TRUE(writers_.created().isEmpty());
    EXPECT_EQ(recorder.bufferCount(), 0);

    recorder.append(buffer(2.0));
    recorder.append(buffer(2.1));
    recorder.stopCapture();
    EXPECT_EQ(countLines(u"[INFO] ScreenCaptureKit system audio buffers are being received"_s), 1);
    const SystemAudioCaptureMetadata summary = recorder.captureMetadata();
    EXPECT_EQ(summary.status, u"capturing"_s);
    EXPECT_EQ(summary.bufferCount, 2);
    EXPECT_EQ(summary.firstBufferAt, clock_.now());
    EXPECT_EQ(summary.note,
              u"System audio came from ScreenCaptureKit audio sample buffers, not microphone input."_s);
}

TEST_F(SystemAudioRecorderTest, LevelIsTheRootMeanSquareOfAll16BitSamples)
{
    SystemAudioRecorder& recorder = make(false);
    std::vector<float> levels;
    recorder.onLevel = [&levels](float level) {
        levels.push_back(level);
    };
    recorder.append(buffer(0, 16384));
    AudioSampleBuffer oneByte = buffer(0);
    oneByte.data = QByteArray(1, '\x7f');
    recorder.append(oneByte);
    AudioSampleBuffer empty = buffer(0);
    empty.data.clear();
    recorder.append(empty);
    recorder.stopCapture();
    ASSERT_EQ(levels.size(), 3U);
    EXPECT_NEAR(levels[0], 16384 / 32767.0, 1e-6);
    EXPECT_EQ(levels[1], 0.0F);
    EXPECT_EQ(levels[2], 0.0F);
    EXPECT_EQ(recorder.lastLevel(), 0.0F);
    EXPECT_TRUE(writers_.created() == QStringList{fullPath()}) << "no chunk folder, no chunks";
}

TEST_F(SystemAudioRecorderTest, ChunkSetUpFailuresAreRetriedOncePerPeriodWhileTheFullFileGoesOn)
{
    SystemAudioRecorder& recorder = make();
    writers_.failCreateOf(chunk(1));
    writers_.refuseInputOf(chunk(2));
    deliverSeconds(299);   // chunk 1 cannot be created; no retry for a period
    deliverSeconds(1.05);  // chunk 2 refuses the input
    deliverSeconds(300.5); // chunk 3 works
    recorder.stopCapture();

    EXPECT_EQ(countLines(u"[ERROR] System audio write failed: Could not write the file "_s), 1);
    EXPECT_EQ(
        countLines(u"[ERROR] System audio chunk rotation failed: Cannot add system audio chunk input"_s), 1);
    EXPECT_EQ(writers_.record(fullPath()).appended, recorder.bufferCount())
        << "every buffer reached the full file";
    ASSERT_EQ(reports().size(), 1U);
    EXPECT_EQ(reports()[0].chunk.index, 3);
}

TEST_F(SystemAudioRecorderTest, FullFileThatCannotBeWrittenEndsTheTrackWithOneLine)
{
    SystemAudioRecorder& recorder = make();
    deliverSeconds(1);
    const QDateTime lastGood = clock_.now();
    writers_.failAppendsTo(fullPath());
    deliverSeconds(2);
    recorder.stopCapture();

    EXPECT_EQ(countLines(u"[ERROR] System audio write failed: No space left on device"_s), 1);
    ASSERT_EQ(reports().size(), 1U) << "the chunk so far is finished and reported";
    const auto interruption = recorder.interruption();
    ASSERT_TRUE(interruption.has_value());
    EXPECT_EQ(interruption->lastDataAt, lastGood);
    EXPECT_EQ(interruption->reason, u"No space left on device"_s);
}

TEST_F(SystemAudioRecorderTest, AChunkThatCannotBeWrittenIsClosedUnreportedAndTriedAgainAPeriodLater)
{
    SystemAudioRecorder& recorder = make();
    writers_.failAppendsTo(chunk(1));
    deliverSeconds(10);  // chunk 1 fails with its first buffer
    deliverSeconds(300); // chunk 2 opens a period after that
    recorder.stopCapture();

    EXPECT_EQ(countLines(u"[ERROR] System audio chunk writer failed: No space left on device"_s), 1);
    EXPECT_EQ(countLines(u"System audio write failed"_s), 0);
    const auto failed = writers_.record(chunk(1));
    EXPECT_TRUE(failed.closed);
    EXPECT_FALSE(failed.finished) << "a writer that threw is not finished";
    EXPECT_EQ(writers_.record(fullPath()).appended, recorder.bufferCount()) << "the full file went on";
    ASSERT_EQ(reports().size(), 1U);
    EXPECT_EQ(reports()[0].chunk.index, 2);
    EXPECT_NEAR(reports()[0].chunk.duration, 10.0, 0.1);
    EXPECT_FALSE(recorder.interruption().has_value());
}

TEST_F(SystemAudioRecorderTest, ASourceThatFailsIsAnInterruptionUntilBuffersComeBack)
{
    SystemAudioRecorder& recorder = make();
    deliverSeconds(1);
    recorder.noteSourceFailure(u"the sound server went away"_s);
    ASSERT_TRUE(recorder.interruption().has_value());
    EXPECT_EQ(recorder.interruption()->reason, u"the sound server went away"_s);
    deliverSeconds(1);
    recorder.stopCapture();
    EXPECT_FALSE(recorder.interruption().has_value());
}

TEST_F(SystemAudioRecorderTest, AChunkOfATrackThatStoppedEndsWithItsLastBuffer)
{
    SystemAudioRecorder& recorder = make();
    deliverSeconds(2);
    const QDateTime lastBuffer = clock_.now();
    recorder.noteSourceFailure(u"the sound server went away"_s);
    clock_.advance(6); // nothing arrives until the session stops
    recorder.stopCapture();
    ASSERT_EQ(reports().size(), 1U);
    EXPECT_EQ(reports()[0].chunk.endTime, lastBuffer);
    EXPECT_NEAR(reports()[0].chunk.duration, 2.0, 0.05);
}

TEST_F(SystemAudioRecorderTest, FullFileThatRefusesItsInputIsAWriterSetUpFailure)
{
    SystemAudioRecorder& recorder = make(false);
    writers_.refuseInputOf(fullPath());
    recorder.append(buffer(1.0));
    recorder.stopCapture();
    EXPECT_EQ(countLines(u"[ERROR] System audio write failed: Cannot add system audio input"_s), 1);
    EXPECT_EQ(RecorderError::writerSetupFailed(u"Cannot add system audio input"_s).description(),
              u"Cannot add system audio input"_s);
    EXPECT_EQ(RecorderError::noDisplayAvailable().description(),
              u"No display is available for ScreenCaptureKit capture."_s);
}

TEST_F(SystemAudioRecorderTest, FailedWritersAreLoggedAndTheirChunksNeverReported)
{
    SystemAudioRecorder& recorder = make();
    writers_.failFinishOf(chunk(1));
    writers_.failFinishOf(fullPath());
    deliverSeconds(2);
    recorder.stopCapture();
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(countLines(u"[ERROR] System audio chunk writer failed: disk full"_s), 1);
    EXPECT_EQ(countLines(u"[ERROR] System audio writer failed: unknown error"_s), 1);
}

TEST_F(SystemAudioRecorderTest, ChunkOpenedAtRotationWithoutAnyBufferIsDiscardedAtStop)
{
    SystemAudioRecorder& recorder = make();
    while (writers_.created().isEmpty() || writers_.created().last() != chunk(2))
        deliverSeconds(0.01); // one buffer at a time until the rotation opens chunk 2
    recorder.stopCapture();
    ASSERT_EQ(reports().size(), 1U);
    EXPECT_EQ(reports()[0].chunk.index, 1);
    EXPECT_TRUE(writers_.record(chunk(2)).closed);
    EXPECT_FALSE(writers_.record(chunk(2)).finished) << "nothing to finish";
    EXPECT_FALSE(writers_.record(chunk(2)).started);
}

TEST_F(SystemAudioRecorderTest, ChunkFolderThatCannotBeCreatedIsLoggedOncePerPeriod)
{
    test::TemporaryFolder::writeAll(chunks(), "a file where the folder should be");
    SystemAudioRecorder& recorder = make();
    deliverSeconds(10);
    recorder.stopCapture();
    EXPECT_EQ(countLines(u"[ERROR] System audio write failed: Could not create the folder"_s), 1);
    EXPECT_GT(recorder.bufferCount(), 400);
    EXPECT_TRUE(QFile::exists(fullPath()) || writers_.record(fullPath()).appended > 400)
        << "the full file records without chunks";
}

TEST_F(SystemAudioRecorderTest, ItsOwnSourceFeedsItThroughItsQueue)
{
    auto source = std::make_unique<test::FakeSystemAudioSource>();
    test::FakeSystemAudioSource& fake = *source;
    SystemAudioRecorder recorder(fullPath(), chunks(), logger_, writers_.factory(), clock_.wallClock(), {},
                                 std::move(source));
    recorder.startCapture();
    fake.deliver(3);
    recorder.stopCapture(); // stops the source, then handles what it delivered
    EXPECT_EQ(countLines(u"[INFO] ScreenCaptureKit system audio output attached"_s), 1);
    EXPECT_EQ(recorder.captureMetadata().bufferCount, 3);
    EXPECT_EQ(recorder.captureMetadata().status, u"capturing"_s);
    EXPECT_EQ(countLines(u"No ScreenCaptureKit system audio buffers"_s), 0);
    fake.deliver(1);
    EXPECT_EQ(recorder.bufferCount(), 3) << "nothing reaches a stopped recorder";
}

TEST_F(SystemAudioRecorderTest, ASourceThatCannotStartIsNotFatal)
{
    auto source = std::make_unique<test::FakeSystemAudioSource>();
    source->failStart = true;
    SystemAudioRecorder recorder(fullPath(), chunks(), logger_, writers_.factory(), clock_.wallClock(), {},
                                 std::move(source));
    recorder.startCapture();
    recorder.stopCapture();
    EXPECT_EQ(countLines(
                  u"[ERROR] System audio capture output unavailable: No default audio output is available"_s),
              1);
    EXPECT_EQ(
        countLines(u"[ERROR] No ScreenCaptureKit system audio buffers were received during this session"_s),
        1);
    EXPECT_EQ(recorder.captureMetadata().status, u"unavailable"_s);
}

TEST_F(SystemAudioRecorderTest, ASourceThatGivesUpIsLoggedAndEndsTheTrack)
{
    auto source = std::make_unique<test::FakeSystemAudioSource>();
    test::FakeSystemAudioSource& fake = *source;
    SystemAudioRecorder recorder(fullPath(), chunks(), logger_, writers_.factory(), clock_.wallClock(), {},
                                 std::move(source));
    recorder.startCapture();
    fake.deliver(2);
    fake.fail(u"the sound server went away"_s);
    recorder.stopCapture();
    EXPECT_EQ(countLines(u"[ERROR] System audio capture stopped: the sound server went away"_s), 1);
    ASSERT_TRUE(recorder.interruption().has_value());
    EXPECT_EQ(recorder.interruption()->reason, u"the sound server went away"_s);
}

} // namespace
} // namespace ebbcast
