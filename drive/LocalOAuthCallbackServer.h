#pragma once

#include "drive/OAuthCallbackRequest.h"
#include "drive/PendingResult.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace ebbcast {

// The one-shot HTTP listener on the loopback interface that the browser is sent back to after Google's
// consent page. It listens on 127.0.0.1 and on ::1 (the same port; ::1 is skipped where the system has no
// IPv6), reads each connection up to the end of its headers (at most `headerLimitBytes`, else 431; a
// connection silent for `idleMs` is closed), and answers as OAuthCallbackRequest decides. Only a GET of
// /callback ends the wait; every other request is answered and the wait goes on. When the wait ends (a
// callback, the deadline, cancel()) both listeners close, so a later connection is refused; a callback
// that arrives on a connection accepted before gets a "already answered" page and changes nothing.
// Main thread.
class LocalOAuthCallbackServer : public QObject {
public:
    struct Options {
        quint16 port = 53682; // 0: any free port
        int deadlineMs = 5 * 60'000;
        int idleMs = 10'000;
        qsizetype headerLimitBytes = 8 * 1024;
    };

    LocalOAuthCallbackServer(Options options, QString expectedState);
    ~LocalOAuthCallbackServer() override;

    // Binds both addresses. Throws GoogleAuthError::localServerFailed (the port is held by another process,
    // no loopback interface).
    void listen();
    quint16 port() const noexcept { return port_; }
    bool isListening() const;

    // The callback's code and state. Throws GoogleAuthError: signInTimedOut after the deadline (counted
    // from this call), signInCancelled after cancel(), or the failure of the callback (invalidState,
    // accessDenied, invalidCallback). Call once.
    QCoro::Task<OAuthCallbackResponse> waitForCallback();
    void cancel();

private:
    struct Connection;

    void accept(QTcpServer& server);
    void read(Connection& connection);
    void respond(Connection& connection, const QByteArray& reply);
    void finish(std::exception_ptr error, std::optional<OAuthCallbackResponse> callback);
    void drop(quint64 id);

    Options options_;
    QString expectedState_;
    std::vector<QTcpServer*> servers_;
    std::vector<std::unique_ptr<Connection>> connections_;
    quint16 port_ = 0;
    quint64 lastConnectionID_ = 0;
    QTimer deadline_;
    std::shared_ptr<PendingResult<OAuthCallbackResponse>> result_;
};

} // namespace ebbcast
