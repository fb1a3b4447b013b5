#pragma once

#include "core/base/UserNotifier.h"

#include <QDBusConnection>
#include <QObject>

#include <chrono>

class QDBusPendingCallWatcher;

namespace ebbcast {

class Logger;

// Notifications through the desktop's notification server (org.freedesktop.Notifications on the session bus):
// "Ebbcast" as the application, the desktop entry "ebbcast", the category "transfer.complete" or
// "transfer.error", the server's own expiry; the server chooses the ids.
//
// Every call is asynchronous with a time-out, so a server that hangs or is missing never holds up the event
// loop. The server's capabilities are asked for once: when it reads bodies as markup ("body-markup"), the
// body is escaped so that it shows as given; until the answer is there, bodies are escaped as well. The
// summary is never markup. No server or no bus is one log line for the notifier's lifetime (one per process,
// as the application has one), and each notification the server refuses or does not answer in time is one log
// line. Main thread.
class DesktopNotifier final : public QObject, public UserNotifier {
    Q_OBJECT

public:
    // `connection` is normally QDBusConnection::sessionBus(); it may be a connection that failed.
    DesktopNotifier(QDBusConnection connection, Logger& logger,
                    std::chrono::milliseconds callTimeout = std::chrono::seconds(5),
                    QObject* parent = nullptr);
    ~DesktopNotifier() override;

    void showNotification(const QString& title, const QString& body, Kind kind) override;

    // Whether the capability query is settled: answered (bodies follow the answer from then on), or refused
    // or unanswered for good (bodies stay escaped). Signalled by capabilitiesArrived().
    bool capabilitiesKnown() const noexcept { return capabilities_ == Capabilities::known; }

Q_SIGNALS:
    void capabilitiesArrived();

private:
    enum class Capabilities { unknown, asking, known };

    void askForCapabilities();
    void capabilitiesReceived(QDBusPendingCallWatcher* call);
    void notifyFinished(QDBusPendingCallWatcher* call);
    // Logs "Desktop notifications are unavailable: <reason>" the first time only.
    void reportUnavailable(const QString& reason);

    QDBusConnection connection_;
    Logger& logger_;
    int callTimeoutMilliseconds_;
    Capabilities capabilities_ = Capabilities::unknown;
    bool bodyMarkup_ = true;
    bool unavailableReported_ = false;
};

} // namespace ebbcast
