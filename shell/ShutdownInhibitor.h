#pragma once

#include "core/base/FileDescriptor.h"

#include <QDBusConnection>
#include <QObject>

#include <optional>

class QDBusPendingCallWatcher;

namespace ebbcast {

class Logger;

// Keeps a shutdown or suspend from cutting a recording short: while a recording runs it holds a logind
// "delay" inhibitor lock (org.freedesktop.login1.Manager.Inhibit("shutdown:sleep", "Ebbcast", "Finishing the
// recording", "delay") on the system bus), which makes logind wait (up to its InhibitDelayMaxSec) after
// announcing the shutdown. The lock is the file descriptor logind returns, held open here and closed to
// release it.
//
// The application calls setRecording(true) when a recording starts and setRecording(false) once the session
// document is complete, so on a shutdown (PrepareForShutdown(true), signalled as shutdownStarting(), which
// the quit coordinator turns into a quit) the lock is released only after the stop has finished. A suspend is
// delayed the same way but ends nothing: the recording goes on after the resume.
//
// Every call is asynchronous. No system bus or no logind on it is one log line for the inhibitor's lifetime
// and nothing else; a refusal is an error line. Main thread.
class ShutdownInhibitor : public QObject {
    Q_OBJECT

public:
    // `systemBus` is normally QDBusConnection::systemBus(); it may be a connection that failed.
    ShutdownInhibitor(QDBusConnection systemBus, Logger& logger, QObject* parent = nullptr);
    ~ShutdownInhibitor() override;

    ShutdownInhibitor(const ShutdownInhibitor&) = delete;
    ShutdownInhibitor& operator=(const ShutdownInhibitor&) = delete;

    // Takes the lock (when it is not held or asked for already) or releases it. A lock that arrives after
    // setRecording(false) is released at once.
    void setRecording(bool recording);
    bool isHolding() const noexcept { return lock_.has_value(); }

Q_SIGNALS:
    // logind announced a shutdown or reboot (PrepareForShutdown(true)).
    void shutdownStarting();

private Q_SLOTS:
    void prepareForShutdown(bool starting);

private:
    void inhibitFinished(QDBusPendingCallWatcher* call);
    // Logs "Shutdown delay unavailable: <reason>" the first time only.
    void reportUnavailable(const QString& reason);

    QDBusConnection bus_;
    Logger& logger_;
    bool recording_ = false;
    bool asking_ = false;
    bool unavailableReported_ = false;
    std::optional<FileDescriptor> lock_;
};

} // namespace ebbcast
