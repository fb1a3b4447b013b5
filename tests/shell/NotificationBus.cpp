#include "shell/NotificationBus.h"

#include "support/TimingScale.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTest>
#include <QUuid>

#include <signal.h>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

const QString serverName = u"org.freedesktop.Notifications"_s;

// Generous: a cold, loaded machine takes seconds to start python and its D-Bus modules.
int startDeadlineMilliseconds()
{
    return static_cast<int>(20000 * timingScale());
}

} // namespace

PrivateBus::PrivateBus()
{
    const QString configuration = folder_.file(u"bus.conf"_s);
    TemporaryFolder::writeAll(
        configuration, uR"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)"_s.arg(folder_.path())
                           .toUtf8());
    daemon_.setStandardErrorFile(QProcess::nullDevice());
    daemon_.start(u"dbus-daemon"_s,
                  {u"--config-file="_s + configuration, u"--nofork"_s, u"--print-address"_s});
    QDeadlineTimer deadline(startDeadlineMilliseconds());
    while (!daemon_.canReadLine() && !deadline.hasExpired() && daemon_.state() != QProcess::NotRunning)
        daemon_.waitForReadyRead(100);
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    if (address_.isEmpty()) {
        stopProcess(daemon_);
        throw std::runtime_error("the private dbus-daemon did not start");
    }
    connectionName_ = u"ebbcast-test-bus-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!QDBusConnection::connectToBus(address_, connectionName_).isConnected()) {
        QDBusConnection::disconnectFromBus(connectionName_);
        stopProcess(daemon_);
        throw std::runtime_error("no connection to the private dbus-daemon");
    }
}

PrivateBus::~PrivateBus()
{
    QDBusConnection::disconnectFromBus(connectionName_);
    stopProcess(daemon_);
}

StandInService::StandInService(const PrivateBus& bus, const QString& name, const QStringList& arguments,
                               const QString& log)
    : StandInService(bus.connection(), name, arguments, log)
{}

StandInService::StandInService(const QDBusConnection& connection, const QString& name,
                               const QStringList& arguments, const QString& log)
{
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(log);
    process_.start(u"/usr/bin/python3"_s, arguments);
    if (!process_.waitForStarted(startDeadlineMilliseconds()))
        throw std::runtime_error("/usr/bin/python3 did not start");

    QDBusConnectionInterface* busInterface = connection.interface();
    QDeadlineTimer deadline(startDeadlineMilliseconds());
    while (!busInterface->isServiceRegistered(name).value()) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            stopProcess(process_);
            throw std::runtime_error("the stand-in for " + name.toStdString() + " did not take its name: " +
                                     TemporaryFolder::readAll(log).toStdString());
        }
        QTest::qWait(20);
    }
}

StandInService::~StandInService()
{
    stopProcess(process_);
}

QList<QJsonObject> readRecord(const QString& path)
{
    QList<QJsonObject> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        entries.append(QJsonDocument::fromJson(lines[i]).object());
    return entries;
}

FakeNotificationServer::FakeNotificationServer(const PrivateBus& bus, const QStringList& capabilities,
                                               bool hang)
    : record_(folder_.file(u"calls.jsonl"_s))
    , service_(bus, serverName,
               QStringList{QStringLiteral(EBBCAST_FAKE_NOTIFICATION_SERVER), u"--address"_s, bus.address(),
                           u"--record"_s, record_, u"--capabilities"_s, capabilities.join(u',')} +
                   (hang ? QStringList{u"--hang"_s} : QStringList()),
               folder_.file(u"server.log"_s))
{}

FakeNotificationServer::FakeNotificationServer(const QStringList& capabilities)
    : record_(folder_.file(u"calls.jsonl"_s))
    , service_(QDBusConnection::sessionBus(), serverName,
               QStringList{QStringLiteral(EBBCAST_FAKE_NOTIFICATION_SERVER), u"--address"_s,
                           qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), u"--record"_s, record_,
                           u"--capabilities"_s, capabilities.join(u',')},
               folder_.file(u"server.log"_s))
{}

FakeNotificationServer::~FakeNotificationServer() = default;

QList<QJsonObject> FakeNotificationServer::calls() const
{
    return readRecord(record_);
}

QList<QJsonObject> FakeNotificationServer::waitForCalls(qsizetype count) const
{
    // The caller compares the count.
    static_cast<void>(QTest::qWaitFor([&] { return calls().size() >= count; }, startDeadlineMilliseconds()));
    return calls();
}

void stopProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace ebbcast::test
