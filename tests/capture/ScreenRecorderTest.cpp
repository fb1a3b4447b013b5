#include "capture/ScreenRecorder.h"

#include "capture/RecorderError.h"
#include "capture/ScreenCaptureError.h"
#include "core/base/Logger.h"
#include "support/FakeScreenFrameSource.h"
#include "support/FakeVideoMediaWriter.h"
#include "support/LogLines.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

class ScreenRecorderTest : public ::testing::Test {
protected:
    ScreenRecorder& make()
    {
        auto frames = std::make_unique<test::FakeScreenFrameSource>();
        frames_ = frames.get();
        frames_->displayList = displays_;
        recorder_ =
            std::make_unique<ScreenRecorder>(folder_.file(u"screen.mov"_s), displayID_, logger_,
                                             std::move(frames), test::FakeVideoMediaWriter::factory(video_));
        return *recorder_;
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    quint32 displayID_ = 0;
    std::vector<ScreenDisplay> displays_{{11, u"LEFT"_s, 0, 0, 1920, 1080, false},
                                         {22, u"RIGHT"_s, 1920, 0, 2561, 1441, true}};
    test::FakeVideoRecord video_;
    test::FakeScreenFrameSource* frames_ = nullptr;
    std::unique_ptr<ScreenRecorder> recorder_;
};

TEST_F(ScreenRecorderTest, OddDisplaySizesRecordAtTheEvenSizeBelow)
{
    const DisplayMetadata display = test::runTask(make().prepareDisplay());
    EXPECT_EQ(display, (DisplayMetadata{22, 2560, 1440, std::nullopt}));
    EXPECT_EQ(video_.width, 2560);
    EXPECT_EQ(video_.height, 1440);
    EXPECT_EQ(video_.path, folder_.file(u"screen.mov"_s));
}

TEST_F(ScreenRecorderTest, ChoosesTheConfiguredDisplayElseTheMainElseTheFirst)
{
    struct Case {
        quint32 configured;
        std::vector<ScreenDisplay> displays;
        quint32 expected;
    };
    const std::vector<ScreenDisplay> noMain{{11, u"A"_s, 0, 0, 800, 600, false},
                                            {22, u"B"_s, 800, 0, 800, 600, false}};
    const Case cases[] = {
        {11, displays_, 11}, // configured and connected
        {0, displays_, 22},  // 0 is the main display
        {99, displays_, 22}, // a disconnected display falls back to the main one
        {99, noMain, 11},    // without a main display, the first
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configured);
        displayID_ = c.configured;
        displays_ = c.displays;
        EXPECT_EQ(test::runTask(make().prepareDisplay()).id, c.expected);
    }
}

TEST_F(ScreenRecorderTest, NoDisplayOrNoDisplayServerFailsThePreparation)
{
    displays_.clear();
    try {
        test::runTask(make().prepareDisplay());
        FAIL() << "prepared without a display";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.code(), RecorderError::Code::noDisplayAvailable);
        EXPECT_EQ(error.description(), u"No display is available for ScreenCaptureKit capture."_s);
    }
    make();
    frames_->unreachable = true;
    EXPECT_THROW(test::runTask(recorder_->prepareDisplay()), ScreenCaptureError);
    EXPECT_THROW(test::runTask(make().start()), RecorderError) << "start without prepare";
}

TEST_F(ScreenRecorderTest, WriterThatRefusesTheVideoInputFailsThePreparation)
{
    video_.refuseInput = true;
    try {
        test::runTask(make().prepareDisplay());
        FAIL() << "prepared without a video input";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.description(), u"Cannot add screen video input"_s);
    }
}

TEST_F(ScreenRecorderTest, TheMovieStartsAtZeroWithTheFirstFrame)
{
    ScreenRecorder& recorder = make();
    test::runTask(recorder.prepareDisplay());
    test::runTask(recorder.start());
    EXPECT_EQ(frames_->startedWith.id, 22U);
    EXPECT_EQ(frames_->rate, 30);
    frames_->deliverWithoutImage(99.0); // skipped: it starts nothing
    frames_->deliver(1234.5);
    frames_->deliver(1235.5);
    frames_->deliver(1236.25);
    test::runTask(recorder.stop());
    EXPECT_EQ(video_.appendedTimes, (std::vector<double>{0.0, 1.0, 1.75}));
    EXPECT_TRUE(video_.finished);
}

TEST_F(ScreenRecorderTest, SessionWithoutFramesFinishesNothingAndLeavesNoMovie)
{
    ScreenRecorder& recorder = make();
    test::runTask(recorder.prepareDisplay());
    test::TemporaryFolder::writeAll(folder_.file(u"screen.mov"_s), ""); // as a real writer leaves it
    test::runTask(recorder.start());
    test::runTask(recorder.stop());
    EXPECT_TRUE(video_.appendedTimes.empty());
    EXPECT_FALSE(video_.finished);
    EXPECT_FALSE(QFile::exists(folder_.file(u"screen.mov"_s)));
}

TEST_F(ScreenRecorderTest, StopAfterTheStreamStoppedWithAnErrorStillFinishesTheMovie)
{
    ScreenRecorder& recorder = make();
    test::runTask(recorder.prepareDisplay());
    test::runTask(recorder.start());
    frames_->deliver(10.0);
    frames_->reportStopped(u"the X display stopped delivering frames (I/O error)"_s);
    frames_->failStop = true;
    test::runTask(recorder.stop());
    EXPECT_EQ(
        countLines(
            u"[ERROR] ScreenCaptureKit stream stopped with error: the X display stopped delivering frames"_s),
        1);
    EXPECT_EQ(
        countLines(
            u"[ERROR] Failed stopping ScreenCaptureKit stream: The screen capture failed: stream would not stop"_s),
        1);
    EXPECT_TRUE(video_.finished);
}

TEST_F(ScreenRecorderTest, WriterFailuresAreLoggedWithTheirStage)
{
    {
        // The first frame fails (a disk full from the start): the header alone is no movie.
        video_.failAppends = true;
        ScreenRecorder& recorder = make();
        test::runTask(recorder.prepareDisplay());
        test::TemporaryFolder::writeAll(folder_.file(u"screen.mov"_s), "header");
        test::runTask(recorder.start());
        frames_->deliver(1.0);
        test::runTask(recorder.stop());
        EXPECT_EQ(countLines(u"[ERROR] Failed appending screen pixel buffer: encoder gave up"_s), 1);
        EXPECT_EQ(countLines(u"[ERROR] Screen video writer failed before finish: encoder gave up"_s), 1);
        EXPECT_FALSE(video_.finished);
        EXPECT_FALSE(QFile::exists(folder_.file(u"screen.mov"_s)));
        EXPECT_FALSE(recorder.hasRecorded());
    }
    {
        // A later frame fails: the frames before it stay.
        video_.failAppends = false;
        video_.failAppendsAfter = 2;
        ScreenRecorder& recorder = make();
        test::runTask(recorder.prepareDisplay());
        test::TemporaryFolder::writeAll(folder_.file(u"screen.mov"_s), "header and two frames");
        test::runTask(recorder.start());
        frames_->deliver(1.0);
        frames_->deliver(2.0);
        frames_->deliver(3.0);
        test::runTask(recorder.stop());
        EXPECT_EQ(countLines(u"[ERROR] Screen video writer failed before finish: encoder gave up"_s), 2);
        EXPECT_TRUE(recorder.hasRecorded());
        video_.failAppendsAfter = -1;
    }
    {
        video_.failAppends = false;
        video_.failAtFinish = true;
        ScreenRecorder& recorder = make();
        test::runTask(recorder.prepareDisplay());
        test::runTask(recorder.start());
        frames_->deliver(1.0);
        test::runTask(recorder.stop());
        EXPECT_EQ(countLines(u"[ERROR] Screen video writer failed: encoder gave up"_s), 1);
    }
}

TEST_F(ScreenRecorderTest, AtMostFiveFramesWaitWhileTheWriterIsBusy)
{
    ScreenRecorder& recorder = make();
    test::runTask(recorder.prepareDisplay());
    test::runTask(recorder.start());
    {
        const std::lock_guard lock(video_.mutex);
        video_.holdAppends = true;
    }
    frames_->deliver(0.0); // starts the writer, then waits inside append
    video_.waitForHeldAppend();
    for (int i = 1; i <= 20; ++i)
        frames_->deliver(i);
    video_.release();
    test::runTask(recorder.stop());
    EXPECT_EQ(video_.appendedTimes, (std::vector<double>{0, 1, 2, 3, 4, 5})) << "the first and five waiting";
}

} // namespace
} // namespace ebbcast
