#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace ebbcast::test {

// A strict HTTP/1.1 server on 127.0.0.1 (a free port) for one test, on the test's event loop. It answers
// through a handler, records every request, and notes every deviation from what the client is expected to
// send (see `expect...`); a test asserts that `violations()` stays empty.
class FakeHttpServer : public QObject {
public:
    struct Request {
        QByteArray method;
        QByteArray target;                    // path and query as sent
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        bool hang = false; // never answer
    };

    using Handler = std::function<Response(const Request&)>;

    FakeHttpServer();
    ~FakeHttpServer() override;

    QUrl url(const QString& pathAndQuery = QStringLiteral("/")) const;
    void setHandler(Handler handler) { handler_ = std::move(handler); }

    // Deviations to flag: a method other than this, any body, any of these header names.
    void expectMethod(const QByteArray& method) { method_ = method; }
    void expectNoBody() { noBody_ = true; }
    void forbidHeaders(const QList<QByteArray>& names) { forbidden_ = names; }

    const QList<Request>& requests() const { return requests_; }
    const QStringList& violations() const { return violations_; }

private:
    void serve(QTcpSocket* socket);

    QTcpServer* server_;
    Handler handler_;
    QList<Request> requests_;
    QStringList violations_;
    QByteArray method_;
    bool noBody_ = false;
    QList<QByteArray> forbidden_;
};

} // namespace ebbcast::test
