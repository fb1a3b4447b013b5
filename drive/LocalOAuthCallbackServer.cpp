#include "drive/LocalOAuthCallbackServer.h"

#include "drive/GoogleAuthError.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Free ports tried when the one taken for 127.0.0.1 is held by another process on ::1.
constexpr int portAttempts = 8;

bool noIPv6(QAbstractSocket::SocketError error)
{
    return error == QAbstractSocket::UnsupportedSocketOperationError ||
           error == QAbstractSocket::SocketAddressNotAvailableError;
}

} // namespace

struct LocalOAuthCallbackServer::Connection {
    quint64 id = 0;
    QTcpSocket* socket = nullptr;
    QByteArray head;
    QTimer idle;
    bool answered = false;
};

LocalOAuthCallbackServer::LocalOAuthCallbackServer(Options options, QString expectedState)
    : options_(options)
    , expectedState_(std::move(expectedState))
    , result_(std::make_shared<PendingResult<OAuthCallbackResponse>>())
{
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        finish(std::make_exception_ptr(GoogleAuthError(GoogleAuthError::Code::signInTimedOut)), std::nullopt);
    });
}

LocalOAuthCallbackServer::~LocalOAuthCallbackServer()
{
    // A page still being written gets what the kernel takes now; the sockets close with this object.
    for (const auto& connection : connections_) {
        connection->socket->disconnect(this);
        if (connection->socket->bytesToWrite() > 0)
            connection->socket->flush();
    }
}

void LocalOAuthCallbackServer::listen()
{
    for (int attempt = 0; attempt < portAttempts; ++attempt) {
        auto* loopback = new QTcpServer(this);
        if (!loopback->listen(QHostAddress::LocalHost, options_.port)) {
            const QString reason = u"127.0.0.1 port %1: %2"_s.arg(options_.port).arg(loopback->errorString());
            delete loopback;
            throw GoogleAuthError::localServerFailed(reason);
        }
        const quint16 port = loopback->serverPort();
        auto* loopback6 = new QTcpServer(this);
        if (loopback6->listen(QHostAddress::LocalHostIPv6, port)) {
            servers_ = {loopback, loopback6};
        } else {
            const QAbstractSocket::SocketError error = loopback6->serverError();
            const QString reason = u"::1 port %1: %2"_s.arg(port).arg(loopback6->errorString());
            delete loopback6;
            if (!noIPv6(error)) {
                // Another process holds the port on ::1, where a browser may send the code for "localhost".
                delete loopback;
                if (options_.port != 0 || attempt + 1 == portAttempts)
                    throw GoogleAuthError::localServerFailed(reason);
                continue;
            }
            servers_ = {loopback};
        }
        port_ = port;
        for (QTcpServer* server : servers_)
            connect(server, &QTcpServer::newConnection, this, [this, server] { accept(*server); });
        return;
    }
}

bool LocalOAuthCallbackServer::isListening() const
{
    return std::any_of(servers_.begin(), servers_.end(),
                       [](QTcpServer* server) { return server->isListening(); });
}

QCoro::Task<OAuthCallbackResponse> LocalOAuthCallbackServer::waitForCallback()
{
    if (!result_->isSettled())
        deadline_.start(options_.deadlineMs);
    co_return co_await result_->wait();
}

void LocalOAuthCallbackServer::cancel()
{
    finish(std::make_exception_ptr(GoogleAuthError(GoogleAuthError::Code::signInCancelled)), std::nullopt);
}

void LocalOAuthCallbackServer::accept(QTcpServer& server)
{
    while (server.hasPendingConnections()) {
        QTcpSocket* socket = server.nextPendingConnection();
        socket->setParent(this);
        auto connection = std::make_unique<Connection>();
        connection->id = ++lastConnectionID_;
        connection->socket = socket;
        Connection* raw = connection.get();
        const quint64 id = connection->id;
        connection->idle.setSingleShot(true);
        connect(&connection->idle, &QTimer::timeout, this, [this, socket, id] {
            socket->abort();
            drop(id);
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { read(*raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] { drop(id); });
        connections_.push_back(std::move(connection));
        raw->idle.start(options_.idleMs);
        if (socket->bytesAvailable() > 0)
            read(*raw);
    }
}

void LocalOAuthCallbackServer::read(Connection& connection)
{
    if (connection.answered) {
        connection.socket->readAll(); // a body or a second request: not read
        return;
    }
    const qint64 room = options_.headerLimitBytes + 4 - connection.head.size();
    connection.head += connection.socket->read(std::max<qint64>(room, 0));
    connection.idle.start(options_.idleMs);
    const qsizetype end = connection.head.indexOf("\r\n\r\n");
    if (end < 0 || end + 4 > options_.headerLimitBytes) {
        if (connection.head.size() > options_.headerLimitBytes)
            respond(connection, OAuthCallbackRequest::headersTooLarge());
        return;
    }
    const OAuthCallbackRequest::Answer answer =
        OAuthCallbackRequest::answer(QByteArrayView(connection.head).first(end + 2), expectedState_);
    if (answer.outcome == OAuthCallbackRequest::Outcome::keepWaiting) {
        respond(connection, answer.reply());
        return;
    }
    if (result_->isSettled()) {
        respond(connection, OAuthCallbackRequest::alreadyAnswered());
        return;
    }
    respond(connection, answer.reply());
    if (answer.outcome == OAuthCallbackRequest::Outcome::callback)
        finish(nullptr, answer.callback);
    else
        finish(std::make_exception_ptr(GoogleAuthError(*answer.error)), std::nullopt);
}

void LocalOAuthCallbackServer::respond(Connection& connection, const QByteArray& reply)
{
    connection.answered = true;
    connection.socket->write(reply);
    // Closes once the page is written; the idle timer ends a client that never reads it.
    connection.idle.start(options_.idleMs);
    connection.socket->disconnectFromHost();
}

void LocalOAuthCallbackServer::finish(std::exception_ptr error, std::optional<OAuthCallbackResponse> callback)
{
    if (result_->isSettled())
        return;
    deadline_.stop();
    for (QTcpServer* server : servers_)
        server->close();
    if (error)
        result_->fail(std::move(error));
    else
        result_->resolve(std::move(*callback));
}

void LocalOAuthCallbackServer::drop(quint64 id)
{
    // Signals of the socket and the timer may come from inside read(): the connection goes on the next turn.
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            const auto found = std::find_if(connections_.begin(), connections_.end(),
                                            [id](const auto& connection) { return connection->id == id; });
            if (found == connections_.end())
                return;
            (*found)->idle.stop();
            (*found)->socket->disconnect(this);
            (*found)->socket->deleteLater();
            connections_.erase(found);
        },
        Qt::QueuedConnection);
}

} // namespace ebbcast
