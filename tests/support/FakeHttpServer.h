#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QTcpServer;

namespace ebbcast::test {

// A strict HTTP/1.1 server on 127.0.0.1 (a free port) for one test, on the test's event loop: it serves while
// the test runs that loop, as waiting for a reply does. Each connection carries one request and is closed
// after the answer ("Connection: close").
//
// It records every request and notes every deviation from what the client is expected to send (see
// `expect...`; also requests it cannot read: not HTTP/1.1, a bad Content-Length, any Transfer-Encoding,
// headers over 64 KiB, a held body over 64 MiB); a test asserts that `violations()` stays empty.
//
// Bodies are held whole, unless they are large enough for `setBodyHashing` or a Model takes them piece by
// piece (Model::bodySink): then only their first bytes are kept, and their size has no limit. A client that
// sends "Expect: 100-continue" gets its "100 Continue" at once.
//
// Answers come from a handler, or from a Model that keeps state across requests (404 without either). A fault
// table replaces or breaks the answers to chosen requests (see Fault and FaultRule); a handler may also
// return a fault with its answer.
//
// Answers may be held back (setAnswerDelay): a request still takes effect as soon as it has arrived whole
// (the handler or Model runs, the fault table counts it), and what it is answered, fault included, is sent
// once its delay has passed. A hang stays a hang (releaseHangs answers at once); "100 Continue" is never held
// back.
//
// Bounds: a connection is aborted `connectionTimeLimitMs` after it was accepted (20 s unless changed);
// destroying the server aborts every open connection, hanging ones included.
class FakeHttpServer : public QObject {
public:
    using Headers = QList<std::pair<QByteArray, QByteArray>>;

    // Takes a request body piece by piece as it arrives, so that none of it needs to be held.
    class BodySink {
    public:
        virtual ~BodySink() = default;
        virtual void take(QByteArrayView bytes) = 0;
    };

    struct Request {
        QByteArray method;
        QByteArray target;                    // path and query as sent
        QByteArray path;                      // the target up to '?', still percent-encoded
        QByteArray query;                     // after '?'
        QMap<QByteArray, QByteArray> headers; // names in lower case; repeated headers joined with ", "
        QByteArray body;                      // the whole body, or only its first bytes when not held
        qint64 bodySize = 0;                  // bytes of body received
        bool bodyHeld = true;                 // false: hashed or taken by a sink as it arrived
        QByteArray bodySha256;                // lower-case hex of the whole body; empty when a sink took it
        std::shared_ptr<BodySink> bodySink{}; // the Model's sink that took the body, if any

        QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
        QUrlQuery queryItems() const { return QUrlQuery(QString::fromUtf8(query)); }
    };

    // What goes wrong with one answer. "The answer" is what the handler returns for the request. Mind that a
    // QNetworkAccessManager may send a request again by itself when the connection ends before a status line
    // (resetBeforeAnswer, garbageStatusLine): the table counts that as a request of its own.
    struct Fault {
        enum class Kind {
            // `status` with `body` instead of the answer.
            status,
            // No answer: releaseHangs() answers it; the connection limit or the server's end closes it.
            hang,
            // A TCP reset before any byte of the answer.
            resetBeforeAnswer,
            // The answer's head and the first `bytes` of its body, then a TCP reset.
            resetInBody,
            // The answer's head at once, then `bytes` of its body every `intervalMs`; a reset at `limitMs`.
            trickle,
            // The answer, framed as `malformation` says.
            malformed,
            // A 200 with a body of `bytes` bytes, generated as the client takes it and never held.
            oversized,
        };
        enum class Malformation {
            garbageStatusLine,            // a first line that is not an HTTP status line
            contentLengthNotANumber,      // "Content-Length: many"
            contentLengthMissing,         // no length and no chunks: the body ends with the connection
            bodyShorterThanContentLength, // 64 bytes more declared than sent, then an orderly close
            invalidChunks,                // one good chunk (half the body), then a size that is not hex
        };

        Kind kind = Kind::status;
        int status = 500;
        QByteArray body;
        qint64 bytes = 0;
        int intervalMs = 0;
        int limitMs = 0;
        Malformation malformation = Malformation::garbageStatusLine;
        bool chunked = false; // oversized: chunks instead of a Content-Length
        // The handler sees the request (and changes its state) although its answer is replaced or lost.
        // Faults that break the answer (resetInBody, trickle, malformed) always run it.
        bool handlerRuns = false;

        static Fault withStatus(int status, QByteArray body = {});
        static Fault hang();
        static Fault resetBeforeAnswer();
        // A body not longer than `afterBytes` is padded with '.' to `afterBytes` + 1 bytes, so the reset
        // always cuts.
        static Fault resetInBody(qint64 afterBytes);
        static Fault trickle(qint64 bytesPerStep, int intervalMs, int limitMs);
        static Fault malformed(Malformation malformation);
        static Fault oversized(qint64 bytes, bool chunked = false);
        Fault afterHandler() const;
    };

    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json"; // empty: no Content-Type header
        Headers headers{};                           // more headers, such as Location or Range
        std::optional<Fault> fault{};                // a fault from the table wins over this one
    };

    // Which requests a fault applies to. Requests are counted per rule from the moment it is added, among
    // those that match: method (empty: any) and path (as sent, without the query), either exactly or as a
    // regular expression that must match the whole path (neither: any path).
    struct FaultRule {
        QByteArray method{};
        QByteArray path{};
        QString pathPattern{};
        int request = 1;     // the first matching request it may apply to: 2 is "the second request to X"
        bool sticky = false; // every matching request from then on, not only one
    };

    using Handler = std::function<Response(const Request&)>;

    // State kept across requests, such as a file tree or a job list; it outlives the server.
    class Model {
    public:
        virtual ~Model() = default;
        virtual Response answer(const Request& request) = 0;
        // Asked once the request's head has arrived (`request` has no body yet): a sink that takes the body
        // instead of the server holding it, or nothing. answer() finds it again in Request::bodySink.
        virtual std::shared_ptr<BodySink> bodySink(const Request& request)
        {
            Q_UNUSED(request);
            return nullptr;
        }
    };

    // Bodies declared at least `fromBytes` long are hashed as they arrive (Request::bodySha256) and only
    // their first `keepBytes` are kept.
    struct BodyHashing {
        qint64 fromBytes = 1024 * 1024;
        qsizetype keepBytes = 64 * 1024;
    };

    // Each answer is sent a random time after its request arrived whole, uniform in [minMs, maxMs].
    struct AnswerDelay {
        int minMs = 0;
        int maxMs = 0;
    };

    // Listens on 127.0.0.1, on `port` or a free one; throws std::runtime_error when it cannot.
    explicit FakeHttpServer(quint16 port = 0);
    ~FakeHttpServer() override;

    QUrl url(const QString& pathAndQuery = QStringLiteral("/")) const;
    quint16 port() const;
    void setHandler(Handler handler)
    {
        handler_ = std::move(handler);
        model_ = nullptr;
    }
    void setModel(Model& model);
    void setBodyHashing(std::optional<BodyHashing> hashing) { hashing_ = hashing; }
    // Applies to the requests that arrive from now on. Throws std::invalid_argument unless 0 <= min <= max.
    void setAnswerDelay(std::optional<AnswerDelay> delay);

    // Several rules may match a request: the first added that is due applies; every matching rule counts it.
    // Throws std::invalid_argument for a pattern that is not a regular expression.
    void addFault(const FaultRule& rule, const Fault& fault);
    void clearFaults() { faults_.clear(); }
    // Hanging requests are answered now, by the handler as it is now (unless it has run already).
    void releaseHangs();
    void setConnectionTimeLimitMs(int limitMs) { connectionTimeLimitMs_ = limitMs; }

    // Deviations to flag: a method other than this, any body, any of these header names.
    void expectMethod(const QByteArray& method) { method_ = method; }
    void expectNoBody() { noBody_ = true; }
    void forbidHeaders(const QList<QByteArray>& names) { forbidden_ = names; }

    const QList<Request>& requests() const { return requests_; }
    const QStringList& violations() const { return violations_; }
    // Notes a deviation found by a handler or Model.
    void flag(const QString& violation) { violations_.append(violation); }
    // Bytes of the answer to requests()[index] that the kernel has taken so far (head and body).
    qint64 bytesSent(qsizetype index) const { return bytesSent_.value(index); }
    int openConnections() const { return static_cast<int>(connections_.size()); }

private:
    class Connection;
    struct ArmedFault {
        FaultRule rule;
        QRegularExpression pattern;
        Fault fault;
        int seen = 0;
        bool spent = false;
    };

    void read(Connection& connection);
    bool readHead(Connection& connection, qsizetype headerEnd);
    void takeBody(Connection& connection, QByteArrayView bytes);
    void complete(Connection& connection);
    void refuse(Connection& connection, int status, const QString& violation);
    void checkExpectations(const Request& request, const QByteArray& version);
    std::optional<Fault> takeFault(const Request& request);
    Response handle(const Request& request) const;
    void answer(Connection& connection, const Response& response, const std::optional<Fault>& fault);
    void resetOnceDelivered(Connection& connection);
    void trickle(Connection& connection, QByteArray rest, const Fault& fault);
    void pump(Connection& connection);
    void finish(Connection& connection);

    QTcpServer* server_;
    Handler handler_;
    Model* model_ = nullptr;
    std::optional<BodyHashing> hashing_;
    std::optional<AnswerDelay> answerDelay_;
    QList<ArmedFault> faults_;
    QList<Connection*> connections_;
    QList<Request> requests_;
    QList<qint64> bytesSent_;
    QStringList violations_;
    QByteArray method_;
    bool noBody_ = false;
    QList<QByteArray> forbidden_;
    int connectionTimeLimitMs_ = 20000;
};

} // namespace ebbcast::test
