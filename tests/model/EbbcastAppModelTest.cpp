#include "model/EbbcastAppModel.h"

#include "support/ManualClock.h"
#include "support/ManualRetryTimer.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::ManualClock;
using test::ManualRetryTimer;

// A model on a manual wall clock, a manual monotonic clock and a ticker whose ticks fire when the test says.
class EbbcastAppModelTest : public ::testing::Test {
protected:
    EbbcastAppModel::Clocks clocks()
    {
        return {wall_.wallClock(), [this] { return monotonic_; }, &ticker_};
    }

    // Moves the wall clock and the monotonic clock on together; ticks fire only on fireNext().
    void advance(double seconds)
    {
        wall_.advance(seconds);
        monotonic_ += seconds;
    }

    ManualClock wall_;
    double monotonic_ = 5000.25;
    ManualRetryTimer ticker_;
    EbbcastAppModel model_{QUrl(u"https://drive.google.com"_s), clocks()};
};

TEST_F(EbbcastAppModelTest, AFreshModelShowsItsInitialTexts)
{
    EXPECT_EQ(model_.state(), EbbcastRunState::idle);
    EXPECT_EQ(model_.sessionStartDate(), std::nullopt);
    EXPECT_EQ(model_.elapsedNow(), wall_.now());
    EXPECT_EQ(model_.elapsedText(), u"00:00:00"_s);
    EXPECT_EQ(model_.currentSessionFolder(), std::nullopt);
    EXPECT_EQ(model_.lastSessionFolder(), std::nullopt);
    EXPECT_EQ(model_.micLevel(), 0);
    EXPECT_EQ(model_.systemLevel(), 0);
    EXPECT_FALSE(model_.recordingIndicatorsHidden());
    EXPECT_FALSE(model_.googleConnected());
    EXPECT_EQ(model_.uploadQueueCount(), 0);
    EXPECT_EQ(model_.transcriptionQueueCount(), 0);
    EXPECT_EQ(model_.statusMessage(), u"Ready"_s);
    EXPECT_EQ(model_.lastUploadStatus(), u"No uploads yet"_s);
    EXPECT_EQ(model_.lastUploadedDriveFolderID(), std::nullopt);
    EXPECT_EQ(model_.lastUploadedDriveFolderURL(), std::nullopt);
    EXPECT_EQ(model_.driveDeliveryDetail(), u"No Drive delivery yet"_s);
    EXPECT_EQ(model_.driveUploadedFileCount(), 0);
    EXPECT_FALSE(model_.driveDeliveryIsProcessing());
    EXPECT_EQ(model_.transcriptStatus(), u"No final transcript yet"_s);
    EXPECT_EQ(model_.transcriptDetail(),
              u"Final transcript is created after all session chunks finish processing."_s);
    EXPECT_EQ(model_.lastTranscriptURL(), std::nullopt);
    EXPECT_EQ(model_.lastTranscriptDriveFolderID(), std::nullopt);
    EXPECT_EQ(model_.lastTranscriptDriveFolderURL(), std::nullopt);
    // Nothing is timed, so no timer runs.
    EXPECT_EQ(ticker_.pendingCount(), 0u);
}

TEST_F(EbbcastAppModelTest, PropertiesShowAbsentValuesAsEmptyOrInvalid)
{
    EXPECT_EQ(model_.property("state").value<EbbcastRunState>(), EbbcastRunState::idle);
    EXPECT_FALSE(model_.property("sessionStartDate").toDateTime().isValid());
    EXPECT_EQ(model_.property("lastUploadedDriveFolderURL").toString(), QString());
    EXPECT_EQ(model_.property("elapsedText").toString(), u"00:00:00"_s);

    EXPECT_TRUE(model_.setProperty("state", QVariant::fromValue(EbbcastRunState::wrapUp)));
    EXPECT_EQ(model_.state(), EbbcastRunState::wrapUp);
    model_.setLastUploadedDriveFolderID(u"abc"_s);
    EXPECT_EQ(model_.property("lastUploadedDriveFolderURL").toString(),
              u"https://drive.google.com/drive/folders/abc"_s);
}

TEST_F(EbbcastAppModelTest, ElapsedTextCountsWholeSecondsWithHoursUnbounded)
{
    const QDateTime start = wall_.now();
    const struct {
        qint64 milliseconds;
        QString text;
    } cases[] = {
        {0, u"00:00:00"_s},         {999, u"00:00:00"_s},
        {3'725'900, u"01:02:05"_s}, {100LL * 3600 * 1000, u"100:00:00"_s},
        {-5'000, u"00:00:00"_s}, // a start after "now" never shows a negative time
    };
    for (const auto& entry : cases)
        EXPECT_EQ(EbbcastAppModel::elapsedText(start, start.addMSecs(entry.milliseconds)), entry.text)
            << entry.milliseconds;
    EXPECT_EQ(EbbcastAppModel::elapsedText(std::nullopt, start.addSecs(90)), u"00:00:00"_s);

    model_.setSessionStartDate(start);
    model_.setElapsedNow(start.addMSecs(3'725'900));
    EXPECT_EQ(model_.elapsedText(), u"01:02:05"_s);
}

TEST_F(EbbcastAppModelTest, RecorderLevelsAreScaledByTwelveAndClamped)
{
    const struct {
        double level;
        double meter;
    } cases[] = {
        {0.05, 0.6}, {1.0 / 12.0, 1.0}, {0.5, 1.0},
        {0, 0},      {-0.2, 0},         {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& entry : cases) {
        model_.setMicLevelFromRecorder(entry.level);
        model_.setSystemLevelFromRecorder(entry.level);
        EXPECT_DOUBLE_EQ(model_.micLevel(), entry.meter) << entry.level;
        EXPECT_DOUBLE_EQ(model_.systemLevel(), entry.meter) << entry.level;
    }
}

TEST_F(EbbcastAppModelTest, DriveFolderLinksEncodeTheIdAndKeepAnEmptyIdApartFromNone)
{
    QSignalSpy uploadedLink(&model_, &EbbcastAppModel::lastUploadedDriveFolderURLChanged);
    QSignalSpy transcriptLink(&model_, &EbbcastAppModel::lastTranscriptDriveFolderURLChanged);

    model_.setLastUploadedDriveFolderID(u""_s);
    EXPECT_EQ(model_.lastUploadedDriveFolderURL(), u"https://drive.google.com/drive/folders/"_s);
    model_.setLastUploadedDriveFolderID(u"a/b?c#d e"_s);
    EXPECT_EQ(model_.lastUploadedDriveFolderURL(),
              u"https://drive.google.com/drive/folders/a%2Fb%3Fc%23d%20e"_s);
    model_.setLastUploadedDriveFolderID(std::nullopt);
    EXPECT_EQ(model_.lastUploadedDriveFolderURL(), std::nullopt);
    EXPECT_EQ(uploadedLink.count(), 3);

    model_.setLastTranscriptDriveFolderID(u"1AbC-_x"_s);
    EXPECT_EQ(model_.lastTranscriptDriveFolderURL(), u"https://drive.google.com/drive/folders/1AbC-_x"_s);
    model_.setLastTranscriptDriveFolderID(u"1AbC-_x"_s);
    EXPECT_EQ(transcriptLink.count(), 1);

    // The host is the one the model was given, trailing "/" or not.
    EbbcastAppModel staging(QUrl(u"http://127.0.0.1:9/web/"_s), clocks());
    staging.setLastTranscriptDriveFolderID(u"f"_s);
    EXPECT_EQ(staging.lastTranscriptDriveFolderURL(), u"http://127.0.0.1:9/web/drive/folders/f"_s);
}

TEST_F(EbbcastAppModelTest, SettersNotifyOncePerRealChange)
{
    QSignalSpy state(&model_, &EbbcastAppModel::stateChanged);
    QSignalSpy message(&model_, &EbbcastAppModel::statusMessageChanged);
    QSignalSpy folder(&model_, &EbbcastAppModel::lastSessionFolderChanged);
    QSignalSpy level(&model_, &EbbcastAppModel::micLevelChanged);
    QSignalSpy count(&model_, &EbbcastAppModel::driveUploadedFileCountChanged);
    QSignalSpy start(&model_, &EbbcastAppModel::sessionStartDateChanged);
    QSignalSpy text(&model_, &EbbcastAppModel::elapsedTextChanged);
    QSignalSpy folderID(&model_, &EbbcastAppModel::lastUploadedDriveFolderIDChanged);

    model_.setState(EbbcastRunState::idle);
    model_.setState(EbbcastRunState::recording);
    model_.setState(EbbcastRunState::recording);
    model_.setStatusMessage(u"Ready"_s);
    model_.setStatusMessage(u"Recording"_s);
    model_.setStatusMessage(u"Recording"_s);
    model_.setLastSessionFolder(u""_s); // an empty path is a value, not absence
    model_.setLastSessionFolder(u""_s);
    model_.setLastSessionFolder(std::nullopt);
    model_.setMicLevelFromRecorder(0.5);
    model_.setMicLevelFromRecorder(0.9); // both are a full meter
    model_.setDriveUploadedFileCount(0);
    model_.setDriveUploadedFileCount(12);
    model_.setLastUploadedDriveFolderID(u""_s);
    model_.setLastUploadedDriveFolderID(u""_s);

    EXPECT_EQ(state.count(), 1);
    EXPECT_EQ(message.count(), 1);
    EXPECT_EQ(folder.count(), 2);
    EXPECT_EQ(level.count(), 1);
    EXPECT_EQ(count.count(), 1);
    EXPECT_EQ(folderID.count(), 1);

    // The elapsed text notifies when what it shows moves, not for every change of its inputs.
    const QDateTime now = model_.elapsedNow();
    model_.setSessionStartDate(now);
    EXPECT_EQ(start.count(), 1);
    EXPECT_EQ(text.count(), 0);
    model_.setElapsedNow(now.addMSecs(400));
    EXPECT_EQ(text.count(), 0);
    model_.setElapsedNow(now.addMSecs(1000));
    EXPECT_EQ(text.count(), 1);
    model_.setSessionStartDate(std::nullopt);
    EXPECT_EQ(start.count(), 2);
    EXPECT_EQ(text.count(), 2);
}

TEST_F(EbbcastAppModelTest, TicksLandOnWholeSecondsAfterTheStart)
{
    const QDateTime start = wall_.now();
    model_.startElapsedTimer();
    EXPECT_EQ(model_.sessionStartDate(), start);
    ASSERT_EQ(ticker_.requestedDelays(), std::vector{1000ms});

    QSignalSpy text(&model_, &EbbcastAppModel::elapsedTextChanged);
    for (int second = 1; second <= 3; ++second) {
        advance(1.0);
        ASSERT_TRUE(ticker_.fireNext());
    }
    EXPECT_EQ(model_.elapsedText(), u"00:00:03"_s);
    EXPECT_EQ(model_.elapsedNow(), start.addSecs(3));
    EXPECT_EQ(text.count(), 3);
    EXPECT_EQ(ticker_.pendingCount(), 1u);
}

TEST_F(EbbcastAppModelTest, AStartInThePastCountsFromThatDate)
{
    const QDateTime start = wall_.now().addMSecs(-61'700);
    model_.startElapsedTimer(start);
    EXPECT_EQ(model_.elapsedText(), u"00:01:01"_s);
    // The next tick is the session's next whole second, 0.3 s away.
    EXPECT_EQ(ticker_.requestedDelays().back(), 300ms);
    advance(0.3);
    ticker_.fireNext();
    EXPECT_EQ(model_.elapsedText(), u"00:01:02"_s);
}

TEST_F(EbbcastAppModelTest, ALateTickNeitherSkipsNorRepeatsASecond)
{
    model_.startElapsedTimer();
    std::vector<QString> shown;
    QObject::connect(&model_, &EbbcastAppModel::elapsedTextChanged,
                     [&] { shown.push_back(model_.elapsedText()); });

    advance(1.4); // the first tick fires 0.4 s late
    ticker_.fireNext();
    EXPECT_EQ(ticker_.requestedDelays().back(), 600ms)
        << "aimed at second 2, not one period after the late tick";
    advance(0.6);
    ticker_.fireNext();
    advance(2.5); // the event loop was busy: second 3 is gone, second 4 is what is shown
    ticker_.fireNext();
    EXPECT_EQ(ticker_.requestedDelays().back(), 500ms);
    advance(0.5);
    ticker_.fireNext();

    EXPECT_EQ(shown, (std::vector{u"00:00:01"_s, u"00:00:02"_s, u"00:00:04"_s, u"00:00:05"_s}));
}

TEST_F(EbbcastAppModelTest, AnEarlyTickWaitsForTheRestOfItsSecond)
{
    model_.startElapsedTimer();
    advance(0.998);
    ticker_.fireNext();
    EXPECT_EQ(model_.elapsedText(), u"00:00:00"_s);
    EXPECT_EQ(ticker_.requestedDelays().back(), 2ms);
    advance(0.002);
    ticker_.fireNext();
    EXPECT_EQ(model_.elapsedText(), u"00:00:01"_s);
}

TEST_F(EbbcastAppModelTest, AWallClockStepLeavesTheElapsedTimeAlone)
{
    const QDateTime start = wall_.now();
    model_.startElapsedTimer();
    advance(2.0);
    ticker_.fireNext();
    advance(1.0);
    ticker_.fireNext();

    wall_.advance(-3600); // the system clock is set back an hour
    advance(1.0);
    ticker_.fireNext();
    EXPECT_EQ(model_.elapsedText(), u"00:00:04"_s);
    EXPECT_EQ(model_.elapsedNow(), start.addSecs(4));

    wall_.advance(7200); // and forward two
    advance(0.5);
    model_.stopElapsedTimer(false);
    EXPECT_EQ(model_.elapsedText(), u"00:00:04"_s);
}

TEST_F(EbbcastAppModelTest, StoppingDropsTheTimerAndResetClearsTheStart)
{
    model_.startElapsedTimer();
    advance(2.0);
    ticker_.fireNext();
    advance(0.7);

    model_.stopElapsedTimer();
    EXPECT_EQ(ticker_.pendingCount(), 0u);
    EXPECT_FALSE(model_.isElapsedTimerRunning());
    EXPECT_EQ(model_.sessionStartDate(), std::nullopt);
    EXPECT_EQ(model_.elapsedNow(), wall_.now());
    EXPECT_EQ(model_.elapsedText(), u"00:00:00"_s);

    // Stopping with nothing timed takes the wall clock's now.
    wall_.advance(10);
    model_.stopElapsedTimer();
    EXPECT_EQ(model_.elapsedNow(), wall_.now());
}

TEST_F(EbbcastAppModelTest, StoppingWithoutResetFreezesTheText)
{
    const QDateTime start = wall_.now();
    model_.startElapsedTimer();
    advance(65.0);
    ticker_.fireNext();
    advance(0.9);

    model_.stopElapsedTimer(false);
    EXPECT_EQ(ticker_.pendingCount(), 0u);
    EXPECT_EQ(model_.sessionStartDate(), start);
    EXPECT_EQ(model_.elapsedText(), u"00:01:05"_s);

    advance(30);
    EXPECT_FALSE(ticker_.fireNext());
    EXPECT_EQ(model_.elapsedText(), u"00:01:05"_s);
}

TEST_F(EbbcastAppModelTest, ASecondStartReplacesTheFirstTimer)
{
    model_.startElapsedTimer();
    advance(10.0);
    ticker_.fireNext();
    const QDateTime secondStart = wall_.now();
    model_.startElapsedTimer(secondStart);

    EXPECT_EQ(ticker_.pendingCount(), 1u);
    EXPECT_EQ(ticker_.cancelledCount(), 1);
    EXPECT_EQ(model_.sessionStartDate(), secondStart);
    EXPECT_EQ(model_.elapsedText(), u"00:00:00"_s);
    advance(1.0);
    ticker_.fireNext();
    EXPECT_EQ(model_.elapsedText(), u"00:00:01"_s);
    EXPECT_EQ(ticker_.pendingCount(), 1u);
}

TEST_F(EbbcastAppModelTest, ClearingTheStartByHandEndsTheTicking)
{
    model_.startElapsedTimer();
    model_.setSessionStartDate(std::nullopt);
    advance(1.0);
    ticker_.fireNext();
    EXPECT_EQ(ticker_.pendingCount(), 0u);
    EXPECT_FALSE(model_.isElapsedTimerRunning());
    EXPECT_EQ(model_.elapsedText(), u"00:00:00"_s);
}

TEST_F(EbbcastAppModelTest, DestroyingTheModelCancelsItsTick)
{
    {
        EbbcastAppModel timed(QUrl(u"https://drive.google.com"_s), clocks());
        timed.startElapsedTimer();
        EXPECT_EQ(ticker_.pendingCount(), 1u);
    }
    EXPECT_EQ(ticker_.pendingCount(), 0u);
}

TEST(EbbcastAppModel, TicksOnTheEventLoopWithTheSystemClocks)
{
    EbbcastAppModel model(QUrl(u"https://drive.google.com"_s));
    model.startElapsedTimer(QDateTime::currentDateTimeUtc().addMSecs(-900));
    QSignalSpy text(&model, &EbbcastAppModel::elapsedTextChanged);
    ASSERT_TRUE(text.wait(2000));
    EXPECT_EQ(model.elapsedText(), u"00:00:01"_s);
    model.stopElapsedTimer(false);
    EXPECT_FALSE(text.wait(1200)) << "no tick after the stop";
}

} // namespace
} // namespace ebbcast
