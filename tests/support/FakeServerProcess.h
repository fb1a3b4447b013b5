#pragma once

#include <QString>
#include <QUrl>

class QCoreApplication;

namespace ebbcast::test {

class FakeHttpServer;

// What the fake servers' executables share.

// One line on standard error.
void say(const QString& line);

// Serves `server` until SIGTERM or SIGINT. Once listening, writes the port to `portFile` (unless empty;
// replaced whole, so a reader never sees half of it) and announces "<name>: listening on <address>"; at the
// end lists the requests and violations on standard error. Returns the exit status: 0, or 2 when the port
// file cannot be written.
int serveUntilStopped(QCoreApplication& application, FakeHttpServer& server, const QString& name,
                      const QString& portFile, const QUrl& address);

} // namespace ebbcast::test
