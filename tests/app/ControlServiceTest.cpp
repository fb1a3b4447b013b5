// The control interface on a private bus, called from a connection of its own as another process would, and
// "ebbcast ctl" against it: replies that wait for the work, failures as D-Bus errors and exit statuses.

#include "app/ControlService.h"

#include "app/ControlTarget.h"
#include "core/base/EbbcastError.h"
#include "shell/NotificationBus.h"
#include "support/ShellWindowTesting.h"

#include <QCoro/QCoroTimer>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QUuid>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

// The application's side, scripted: a start or stop can be held, a start can fail.
class FakeTarget : public ControlTarget {
public:
    bool holdStart = false;
    std::optional<QString> startFailure;
    QString folder = u"/home/user/Movies/Tavilon/2026-12-09_10-00-00"_s;
    std::optional<double> markerAt;
    QStringList markers;
    QStringList activatedWith;
    QString activatedIn;
    QVariantMap state{{u"state"_s, u"idle"_s}, {u"elapsedSeconds"_s, 0.0}};

    QCoro::Task<QString> start() override
    {
        while (holdStart)
            co_await QCoro::sleepFor(5ms);
        if (startFailure)
            throw EbbcastError(*startFailure);
        co_return QString(folder); // a copy: the member stays for the test to compare
    }
    QCoro::Task<QString> stop() override { co_return QString(); }
    std::optional<double> createMarker(const QString& label) override
    {
        markers.append(label);
        return markerAt;
    }
    QVariantMap status() const override { return state; }
    void activate(const QStringList& arguments, const QString& workingDirectory) override
    {
        activatedWith = arguments;
        activatedIn = workingDirectory;
    }
};

// Collects StateChanged as a listener on the bus would.
class StateListener : public QObject {
    Q_OBJECT
public:
    QList<QVariantMap> received;

public Q_SLOTS:
    void stateChanged(const QVariantMap& state) { received.append(state); }
};

class ControlServiceTest : public ::testing::Test {
protected:
    ControlServiceTest()
        : clientName_(u"control-client-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces))
    {}

    ~ControlServiceTest() override { QDBusConnection::disconnectFromBus(clientName_); }

    QDBusConnection client() { return QDBusConnection::connectToBus(bus_.address(), clientName_); }

    // Calls a method from the client's connection and waits (30 s at most) for its reply.
    QDBusMessage call(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            ControlService::serviceName, ControlService::objectPath, ControlService::interfaceName, method);
        message.setArguments(arguments);
        QDBusPendingCallWatcher watcher(client().asyncCall(message, 30000));
        EXPECT_TRUE(test::waitUntil([&] { return watcher.isFinished(); }, 30000)) << method.toStdString();
        return watcher.reply();
    }

    struct Outcome {
        int exitCode = -1;
        QString out;
        QString err;
    };
    // Runs "ebbcast ctl ARGUMENTS" against the private bus, serving the calls meanwhile.
    Outcome ctl(const QStringList& arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus_.address());
        process.setProcessEnvironment(environment);
        process.start(QString::fromUtf8(EBBCAST_EXECUTABLE), QStringList{u"ctl"_s} + arguments);
        EXPECT_TRUE(test::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    test::PrivateBus bus_;
    FakeTarget target_;
    QString clientName_;
};

TEST_F(ControlServiceTest, RepliesComeWhenTheWorkHasEndedAndFailuresAreErrorsWithTheirReason)
{
    ControlService service(target_);
    ASSERT_EQ(service.publish(bus_.connection()), ControlService::Publication::published);

    // A start answers once it has ended, not when it was asked for.
    target_.holdStart = true;
    QDBusMessage start = QDBusMessage::createMethodCall(
        ControlService::serviceName, ControlService::objectPath, ControlService::interfaceName, u"Start"_s);
    QDBusPendingCallWatcher starting(client().asyncCall(start, 30000));
    QTest::qWait(200);
    EXPECT_FALSE(starting.isFinished());
    target_.holdStart = false;
    ASSERT_TRUE(test::waitUntil([&] { return starting.isFinished(); }, 30000));
    ASSERT_EQ(starting.reply().type(), QDBusMessage::ReplyMessage)
        << starting.reply().errorMessage().toStdString();
    EXPECT_EQ(starting.reply().arguments().value(0).toString(), target_.folder);

    target_.startFailure = u"No microphone was found."_s;
    const QDBusMessage failed = call(u"Start"_s);
    EXPECT_EQ(failed.errorName(), ControlService::failedError);
    EXPECT_EQ(failed.errorMessage(), u"No microphone was found."_s);

    EXPECT_EQ(call(u"Stop"_s).arguments().value(0).toString(), QString())
        << "nothing recorded: done, no folder";

    const QDBusMessage idleMarker = call(u"CreateMarker"_s, {u"Decision"_s});
    EXPECT_EQ(idleMarker.errorName(), ControlService::notRecordingError);
    target_.markerAt = 12.5;
    EXPECT_EQ(call(u"CreateMarker"_s, {u"Decision"_s}).arguments().value(0).toDouble(), 12.5);
    EXPECT_EQ(target_.markers, (QStringList{u"Decision"_s, u"Decision"_s}));

    const QDBusMessage status = call(u"Status"_s);
    ASSERT_EQ(status.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(qdbus_cast<QVariantMap>(status.arguments().value(0)), target_.state);

    EXPECT_EQ(call(u"Activate"_s, {QStringList{u"--headless"_s}, u"/tmp"_s}).type(),
              QDBusMessage::ReplyMessage);
    EXPECT_EQ(target_.activatedWith, QStringList{u"--headless"_s});
    EXPECT_EQ(target_.activatedIn, u"/tmp"_s);

    // Listeners hear each change with the whole state.
    StateListener listener;
    ASSERT_TRUE(client().connect(ControlService::serviceName, ControlService::objectPath,
                                 ControlService::interfaceName, u"StateChanged"_s, &listener,
                                 SLOT(stateChanged(QVariantMap))));
    target_.state[u"state"_s] = u"recording"_s;
    service.announceStateChange();
    ASSERT_TRUE(test::waitUntil([&] { return !listener.received.isEmpty(); }, 30000));
    EXPECT_EQ(listener.received.constFirst().value(u"state"_s).toString(), u"recording"_s);
}

TEST_F(ControlServiceTest, OneOwnerOfTheNameAndItIsFreedWhenWithdrawn)
{
    ControlService first(target_);
    ASSERT_EQ(first.publish(bus_.connection()), ControlService::Publication::published);
    FakeTarget other;
    ControlService second(other);
    EXPECT_EQ(second.publish(client()), ControlService::Publication::nameTaken);

    first.withdraw();
    EXPECT_FALSE(client().interface()->isServiceRegistered(ControlService::serviceName).value());
    EXPECT_EQ(second.publish(client()), ControlService::Publication::published);

    QDBusConnection nowhere = QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"nowhere"_s);
    EXPECT_EQ(ControlService(target_).publish(nowhere), ControlService::Publication::unavailable);
    QDBusConnection::disconnectFromBus(u"nowhere"_s);
}

TEST_F(ControlServiceTest, CtlPrintsWhatTheApplicationAnswersAndExitsByTheOutcome)
{
    const Outcome notRunning = ctl({u"status"_s});
    EXPECT_EQ(notRunning.exitCode, 3);
    EXPECT_EQ(notRunning.err, u"ebbcast: Ebbcast is not running.\n"_s);

    ControlService service(target_);
    ASSERT_EQ(service.publish(bus_.connection()), ControlService::Publication::published);

    const Outcome started = ctl({u"start"_s});
    EXPECT_EQ(started.exitCode, 0) << started.err.toStdString();
    EXPECT_EQ(started.out, target_.folder + u'\n');

    target_.startFailure = u"No microphone was found."_s;
    const Outcome failed = ctl({u"start"_s});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.out, QString());
    EXPECT_EQ(failed.err, u"ebbcast: No microphone was found.\n"_s);

    const Outcome idleMarker = ctl({u"marker"_s});
    EXPECT_EQ(idleMarker.exitCode, 1);
    EXPECT_EQ(idleMarker.err, u"ebbcast: Ebbcast is not recording.\n"_s);
    target_.markerAt = 75.25;
    const Outcome marker = ctl({u"marker"_s, u"Budget agreed"_s});
    EXPECT_EQ(marker.exitCode, 0) << marker.err.toStdString();
    EXPECT_EQ(marker.out, u"75.25\n"_s);
    EXPECT_EQ(target_.markers, (QStringList{u"Marker"_s, u"Budget agreed"_s}));

    target_.state = {{u"state"_s, u"recording"_s},
                     {u"sessionFolder"_s, target_.folder},
                     {u"elapsedSeconds"_s, 75.5},
                     {u"uploadStatus"_s, u"Waiting\u001b[2J"_s}};
    const Outcome text = ctl({u"status"_s});
    EXPECT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_EQ(text.out, u"state: recording\nsessionFolder: "_s + target_.folder +
                            u"\nelapsedSeconds: 75.5\nuploadStatus: Waiting\\x1b[2J\n"_s)
        << "a control character in a value never reaches the terminal";
    const Outcome json = ctl({u"status"_s, u"--json"_s});
    EXPECT_EQ(json.exitCode, 0) << json.err.toStdString();
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(object.value(u"elapsedSeconds"_s).toDouble(), 75.5);
    EXPECT_EQ(object.value(u"sessionFolder"_s).toString(), target_.folder);

    for (const QStringList& wrong :
         {QStringList{}, QStringList{u"pause"_s}, QStringList{u"start"_s, u"now"_s},
          QStringList{u"marker"_s, u"a"_s, u"b"_s}, QStringList{u"start"_s, u"--json"_s}}) {
        const Outcome usage = ctl(wrong);
        EXPECT_EQ(usage.exitCode, 2) << wrong.join(u' ').toStdString();
        EXPECT_TRUE(usage.err.startsWith(u"ebbcast: "_s)) << usage.err.toStdString();
    }
}

} // namespace
} // namespace ebbcast

#include "ControlServiceTest.moc"
