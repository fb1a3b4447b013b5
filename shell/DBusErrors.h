#pragma once

#include <QDBusError>
#include <QString>

namespace ebbcast {

// Whether the error means there is no service to talk to (no bus, nobody owns the name), as opposed to a
// service that failed the call.
bool meansServiceAbsent(const QDBusError& error);

// The error's message and name for a log line ("no message" when it has none).
QString describeDBusError(const QDBusError& error);

} // namespace ebbcast
