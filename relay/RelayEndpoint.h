#pragma once

#include <QString>
#include <QUrl>

class QProcessEnvironment;

namespace ebbcast {

class Logger;

// Where the relay is reached: EBBCAST_RELAY_URL from the environment, else the value compiled in with the
// CMake option of that name. Empty means the relay is not configured and nothing is sent. The address must
// be https, or http on a loopback host (127.0.0.0/8, ::1, localhost), with a host and without user
// information or fragment; any other address is refused and nothing is sent either.
struct RelayEndpoint {
    enum class Status { configured, notConfigured, refused };

    Status status = Status::notConfigured;
    QUrl url;        // empty unless configured
    QString logLine; // what to log about the outcome (info when not configured, error when refused)

    static RelayEndpoint resolve(const QProcessEnvironment& environment, const QString& compiledURL);
    // The endpoint of this process (system environment and build value); its log line is written once per
    // process however often this is called.
    static RelayEndpoint fromProcess(Logger& logger);
};

} // namespace ebbcast
