#include "shell/QuitCoordinator.h"

#include "core/base/Logger.h"
#include "shell/FakeQuitTarget.h"
#include "shell/StopSignals.h"
#include "support/LogLines.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::countLogLines;
using test::FakeQuitTarget;

// An application whose teardown destroys the coordinator with its other components.
class OwningTarget : public QuitTarget {
public:
    OwningTarget(FakeQuitTarget& components, QuitCoordinator*& coordinator)
        : components_(components)
        , coordinator_(coordinator)
    {}

    bool isRecordingOrTransitioning() const override { return components_.isRecordingOrTransitioning(); }
    QCoro::Task<void> stopForQuit() override { return components_.stopForQuit(); }
    void tearDown() override
    {
        components_.tearDown();
        delete coordinator_;
        coordinator_ = nullptr;
    }

private:
    FakeQuitTarget& components_;
    QuitCoordinator*& coordinator_;
};

class QuitCoordinatorTest : public ::testing::Test {
protected:
    QuitCoordinator::Options options(std::chrono::milliseconds stopLimit = 30s)
    {
        return {stopLimit, [this](int status) {
                    events_.append(u"exit %1"_s.arg(status));
                }};
    }

    bool waitForEvent(const QString& event)
    {
        return QTest::qWaitFor([&] { return events_.contains(event); }, 10000);
    }

    bool waitForLogLine(const QString& text, int count = 1)
    {
        return QTest::qWaitFor([&] { return countLogLines(logger_, text) == count; }, 10000);
    }

    int exits() const
    {
        return static_cast<int>(std::count_if(events_.cbegin(), events_.cend(), [](const QString& event) {
            return event.startsWith(u"exit");
        }));
    }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    QStringList events_;
};

TEST_F(QuitCoordinatorTest, WithNothingRecordingTearsDownAndExitsWithZeroFromTheEventLoop)
{
    FakeQuitTarget target(events_);
    QuitCoordinator coordinator(target, logger_, options());

    coordinator.requestQuit(QuitReason::menu());
    EXPECT_TRUE(coordinator.isQuitting());
    EXPECT_TRUE(events_.isEmpty()) << "nothing happens inside the caller's stack";

    ASSERT_TRUE(waitForEvent(u"exit 0"_s));
    EXPECT_EQ(events_, (QStringList{u"teardown"_s, u"exit 0"_s}));
    EXPECT_EQ(target.stops(), 0);
    EXPECT_EQ(countLogLines(logger_, u"Quit requested: menu"_s), 1);

    coordinator.requestQuit(QuitReason::signal(SIGTERM));
    QCoreApplication::processEvents();
    EXPECT_EQ(events_, (QStringList{u"teardown"_s, u"exit 0"_s})) << "quits once";
    EXPECT_EQ(countLogLines(logger_, u"Quit already in progress (signal SIGTERM)"_s), 1);
}

TEST_F(QuitCoordinatorTest, StopsARecordingOnceWhateverAsksAgainThenTearsDownAndExitsWithZero)
{
    FakeQuitTarget target(events_, FakeQuitTarget::Mode::recording);
    QuitCoordinator coordinator(target, logger_, options());

    coordinator.requestQuit(QuitReason::menu());
    ASSERT_TRUE(waitForEvent(u"stop begun"_s));
    coordinator.requestQuit(QuitReason::signal(SIGTERM));
    QTest::qWait(100);
    EXPECT_EQ(events_, QStringList{u"stop begun"_s}) << "no teardown before the stop has ended";

    target.finishStop();
    ASSERT_TRUE(waitForEvent(u"exit 0"_s));
    EXPECT_EQ(events_, (QStringList{u"stop begun"_s, u"stop ended"_s, u"teardown"_s, u"exit 0"_s}));
    EXPECT_EQ(target.stops(), 1);
    EXPECT_EQ(countLogLines(logger_, u"Quit requested: menu"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"Quit already in progress (signal SIGTERM)"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"Quit requested"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"[ERROR]"_s), 0);
}

TEST_F(QuitCoordinatorTest, AStartUnderWayIsStoppedToo)
{
    FakeQuitTarget target(events_, FakeQuitTarget::Mode::starting);
    QuitCoordinator coordinator(target, logger_, options());

    coordinator.sessionEnding();
    coordinator.requestQuit(QuitReason::systemShutdown()); // before the event loop ran at all
    ASSERT_TRUE(waitForEvent(u"stop begun"_s));
    target.finishStop();
    ASSERT_TRUE(waitForEvent(u"exit 0"_s));
    EXPECT_EQ(events_, (QStringList{u"stop begun"_s, u"stop ended"_s, u"teardown"_s, u"exit 0"_s}));
    EXPECT_EQ(target.stops(), 1);
    EXPECT_EQ(countLogLines(logger_, u"Quit requested: session end"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"Quit already in progress (system shutdown)"_s), 1);
}

TEST_F(QuitCoordinatorTest, AStopThatDoesNotEndInTimeIsGivenUpWithStatusOneAndNoTeardown)
{
    FakeQuitTarget target(events_, FakeQuitTarget::Mode::recording);
    QuitCoordinator coordinator(target, logger_, options(200ms));

    QElapsedTimer elapsed;
    elapsed.start();
    coordinator.requestQuit(QuitReason::signal(SIGINT));
    ASSERT_TRUE(waitForEvent(u"exit 1"_s));
    EXPECT_GE(elapsed.elapsed(), 190);
    EXPECT_EQ(events_, (QStringList{u"stop begun"_s, u"exit 1"_s}));
    EXPECT_EQ(countLogLines(logger_,
                            u"[ERROR] Recording did not stop within 0.2 s; quitting anyway (the next "
                            u"launch repairs the session)"_s),
              1);

    // The stop ends after all (the event loop still ran): it changes nothing.
    target.finishStop();
    QTest::qWait(50);
    EXPECT_EQ(events_, (QStringList{u"stop begun"_s, u"exit 1"_s, u"stop ended"_s})) << "no teardown";
    coordinator.requestQuit(QuitReason::menu());
    QTest::qWait(50);
    EXPECT_EQ(exits(), 1);
    EXPECT_EQ(target.stops(), 1);
}

TEST_F(QuitCoordinatorTest, AFailedStopIsLoggedThenTornDownWithStatusOne)
{
    FakeQuitTarget target(events_, FakeQuitTarget::Mode::recording);
    QuitCoordinator coordinator(target, logger_, options(10s));

    coordinator.requestQuit(QuitReason::menu());
    ASSERT_TRUE(waitForEvent(u"stop begun"_s));
    target.failStop();
    ASSERT_TRUE(waitForEvent(u"exit 1"_s));
    EXPECT_EQ(events_, (QStringList{u"stop begun"_s, u"teardown"_s, u"exit 1"_s}));
    EXPECT_EQ(countLogLines(logger_,
                            u"[ERROR] Recording did not stop cleanly before quitting: the microphone "
                            u"file could not be closed"_s),
              1);
    EXPECT_EQ(countLogLines(logger_, u"did not stop within"_s), 0) << "the stop limit ended with the stop";
}

TEST_F(QuitCoordinatorTest, ATeardownThatDestroysTheCoordinatorStillExits)
{
    FakeQuitTarget components(events_, FakeQuitTarget::Mode::recording);
    QuitCoordinator* coordinator = nullptr;
    OwningTarget target(components, coordinator);
    coordinator = new QuitCoordinator(target, logger_, options());

    coordinator->requestQuit(QuitReason::menu());
    ASSERT_TRUE(waitForEvent(u"stop begun"_s));
    components.finishStop();
    ASSERT_TRUE(waitForEvent(u"exit 0"_s));
    EXPECT_EQ(coordinator, nullptr);
    EXPECT_EQ(events_, (QStringList{u"stop begun"_s, u"stop ended"_s, u"teardown"_s, u"exit 0"_s}));
}

TEST_F(QuitCoordinatorTest, EachCaughtSignalIsOneQuitRequest)
{
    struct sigaction before {};
    ::sigaction(SIGHUP, nullptr, &before);
    {
        FakeQuitTarget target(events_, FakeQuitTarget::Mode::recording);
        QuitCoordinator coordinator(target, logger_, options());
        StopSignals quitSignals(StopSignals::quitSignals());
        quitSignals.install();
        coordinator.quitOn(quitSignals);

        ::kill(::getpid(), SIGHUP);
        ASSERT_TRUE(waitForLogLine(u"Quit requested: signal SIGHUP"_s));
        ASSERT_TRUE(waitForEvent(u"stop begun"_s));
        ::kill(::getpid(), SIGTERM);
        ASSERT_TRUE(waitForLogLine(u"Quit already in progress (signal SIGTERM)"_s));
        ::raise(SIGINT);
        ASSERT_TRUE(waitForLogLine(u"Quit already in progress (signal SIGINT)"_s));
        EXPECT_EQ(quitSignals.received(), SIGHUP);

        target.finishStop();
        ASSERT_TRUE(waitForEvent(u"exit 0"_s));
        EXPECT_EQ(target.stops(), 1);
        EXPECT_EQ(countLogLines(logger_, u"Quit "_s), 3) << "one request per signal";
    }
    struct sigaction after {};
    ::sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler) << "SIGHUP's own handling is back";
}

} // namespace
} // namespace ebbcast
