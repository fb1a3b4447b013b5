#include "shell/DesktopNotifier.h"

#include "core/base/Logger.h"
#include "shell/NotificationBus.h"
#include "support/LogLines.h"
#include "support/TemporaryFolder.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::countLogLines;
using test::FakeNotificationServer;
using test::PrivateBus;

const QString unavailable = u"Desktop notifications are unavailable: "_s;
const QString failed = u"Desktop notification failed: "_s;

class DesktopNotifierTest : public ::testing::Test {
protected:
    // Runs the event loop until the notifier has the server's capabilities.
    static void waitForCapabilities(const DesktopNotifier& notifier)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return notifier.capabilitiesKnown(); }, 20000));
    }

    // How long showNotification takes: it must never wait for the bus.
    static std::chrono::milliseconds timeShown(DesktopNotifier& notifier, UserNotifier::Kind kind,
                                               const QString& body = u"No connection"_s)
    {
        QElapsedTimer timer;
        timer.start();
        notifier.showNotification(u"Upload failed"_s, body, kind);
        return std::chrono::milliseconds(timer.elapsed());
    }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    PrivateBus bus_;
};

TEST_F(DesktopNotifierTest, SendsEveryFieldAndHintOfBothKinds)
{
    FakeNotificationServer server(bus_, {u"body"_s, u"actions"_s});
    DesktopNotifier notifier(bus_.connection(), logger_);
    waitForCapabilities(notifier);

    notifier.showNotification(u"Upload complete"_s, u"Session 2026-12-08_14-03-11 is on Google Drive."_s,
                              UserNotifier::Kind::information);
    notifier.showNotification(u"Upload failed"_s, u"Drive refused the file."_s, UserNotifier::Kind::failure);
    const QList<QJsonObject> calls = server.waitForCalls(2);
    ASSERT_EQ(calls.size(), 2);

    const QJsonObject& done = calls[0];
    EXPECT_EQ(done[u"signature"_s].toString(), u"susssasa{sv}i"_s);
    EXPECT_EQ(done[u"app_name"_s].toString(), u"Ebbcast"_s);
    EXPECT_EQ(done[u"replaces_id"_s].toInt(-1), 0) << "the server assigns the ids";
    EXPECT_EQ(done[u"app_icon"_s].toString(u"missing"_s), QString());
    EXPECT_EQ(done[u"summary"_s].toString(), u"Upload complete"_s);
    EXPECT_EQ(done[u"body"_s].toString(), u"Session 2026-12-08_14-03-11 is on Google Drive."_s);
    EXPECT_EQ(done[u"actions"_s].toArray(), QJsonArray());
    EXPECT_EQ(done[u"hints"_s].toObject(), (QJsonObject{{u"desktop-entry"_s, u"com.tavilon.Ebbcast"_s},
                                                        {u"category"_s, u"transfer.complete"_s}}));
    EXPECT_EQ(done[u"hint_types"_s].toObject(),
              (QJsonObject{{u"desktop-entry"_s, u"s"_s}, {u"category"_s, u"s"_s}}));
    EXPECT_EQ(done[u"expire_timeout"_s].toInt(0), -1);

    const QJsonObject& failure = calls[1];
    EXPECT_EQ(failure[u"summary"_s].toString(), u"Upload failed"_s);
    EXPECT_EQ(failure[u"body"_s].toString(), u"Drive refused the file."_s);
    EXPECT_EQ(failure[u"hints"_s].toObject(), (QJsonObject{{u"desktop-entry"_s, u"com.tavilon.Ebbcast"_s},
                                                           {u"category"_s, u"transfer.error"_s}}));

    QTest::qWait(100); // the replies
    EXPECT_EQ(countLogLines(logger_, u"Desktop notification"_s), 0) << "answered calls leave no log line";
}

TEST_F(DesktopNotifierTest, EscapesTheBodyOnlyForAServerThatReadsMarkup)
{
    const QString title = u"Tom & <Jerry>"_s;
    const QString body = u"Folder \"A & B\" <i>isn't</i> 5 > 4"_s;
    {
        FakeNotificationServer server(bus_, {u"body"_s, u"body-markup"_s});
        DesktopNotifier notifier(bus_.connection(), logger_);
        waitForCapabilities(notifier);
        notifier.showNotification(title, body, UserNotifier::Kind::information);
        const QList<QJsonObject> calls = server.waitForCalls(1);
        ASSERT_EQ(calls.size(), 1);
        EXPECT_EQ(calls[0][u"body"_s].toString(),
                  u"Folder &quot;A &amp; B&quot; &lt;i&gt;isn&#39;t&lt;/i&gt; 5 &gt; 4"_s);
        EXPECT_EQ(calls[0][u"summary"_s].toString(), title) << "the summary is never markup";
    }
    {
        FakeNotificationServer server(bus_, {u"body"_s});
        DesktopNotifier notifier(bus_.connection(), logger_);
        waitForCapabilities(notifier);
        notifier.showNotification(title, body, UserNotifier::Kind::information);
        const QList<QJsonObject> calls = server.waitForCalls(1);
        ASSERT_EQ(calls.size(), 1);
        EXPECT_EQ(calls[0][u"body"_s].toString(), body);
        EXPECT_EQ(calls[0][u"summary"_s].toString(), title);
    }
}

TEST_F(DesktopNotifierTest, NoServerOnTheBusIsOneLogLineForAllNotifications)
{
    DesktopNotifier notifier(bus_.connection(), logger_);
    for (int i = 0; i < 3; ++i)
        EXPECT_LT(timeShown(notifier, UserNotifier::Kind::failure), 500ms);
    EXPECT_TRUE(QTest::qWaitFor([&] { return countLogLines(logger_, unavailable) == 1; }, 20000));

    EXPECT_LT(timeShown(notifier, UserNotifier::Kind::information), 500ms);
    QTest::qWait(300);
    EXPECT_EQ(countLogLines(logger_, unavailable), 1);
    EXPECT_EQ(countLogLines(logger_, u"org.freedesktop.DBus.Error.ServiceUnknown"_s), 1) << "with the reason";
    EXPECT_EQ(countLogLines(logger_, u"Desktop notification"_s), 1) << "and nothing else";
}

TEST_F(DesktopNotifierTest, NoBusIsOneLogLineAndReturnsAtOnce)
{
    const QString name = u"ebbcast-test-no-bus"_s;
    const QDBusConnection noBus =
        QDBusConnection::connectToBus(u"unix:path=%1"_s.arg(folder_.file(u"no-socket"_s)), name);
    ASSERT_FALSE(noBus.isConnected());
    {
        DesktopNotifier notifier(noBus, logger_);
        EXPECT_LT(timeShown(notifier, UserNotifier::Kind::information), 500ms);
        EXPECT_LT(timeShown(notifier, UserNotifier::Kind::failure), 500ms);
        QTest::qWait(100);
    }
    QDBusConnection::disconnectFromBus(name);
    EXPECT_EQ(countLogLines(logger_, unavailable), 1);
    EXPECT_EQ(countLogLines(logger_, u"Desktop notification"_s), 1);
}

TEST_F(DesktopNotifierTest, AServerThatNeverAnswersDoesNotHoldUpTheEventLoop)
{
    FakeNotificationServer server(bus_, {u"body"_s}, /*hang=*/true);
    DesktopNotifier notifier(bus_.connection(), logger_, 2s);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(50);

    EXPECT_LT(timeShown(notifier, UserNotifier::Kind::failure, u"Drive & network"_s), 500ms);
    EXPECT_LT(timeShown(notifier, UserNotifier::Kind::failure), 500ms);
    const QList<QJsonObject> calls = server.waitForCalls(2);
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls[0][u"body"_s].toString(), u"Drive &amp; network"_s)
        << "until the server says otherwise, the body is taken as markup";
    EXPECT_TRUE(QTest::qWaitFor([&] { return countLogLines(logger_, failed) == 2; }, 20000))
        << "each unanswered notification is one line once the call times out";
    EXPECT_GE(ticks, 10) << "the timer kept firing while the calls were waiting";
    EXPECT_EQ(countLogLines(logger_, u"org.freedesktop.DBus.Error.NoReply"_s), 3)
        << "the two notifications and the capability query";
    EXPECT_EQ(countLogLines(logger_, unavailable), 0) << "a server that hangs is there";
}

} // namespace
} // namespace ebbcast
