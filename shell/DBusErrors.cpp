#include "shell/DBusErrors.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

bool meansServiceAbsent(const QDBusError& error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoServer:
    case QDBusError::Disconnected:
        return true;
    default:
        return error.name() == u"org.freedesktop.DBus.Error.NameHasNoOwner"_s;
    }
}

QString describeDBusError(const QDBusError& error)
{
    const QString message = error.message().isEmpty() ? u"no message"_s : error.message();
    return error.name().isEmpty() ? message : u"%1 (%2)"_s.arg(message, error.name());
}

} // namespace ebbcast
