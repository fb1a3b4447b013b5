#include "session/ScreenSaverInhibitor.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QDBusInterface screenSaver()
{
    return QDBusInterface(u"org.freedesktop.ScreenSaver"_s, u"/org/freedesktop/ScreenSaver"_s,
                          u"org.freedesktop.ScreenSaver"_s, QDBusConnection::sessionBus());
}

} // namespace

ScreenSaverInhibitor::~ScreenSaverInhibitor()
{
    end();
}

void ScreenSaverInhibitor::begin(const QString& reason)
{
    end();
    if (!QDBusConnection::sessionBus().isConnected())
        return;
    QDBusInterface service = screenSaver();
    if (!service.isValid())
        return;
    const QDBusReply<unsigned int> reply = service.call(u"Inhibit"_s, u"Ebbcast"_s, reason);
    if (reply.isValid())
        cookie_ = reply.value();
}

void ScreenSaverInhibitor::end()
{
    if (!cookie_)
        return;
    QDBusInterface service = screenSaver();
    if (service.isValid())
        service.call(u"UnInhibit"_s, *cookie_);
    cookie_.reset();
}

} // namespace ebbcast
