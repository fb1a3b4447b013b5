#include "capture/MicRecorder.h"

#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "support/ChunkReports.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakePcmFileWriter.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

class MicRecorderTest : public ::testing::Test {
protected:
    // The watchdog timer is left to fire after an hour: checks run only when a test asks for one.
    MicRecorder& make(AudioInputFormat format = {48000, 1}, double chunkSeconds = 300,
                      QString preferredDevice = QString())
    {
        auto engine = std::make_unique<test::FakeAudioInputEngine>(format);
        engine_ = engine.get();
        MicRecorder::Timing timing;
        timing.chunkDurationSeconds = chunkSeconds;
        timing.watchdogFirstCheck = std::chrono::hours(1);
        recorder_ =
            std::make_unique<MicRecorder>(u"/s/microphone.wav"_s, preferredDevice, logger_, std::move(engine),
                                          files_.factory(), clock_.wallClock(), timing);
        recorder_->onChunkCompleted = reports_.callback();
        return *recorder_;
    }

    // Buffers of 1024 frames arriving in real time on the manual clock.
    void deliverSeconds(double seconds, double sampleRate = 48000)
    {
        const int buffers = static_cast<int>(std::ceil(seconds * sampleRate / 1024));
        for (int i = 0; i < buffers; ++i) {
            clock_.advance(1024 / sampleRate);
            engine_->deliver();
        }
    }

    QStringList logLines()
    {
        logger_.flush();
        return QString::fromUtf8(test::TemporaryFolder::readAll(logPath())).split(u'\n', Qt::SkipEmptyParts);
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    QString logPath() const { return folder_.file(u"app.log"_s); }
    QString chunks() const { return folder_.file(u"chunks"_s); }

    test::TemporaryFolder folder_;
    Logger logger_{logPath(), [] {
                       return QDateTime(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC);
                   }};
    test::ManualClock clock_;
    test::FakePcmFiles files_;
    test::FakeAudioInputEngine* engine_ = nullptr;
    test::ChunkReports reports_;

    std::vector<test::ChunkReports::Report> reports() const { return reports_.all(); }
    std::unique_ptr<MicRecorder> recorder_;
};

TEST_F(MicRecorderTest, WithoutAChunkFolderOnlyTheFullFileIsWritten)
{
    MicRecorder& recorder = make();
    recorder.startCapture(std::nullopt);
    deliverSeconds(400);
    recorder.stopCapture();
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(files_.opened(), QStringList{u"/s/microphone.wav"_s});
    EXPECT_EQ(files_.file(u"/s/microphone.wav"_s).frames, 18750 * 1024);
    EXPECT_EQ(files_.openCount(), 0);
}

TEST_F(MicRecorderTest, ChunkClosesWithTheFirstBufferReaching300SecondsAt48Kilohertz)
{
    MicRecorder& recorder = make();
    recorder.startCapture(chunks());
    // 14,400,000 frames is 14062.5 buffers: buffer 14063 closes the chunk.
    for (int i = 0; i < 14062; ++i) {
        clock_.advance(1024 / 48000.0);
        engine_->deliver();
    }
    EXPECT_TRUE(reports().empty());
    clock_.advance(1024 / 48000.0);
    engine_->deliver();
    ASSERT_EQ(reports().size(), 1U);
    const RecordingChunkMetadata chunk = reports()[0].chunk;
    EXPECT_EQ(chunk.index, 1);
    EXPECT_EQ(chunk.kind, u"microphone"_s);
    EXPECT_EQ(chunk.filePath, chunks() + u"/mic_chunk_0001.wav"_s);
    EXPECT_EQ(reports()[0].path, chunk.filePath);
    EXPECT_EQ(files_.file(chunk.filePath).frames, 14063 * 1024);
    EXPECT_DOUBLE_EQ(chunk.duration, 14063 * 1024 / 48000.0);
    EXPECT_GE(chunk.duration, 300.0);
    EXPECT_EQ(chunk.startTime, test::ManualClock().now());
    EXPECT_EQ(chunk.endTime, chunk.startTime.addMSecs(300011)) << "end = start + audio written";
    EXPECT_FALSE(chunk.sessionStartTime || chunk.timecodeStart || chunk.clockSyncStatus);
    EXPECT_EQ(files_.opened().last(), chunks() + u"/mic_chunk_0002.wav"_s);

    recorder.stopCapture();
    ASSERT_EQ(reports().size(), 2U) << "a stop right after a rotation reports the new, short chunk";
    EXPECT_EQ(reports()[1].chunk.index, 2);
    EXPECT_EQ(reports()[1].chunk.duration, 0.0);
    EXPECT_EQ(files_.file(u"/s/microphone.wav"_s).frames, 14063 * 1024);
}

TEST_F(MicRecorderTest, ShortSessionYieldsOneChunkReportedAtStop)
{
    MicRecorder& recorder = make();
    recorder.startCapture(folder_.file(u"session/chunks"_s));
    EXPECT_TRUE(QDir(folder_.file(u"session/chunks"_s)).exists())
        << "the chunk folder is created with parents";
    deliverSeconds(42);
    EXPECT_TRUE(reports().empty());
    recorder.stopCapture();
    ASSERT_EQ(reports().size(), 1U);
    EXPECT_EQ(reports()[0].chunk.index, 1);
    EXPECT_NEAR(reports()[0].chunk.duration, 42.0, 0.03);
    EXPECT_EQ(files_.openCount(), 0);
}

TEST_F(MicRecorderTest, FailedChunkOpensAreRetriedOncePerChunkPeriodAndLeaveGapsInTheNumbering)
{
    MicRecorder& recorder = make({48000, 1}, 1.0);
    recorder.startCapture(chunks());
    files_.failNextOpenOf(chunks() + u"/mic_chunk_0002.wav"_s);
    files_.failNextOpenOf(chunks() + u"/mic_chunk_0003.wav"_s);
    deliverSeconds(1.0); // closes chunk 1; opening 0002 fails
    deliverSeconds(0.9); // no retry on every buffer: the disk is not asked again before a period has passed
    EXPECT_EQ(countLines(u"[ERROR] Microphone chunk rotation failed: "_s), 1);
    deliverSeconds(0.2); // one period after the failure: 0003 is tried and fails
    deliverSeconds(1.0); // and 0004 one period later opens
    deliverSeconds(0.5);
    recorder.stopCapture();

    ASSERT_EQ(reports().size(), 2U);
    EXPECT_EQ(reports()[0].chunk.index, 1);
    EXPECT_EQ(reports()[1].chunk.index, 4);
    EXPECT_EQ(reports()[1].chunk.filePath, chunks() + u"/mic_chunk_0004.wav"_s);
    EXPECT_EQ(countLines(u"[ERROR] Microphone chunk rotation failed: Could not write the file "_s), 2);
    EXPECT_EQ(files_.file(u"/s/microphone.wav"_s).frames, (47 + 43 + 10 + 47 + 24) * 1024)
        << "the full file went on";
}

TEST_F(MicRecorderTest, ZeroSampleRateNeverRotatesAndMeasuresNothing)
{
    MicRecorder& recorder = make({0, 1}, 1.0);
    recorder.startCapture(chunks());
    for (int i = 0; i < 500; ++i)
        engine_->deliver();
    recorder.stopCapture();
    ASSERT_EQ(reports().size(), 1U);
    EXPECT_EQ(reports()[0].chunk.duration, 0.0);
    EXPECT_EQ(reports()[0].chunk.endTime, reports()[0].chunk.startTime);
    EXPECT_EQ(countLines(u"Microphone recorder stopped: framesWritten=512000, sampleRate=0.0, "
                         "audioDuration=0.0s, wallDuration=0.0s"_s),
              1);
}

TEST_F(MicRecorderTest, FullFileThatCannotBeWrittenEndsTheTrackWithOneLine)
{
    MicRecorder& recorder = make();
    recorder.startCapture(chunks());
    deliverSeconds(3 * 1024 / 48000.0);
    const QDateTime lastGood = clock_.now();
    files_.failWritesTo(u"microphone.wav"_s);
    deliverSeconds(2.0); // a full disk: every later write would fail too
    files_.failWritesTo(QString());
    deliverSeconds(1.0); // nothing more is written, even if space comes back
    recorder.runWatchdogCheck();
    recorder.stopCapture();

    EXPECT_EQ(files_.file(u"/s/microphone.wav"_s).frames, 3 * 1024);
    EXPECT_EQ(countLines(u"[ERROR] Microphone full-file write failed: Could not write the file "
                         "\"/s/microphone.wav\": No space left on device"_s),
              1);
    EXPECT_EQ(countLines(u"stalled"_s), 0) << "an ended track is not a stalled input";
    ASSERT_EQ(reports().size(), 1U) << "the chunk so far is reported when the track ends";
    EXPECT_EQ(reports()[0].chunk.index, 1);
    EXPECT_NEAR(reports()[0].chunk.duration, 3 * 1024 / 48000.0, 1e-9);
    const auto interruption = recorder.interruption();
    ASSERT_TRUE(interruption.has_value());
    EXPECT_EQ(interruption->lastDataAt, lastGood);
    EXPECT_TRUE(interruption->reason.contains(u"No space left on device"_s));
    EXPECT_EQ(files_.openCount(), 0);
}

TEST_F(MicRecorderTest, ChunkWriteFailureClosesTheChunkAndTheNextBeginsAPeriodLater)
{
    MicRecorder& recorder = make({48000, 1}, 1.0);
    recorder.startCapture(chunks());
    deliverSeconds(0.5);
    files_.failWritesTo(u"mic_chunk_0001.wav"_s);
    engine_->deliver();
    files_.failWritesTo(QString());
    deliverSeconds(0.5);
    EXPECT_EQ(reports().size(), 1U) << "the chunk ends with the failure";
    deliverSeconds(0.6);
    recorder.stopCapture();

    EXPECT_EQ(countLines(u"[ERROR] Microphone chunk write failed: "_s), 1);
    ASSERT_EQ(reports().size(), 2U);
    EXPECT_EQ(reports()[1].chunk.index, 2);
    EXPECT_FALSE(recorder.interruption().has_value()) << "the full file never failed";
    EXPECT_EQ(files_.file(u"/s/microphone.wav"_s).frames, (24 + 1 + 24 + 29) * 1024);
}

TEST_F(MicRecorderTest, ChunkStartIsTheCaptureTimeOfItsFirstSample)
{
    MicRecorder& recorder = make({48000, 1}, 1.0);
    const QDateTime opened = clock_.now();
    recorder.startCapture(chunks());
    clock_.advance(1.5); // the input takes its time to deliver the first buffer
    deliverSeconds(2.5);
    recorder.stopCapture();

    ASSERT_GE(reports().size(), 2U);
    const auto& first = reports()[0].chunk;
    const auto& second = reports()[1].chunk;
    EXPECT_NEAR(opened.msecsTo(first.startTime) / 1000.0, 1.5, 0.002)
        << "not the moment the file was opened, but when the audio in it began";
    EXPECT_LE(std::abs(first.endTime.msecsTo(second.startTime)), 2)
        << "consecutive chunks meet: the next begins where the audio of the last ended";
}

TEST_F(MicRecorderTest, StalledInputLogsAndRestartsAtMostEvery30Seconds)
{
    MicRecorder& recorder = make();
    recorder.startCapture(std::nullopt);
    clock_.advance(9.9);
    recorder.runWatchdogCheck();
    EXPECT_EQ(countLines(u"stalled"_s), 0);

    clock_.advance(0.1);
    recorder.runWatchdogCheck();
    EXPECT_EQ(countLines(u"[ERROR] Microphone buffer flow stalled for 10.0s while recording; "
                         "wall=10.0s, audioWritten=0.0s"_s),
              1);
    EXPECT_EQ(engine_->startCount, 2) << "one restart";
    EXPECT_EQ(countLines(u"[INFO] Microphone input engine restarted after buffer stall or route change"_s),
              1);

    for (int i = 0; i < 5; ++i) { // 15 s ... 35 s: still inside the 30 s throttle
        clock_.advance(5);
        recorder.runWatchdogCheck();
    }
    EXPECT_EQ(countLines(u"stalled"_s), 1);
    EXPECT_EQ(engine_->startCount, 2);

    clock_.advance(5); // 40 s: 30 s after the first line
    recorder.runWatchdogCheck();
    EXPECT_EQ(countLines(u"stalled for 40.0s"_s), 1);
    EXPECT_EQ(engine_->startCount, 3);
    recorder.stopCapture();
}

TEST_F(MicRecorderTest, DivergenceAloneIsLoggedWithoutARestart)
{
    MicRecorder& recorder = make();
    recorder.startCapture(std::nullopt);
    clock_.advance(10);
    engine_->deliver(469); // 10.005 s of audio arriving at once, 10 s after the start
    clock_.advance(10);
    engine_->deliver();
    recorder.runWatchdogCheck();
    EXPECT_EQ(countLines(u"[ERROR] Microphone wall/audio duration divergence while recording: "
                         "wall=20.0s, audioWritten=10.0s"_s),
              1);
    EXPECT_EQ(engine_->startCount, 1);
    recorder.stopCapture();
    EXPECT_EQ(
        countLines(u"[ERROR] Microphone full-file wall/audio duration divergence: wall=20.0s, audio=10.0s"_s),
        1);
}

TEST_F(MicRecorderTest, ConfigurationChangeWhileARestartIsQueuedQueuesNoSecond)
{
    MicRecorder& recorder = make();
    recorder.startCapture(std::nullopt);
    ASSERT_TRUE(engine_->hasConfigurationHandler());
    engine_->holdStarts(true);
    engine_->changeConfiguration(); // the restart runs on the watchdog queue and waits in start()
    while (engine_->startCount < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    engine_->changeConfiguration();
    engine_->changeConfiguration();
    engine_->holdStarts(false);
    recorder.runWatchdogCheck(); // drains the queue
    EXPECT_EQ(engine_->startCount, 2);
    EXPECT_EQ(countLines(u"[INFO] Microphone audio configuration changed; checking input engine"_s), 3);

    engine_->changeConfiguration(); // the first restart has finished: a new one is allowed
    recorder.runWatchdogCheck();
    EXPECT_EQ(engine_->startCount, 3);
    recorder.stopCapture();
    EXPECT_FALSE(engine_->hasConfigurationHandler());
}

TEST_F(MicRecorderTest, FailedRestartIsLoggedAndRecordingGoesOn)
{
    MicRecorder& recorder = make();
    recorder.startCapture(chunks());
    engine_->failStarts = true;
    engine_->changeConfiguration();
    recorder.runWatchdogCheck();
    EXPECT_EQ(countLines(u"[ERROR] Microphone input engine restart failed: input device unavailable"_s), 1);
    engine_->deliver(2);
    recorder.stopCapture();
    EXPECT_EQ(files_.file(u"/s/microphone.wav"_s).frames, 2 * 1024);
}

TEST_F(MicRecorderTest, FailedStartsLeaveNothingOpen)
{
    {
        MicRecorder& recorder = make();
        engine_->failStarts = true;
        EXPECT_THROW(recorder.startCapture(chunks()), RecorderError);
        EXPECT_FALSE(engine_->tapInstalled());
        EXPECT_FALSE(engine_->hasConfigurationHandler());
        EXPECT_EQ(files_.openCount(), 0);
    }
    {
        test::TemporaryFolder::writeAll(folder_.file(u"blocker"_s), "a file");
        MicRecorder& recorder = make();
        EXPECT_THROW(recorder.startCapture(folder_.file(u"blocker/chunks"_s)), FileError);
        EXPECT_EQ(files_.openCount(), 0);
        EXPECT_FALSE(engine_->tapInstalled());
    }
    {
        files_.failEveryOpen(true);
        MicRecorder& recorder = make();
        EXPECT_THROW(recorder.startCapture(std::nullopt), FileError);
        EXPECT_FALSE(engine_->tapInstalled());
        files_.failEveryOpen(false);
    }
    recorder_.reset();
    EXPECT_EQ(countLines(u"Microphone recorder stopped"_s), 0) << "no summary for a recording that never ran";
}

TEST_F(MicRecorderTest, ReportsItsStartAndStopInTheLog)
{
    MicRecorder& recorder = make({44100, 2}, 300, u"USB Headset"_s);
    EXPECT_EQ(recorder.deviceName(), u"Default microphone"_s);
    recorder.startCapture(std::nullopt);
    EXPECT_EQ(recorder.deviceName(), u"USB Headset"_s);
    EXPECT_EQ(engine_->tapBufferSize, 1024U);
    EXPECT_EQ(engine_->tapFormat, (AudioInputFormat{44100, 2}));
    deliverSeconds(3, 44100);
    recorder.stopCapture();
    EXPECT_EQ(countLines(u"[INFO] Microphone recorder starting: preferredDeviceRequested=USB Headset, "
                         "actualDevice=system default (AVAudioEngine explicit routing is not implemented), "
                         "sampleRate=44100.0, channels=2, commonFormat=1, interleaved=true"_s),
              1);
    EXPECT_EQ(countLines(u"[INFO] Microphone recorder stopped: framesWritten=133120, sampleRate=44100.0, "
                         "audioDuration=3.0s, wallDuration=3.0s"_s),
              1);
    EXPECT_EQ(countLines(u"divergence"_s), 0);
}

TEST_F(MicRecorderTest, ChunkWhoseWallTimeDivergesFromItsAudioIsLogged)
{
    MicRecorder& recorder = make();
    recorder.startCapture(chunks());
    engine_->deliver(47); // about 1 s of audio over 10 s of wall time
    clock_.advance(10);
    recorder.stopCapture();
    EXPECT_EQ(
        countLines(u"[ERROR] Microphone chunk 1 wall/audio duration divergence: wall=10.0s, audio=1.0s"_s),
        1);
}

TEST_F(MicRecorderTest, LevelIsTheRootMeanSquareOfTheFirstChannel)
{
    MicRecorder& recorder = make({48000, 2});
    std::vector<float> levels;
    recorder.onLevel = [&levels](float level) {
        levels.push_back(level);
    };
    recorder.startCapture(std::nullopt);
    engine_->deliver(1, 1024, 0.25F); // first channel 0.25, second 0.5
    engine_->deliver(1, 0, 0.25F);    // no frames
    recorder.stopCapture();
    ASSERT_EQ(levels.size(), 2U);
    EXPECT_FLOAT_EQ(levels[0], 0.25F);
    EXPECT_EQ(levels[1], 0.0F);
}

TEST(MicRecorderWatchdog, TimerRunsChecksOnItsOwnAfterTheFirstDelay)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    test::FakePcmFiles files;
    auto engine = std::make_unique<test::FakeAudioInputEngine>();
    test::FakeAudioInputEngine& fake = *engine;
    MicRecorder::Timing timing;
    timing.watchdogFirstCheck = std::chrono::milliseconds(40);
    timing.watchdogInterval = std::chrono::milliseconds(10);
    timing.stallThresholdSeconds = 0.02;
    timing.stallLogIntervalSeconds = 0.05;
    MicRecorder recorder(u"/s/microphone.wav"_s, QString(), logger, std::move(engine), files.factory(),
                         systemTime, timing);
    recorder.startCapture(std::nullopt);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fake.startCount < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    recorder.stopCapture();
    EXPECT_GE(fake.startCount, 3) << "stalls detected by the timer restarted the engine";
    const int starts = fake.startCount;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fake.startCount, starts) << "no check runs after stop";
}

} // namespace
} // namespace ebbcast
