#pragma once

#include "support/TemporaryFolder.h"

#include <QDBusConnection>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>

namespace ebbcast::test {

// A message bus of the test's own (dbus-daemon with a minimal session configuration and no service
// activation), so that no other program on the suite's session bus, and no other test, owns the notification
// server's name. Throws std::runtime_error when it does not come up.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const QString& address() const { return address_; }
    QDBusConnection connection() const { return QDBusConnection(connectionName_); }

private:
    TemporaryFolder folder_;
    QProcess daemon_;
    QString address_;
    QString connectionName_;
};

// A stand-in service: a /usr/bin/python3 script (its path first in `arguments`) that owns `name` on a private
// bus once constructed; stopped with SIGTERM on destruction. Its standard error goes to `log`, which a failed
// start reports. Throws std::runtime_error when the name is not taken within 20 s.
class StandInService {
public:
    StandInService(const PrivateBus& bus, const QString& name, const QStringList& arguments,
                   const QString& log);
    // The same on the bus `connection` is connected to.
    StandInService(const QDBusConnection& connection, const QString& name, const QStringList& arguments,
                   const QString& log);
    ~StandInService();

    StandInService(const StandInService&) = delete;
    StandInService& operator=(const StandInService&) = delete;

private:
    QProcess process_;
};

// The JSON lines of a stand-in's record file so far; a line still being written is left for the next look.
QList<QJsonObject> readRecord(const QString& path);

// tests/shell/FakeNotificationServer.py on a private bus: owns org.freedesktop.Notifications once
// constructed, records each Notify call, answers GetCapabilities with `capabilities`, or never answers
// anything (`hang`).
class FakeNotificationServer {
public:
    FakeNotificationServer(const PrivateBus& bus, const QStringList& capabilities, bool hang = false);
    // On the session bus of the process (for a test whose programs need that bus's other services too).
    explicit FakeNotificationServer(const QStringList& capabilities);
    ~FakeNotificationServer();

    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

    // The Notify calls so far, oldest first.
    QList<QJsonObject> calls() const;
    // Runs the event loop until `count` calls are recorded (or 20 s pass) and returns them.
    QList<QJsonObject> waitForCalls(qsizetype count) const;

private:
    TemporaryFolder folder_;
    QString record_;
    StandInService service_;
};

// Ends a process the test started: SIGTERM, then SIGKILL when it has not ended 5 s later.
void stopProcess(QProcess& process);

} // namespace ebbcast::test
