#include "shell/DesktopNotifier.h"

#include "core/base/Logger.h"
#include "shell/DBusErrors.h"
#include "shell/NotificationMarkup.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString notificationService = u"org.freedesktop.Notifications"_s;
const QString notificationPath = u"/org/freedesktop/Notifications"_s;
const QString notificationInterface = u"org.freedesktop.Notifications"_s;

QDBusMessage notificationCall(const QString& method)
{
    return QDBusMessage::createMethodCall(notificationService, notificationPath, notificationInterface,
                                          method);
}

int milliseconds(std::chrono::milliseconds timeout)
{
    if (timeout.count() <= 0)
        return 1;
    return timeout.count() > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                             : static_cast<int>(timeout.count());
}

} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection connection, Logger& logger,
                                 std::chrono::milliseconds callTimeout, QObject* parent)
    : QObject(parent)
    , connection_(std::move(connection))
    , logger_(logger)
    , callTimeoutMilliseconds_(milliseconds(callTimeout))
{
    // Asked at once, so that the answer is usually there before the first notification.
    askForCapabilities();
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::showNotification(const QString& title, const QString& body, Kind kind)
{
    if (!connection_.isConnected()) {
        const QString reason = connection_.lastError().isValid() ? describeDBusError(connection_.lastError())
                                                                 : u"no session bus"_s;
        reportUnavailable(reason);
        return;
    }
    askForCapabilities();

    const QVariantMap hints{
        {u"desktop-entry"_s, u"com.tavilon.Ebbcast"_s},
        {u"category"_s, kind == Kind::failure ? u"transfer.error"_s : u"transfer.complete"_s},
    };
    QDBusMessage call = notificationCall(u"Notify"_s);
    call << u"Ebbcast"_s << 0U << QString() << title << (bodyMarkup_ ? escapeNotificationMarkup(body) : body)
         << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call, callTimeoutMilliseconds_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &DesktopNotifier::notifyFinished);
}

void DesktopNotifier::askForCapabilities()
{
    if (capabilities_ != Capabilities::unknown || !connection_.isConnected())
        return;
    capabilities_ = Capabilities::asking;
    auto* watcher = new QDBusPendingCallWatcher(
        connection_.asyncCall(notificationCall(u"GetCapabilities"_s), callTimeoutMilliseconds_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &DesktopNotifier::capabilitiesReceived);
}

void DesktopNotifier::capabilitiesReceived(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    const QDBusPendingReply<QStringList> reply = *call;
    if (reply.isError()) {
        if (meansServiceAbsent(reply.error())) {
            // A server may start later: asked again with the next notification, which reports the absence.
            capabilities_ = Capabilities::unknown;
            return;
        }
        // A server that fails or ignores the question is not asked again; bodies stay escaped.
        logger_.error(
            u"Desktop notification capabilities are unknown: %1"_s.arg(describeDBusError(reply.error())));
        bodyMarkup_ = true;
    } else {
        bodyMarkup_ = reply.value().contains(u"body-markup"_s);
    }
    capabilities_ = Capabilities::known;
    Q_EMIT capabilitiesArrived();
}

void DesktopNotifier::notifyFinished(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    const QDBusPendingReply<uint> reply = *call;
    if (!reply.isError())
        return;
    if (meansServiceAbsent(reply.error()))
        reportUnavailable(describeDBusError(reply.error()));
    else
        logger_.error(u"Desktop notification failed: %1"_s.arg(describeDBusError(reply.error())));
}

void DesktopNotifier::reportUnavailable(const QString& reason)
{
    if (unavailableReported_)
        return;
    unavailableReported_ = true;
    logger_.info(u"Desktop notifications are unavailable: %1"_s.arg(reason));
}

} // namespace ebbcast
