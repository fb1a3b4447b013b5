#include "FakeHttpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace ebbcast::test {
namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

FakeHttpServer::FakeHttpServer()
    : server_(new QTcpServer(this))
{
    server_->listen(QHostAddress::LocalHost, 0);
    connect(server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_->nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    });
}

FakeHttpServer::~FakeHttpServer() = default;

QUrl FakeHttpServer::url(const QString& pathAndQuery) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_->serverPort()).arg(pathAndQuery));
}

void FakeHttpServer::serve(QTcpSocket* socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        socket->setProperty("buffer", buffer);
        return;
    }
    Request request;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() - headerEnd - 4 < length) {
        socket->setProperty("buffer", buffer);
        return;
    }
    request.body = buffer.mid(headerEnd + 4, length);
    socket->setProperty("buffer", QByteArray());
    requests_.append(request);

    if (requestLine.value(2) != "HTTP/1.1")
        violations_.append(QStringLiteral("not HTTP/1.1: %1").arg(QString::fromLatin1(lines.value(0))));
    if (!method_.isEmpty() && request.method != method_)
        violations_.append(QStringLiteral("method %1").arg(QString::fromLatin1(request.method)));
    if (noBody_ && (!request.body.isEmpty() || request.headers.contains("content-length")))
        violations_.append(QStringLiteral("a body was sent"));
    for (const QByteArray& name : forbidden_) {
        if (request.headers.contains(name.toLower()))
            violations_.append(QStringLiteral("header %1").arg(QString::fromLatin1(name)));
    }

    const Response response = handler_ ? handler_(request) : Response{404, "{}"};
    if (response.hang)
        return;
    QByteArray reply =
        "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason(response.status) + "\r\n";
    reply += "Content-Type: " + response.contentType + "\r\n";
    reply += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    reply += "Connection: close\r\n\r\n" + response.body;
    socket->write(reply);
    socket->disconnectFromHost();
}

} // namespace ebbcast::test
