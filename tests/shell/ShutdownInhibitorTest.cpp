#include "shell/ShutdownInhibitor.h"

#include "core/base/Logger.h"
#include "shell/FakeLogind.h"
#include "shell/FakeQuitTarget.h"
#include "shell/NotificationBus.h"
#include "shell/QuitCoordinator.h"
#include "support/LogLines.h"
#include "support/TemporaryFolder.h"

#include <QJsonObject>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::countLogLines;
using test::FakeLogind;
using test::FakeQuitTarget;
using test::PrivateBus;

const QJsonObject firstLockTaken{{u"event"_s, u"inhibit"_s}, {u"what"_s, u"shutdown:sleep"_s},
                                 {u"who"_s, u"Ebbcast"_s},   {u"why"_s, u"Finishing the recording"_s},
                                 {u"mode"_s, u"delay"_s},    {u"lock"_s, 1}};

QJsonObject released(int lock)
{
    return {{u"event"_s, u"released"_s}, {u"lock"_s, lock}};
}

class ShutdownInhibitorTest : public ::testing::Test {
protected:
    static bool waitUntilHolding(const ShutdownInhibitor& inhibitor)
    {
        return QTest::qWaitFor([&] { return inhibitor.isHolding(); }, 20000);
    }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    PrivateBus bus_;
};

TEST_F(ShutdownInhibitorTest, HoldsOneDelayLockWhileRecordingAndClosesItWhenTheRecordingIsComplete)
{
    FakeLogind logind(bus_);
    ShutdownInhibitor inhibitor(bus_.connection(), logger_);
    EXPECT_FALSE(inhibitor.isHolding());

    inhibitor.setRecording(true);
    inhibitor.setRecording(true); // asked for already
    ASSERT_TRUE(waitUntilHolding(inhibitor));
    inhibitor.setRecording(true); // held already
    QTest::qWait(200);
    EXPECT_EQ(logind.events(), QList<QJsonObject>{firstLockTaken});

    inhibitor.setRecording(false);
    EXPECT_FALSE(inhibitor.isHolding());
    EXPECT_EQ(logind.waitForEvents(2), (QList<QJsonObject>{firstLockTaken, released(1)}))
        << "no other copy of the lock stays open";
    EXPECT_EQ(countLogLines(logger_, u"Shutdown delayed while recording"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"Shutdown delay released"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"[ERROR]"_s), 0);
}

TEST_F(ShutdownInhibitorTest, ALockThatArrivesAfterTheRecordingEndedIsReleasedAtOnce)
{
    FakeLogind logind(bus_);
    ShutdownInhibitor inhibitor(bus_.connection(), logger_);

    inhibitor.setRecording(true);
    inhibitor.setRecording(false); // before the answer is in
    EXPECT_EQ(logind.waitForEvents(2), (QList<QJsonObject>{firstLockTaken, released(1)}));
    EXPECT_FALSE(inhibitor.isHolding());

    inhibitor.setRecording(true); // the next recording takes a new one
    ASSERT_TRUE(waitUntilHolding(inhibitor));
    const QList<QJsonObject> events = logind.waitForEvents(3);
    ASSERT_EQ(events.size(), 3);
    EXPECT_EQ(events[2][u"lock"_s].toInt(), 2);
    QTest::qWait(100);
    EXPECT_EQ(logind.events().size(), 3) << "the second lock stays";
}

TEST_F(ShutdownInhibitorTest, AShutdownQuitsAndTheLockIsReleasedOnlyOnceTheStopHasCompleted)
{
    FakeLogind logind(bus_);
    ShutdownInhibitor inhibitor(bus_.connection(), logger_);
    QStringList events;
    FakeQuitTarget application(events, FakeQuitTarget::Mode::recording);
    // As the application does once the stop has completed the session document.
    application.onStopped = [&] {
        inhibitor.setRecording(false);
    };
    QuitCoordinator coordinator(application, logger_, {30s, [&events](int status) {
                                                           events.append(u"exit %1"_s.arg(status));
                                                       }});
    coordinator.quitOn(inhibitor);
    inhibitor.setRecording(true);
    ASSERT_TRUE(waitUntilHolding(inhibitor));

    logind.announceShutdown(false); // a shutdown called off
    QTest::qWait(300);
    EXPECT_FALSE(coordinator.isQuitting());

    logind.announceShutdown(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.contains(u"stop begun"_s); }, 20000));
    QTest::qWait(300);
    EXPECT_TRUE(inhibitor.isHolding());
    EXPECT_EQ(logind.events(), QList<QJsonObject>{firstLockTaken}) << "held while the stop runs";

    application.finishStop();
    EXPECT_EQ(logind.waitForEvents(2), (QList<QJsonObject>{firstLockTaken, released(1)}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.contains(u"exit 0"_s); }, 20000));
    EXPECT_EQ(events, (QStringList{u"stop begun"_s, u"stop ended"_s, u"teardown"_s, u"exit 0"_s}));
    EXPECT_EQ(countLogLines(logger_, u"System shutdown announced"_s), 1);
    EXPECT_EQ(countLogLines(logger_, u"Quit requested: system shutdown"_s), 1);
}

TEST_F(ShutdownInhibitorTest, WithoutLogindOrWithoutABusItIsOneLogLineAndNothingElse)
{
    {
        ShutdownInhibitor inhibitor(bus_.connection(), logger_);
        inhibitor.setRecording(true);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return countLogLines(logger_, u"Shutdown delay unavailable: "_s) == 1; }, 20000));
        inhibitor.setRecording(false);
        inhibitor.setRecording(true);
        QTest::qWait(300);
        EXPECT_FALSE(inhibitor.isHolding());
        inhibitor.setRecording(false);
    }
    {
        const QString name = u"ebbcast-test-no-system-bus"_s;
        QDBusConnection missing = QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, name);
        ASSERT_FALSE(missing.isConnected());
        ShutdownInhibitor inhibitor(missing, logger_);
        inhibitor.setRecording(true);
        inhibitor.setRecording(false);
        inhibitor.setRecording(true);
        QTest::qWait(100);
        EXPECT_FALSE(inhibitor.isHolding());
        QDBusConnection::disconnectFromBus(name);
    }
    EXPECT_EQ(countLogLines(logger_, u"Shutdown delay unavailable: "_s), 2) << "one per inhibitor";
    EXPECT_EQ(countLogLines(logger_, u"[ERROR]"_s), 0);
    logger_.flush();
    EXPECT_EQ(countLogLines(logger_, u"Shutdown"_s), 2) << "nothing else";
}

} // namespace
} // namespace ebbcast
