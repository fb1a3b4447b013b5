#include "drive/GoogleAuthError.h"
#include "drive/LocalOAuthCallbackServer.h"
#include "drive/OAuthCallbackRequest.h"
#include "support/TimingScale.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Code = GoogleAuthErrorCode;
using Outcome = OAuthCallbackRequest::Outcome;

const QString state = u"0F6A3C1E-2B4D-4E5F-8A9B-0C1D2E3F4A5B"_s;
const QByteArray stateQuery = "state=" + state.toLatin1();

int waitMs(int ms)
{
    return static_cast<int>(ms * test::timingScale());
}

// One connection to the listener, driven by the test's event loop.
class RawClient {
public:
    explicit RawClient(quint16 port, const QHostAddress& address = QHostAddress::LocalHost)
    {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { reply_ += socket_.readAll(); });
        QObject::connect(&socket_, &QTcpSocket::disconnected, [this] { closed_ = true; });
        QObject::connect(&socket_, &QTcpSocket::errorOccurred, [this](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::ConnectionRefusedError)
                refused_ = true;
            closed_ = true;
        });
        socket_.connectToHost(address, port);
    }

    bool connected()
    {
        return QTest::qWaitFor(
                   [this] { return socket_.state() == QAbstractSocket::ConnectedState || closed_; },
                   waitMs(5000)) &&
               !closed_;
    }
    void send(const QByteArray& bytes)
    {
        socket_.write(bytes);
        socket_.flush();
    }
    bool waitClosed(int ms = 5000)
    {
        return QTest::qWaitFor([this] { return closed_; }, waitMs(ms));
    }
    bool refused()
    {
        return QTest::qWaitFor([this] { return closed_; }, waitMs(5000)) && refused_;
    }
    int status() const { return reply_.startsWith("HTTP/1.1 ") ? reply_.mid(9, 3).toInt() : 0; }
    const QByteArray& reply() const { return reply_; }
    QByteArray body() const { return reply_.mid(reply_.indexOf("\r\n\r\n") + 4); }
    QByteArray header(const QByteArray& name) const
    {
        for (const QByteArray& line : reply_.left(reply_.indexOf("\r\n\r\n")).split('\n')) {
            if (line.toLower().startsWith(QByteArray(name.toLower() + ":")))
                return line.mid(name.size() + 1).trimmed();
        }
        return {};
    }

private:
    QTcpSocket socket_;
    QByteArray reply_;
    bool closed_ = false;
    bool refused_ = false;
};

QByteArray get(const QByteArray& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\nUser-Agent: test\r\n\r\n";
}

// The wait of one server, watched from outside.
struct Watch {
    std::optional<OAuthCallbackResponse> callback;
    std::optional<Code> error;
    bool done = false;
};

QCoro::Task<> watch(LocalOAuthCallbackServer& server, Watch& outcome)
{
    try {
        outcome.callback = co_await server.waitForCallback();
    } catch (const GoogleAuthError& error) {
        outcome.error = error.code();
    }
    outcome.done = true;
}

class ListeningServer {
public:
    explicit ListeningServer(LocalOAuthCallbackServer::Options options = {.port = 0, .idleMs = 10'000})
        : server(options, state)
    {
        server.listen();
        task_ = std::make_unique<QCoro::Task<>>(watch(server, outcome));
    }
    bool waitDone(int ms = 5000)
    {
        return QTest::qWaitFor([this] { return outcome.done; }, waitMs(ms));
    }

    LocalOAuthCallbackServer server;
    Watch outcome;

private:
    std::unique_ptr<QCoro::Task<>> task_;
};

TEST(OAuthCallbackRequest, DecidesEachRequestHead)
{
    struct Row {
        QByteArray head;
        int status;
        Outcome outcome;
        std::optional<Code> error;
    };
    const QList<Row> rows = {
        {get("/callback?code=abc&" + stateQuery), 200, Outcome::callback, {}},
        {get("/callback?" + stateQuery + "&code=4%2F0A%2Bb&scope=x"), 200, Outcome::callback, {}},
        {"garbage\r\n\r\n", 400, Outcome::keepWaiting, {}},
        {"GET\r\n\r\n", 400, Outcome::keepWaiting, {}},
        {"GET  /callback HTTP/1.1\r\n\r\n", 400, Outcome::keepWaiting, {}},
        {"GET /callback?code=a&" + stateQuery + " HTTP/2\r\n\r\n", 400, Outcome::keepWaiting, {}},
        {"GET http://evil/callback?code=a HTTP/1.1\r\n\r\n", 400, Outcome::keepWaiting, {}},
        {get("/favicon.ico"), 404, Outcome::keepWaiting, {}},
        {get("/anything?code=abc&" + stateQuery), 404, Outcome::keepWaiting, {}},
        {get("/callback/x?code=abc&" + stateQuery), 404, Outcome::keepWaiting, {}},
        {"POST /callback?code=abc&" + stateQuery + " HTTP/1.1\r\n\r\n", 405, Outcome::keepWaiting, {}},
        {get("/callback?" + stateQuery), 400, Outcome::failed, Code::invalidCallback},
        {get("/callback?code=&" + stateQuery), 400, Outcome::failed, Code::invalidCallback},
        {get("/callback?code=a&code=b&" + stateQuery), 400, Outcome::failed, Code::invalidCallback},
        {get("/callback?code=a%ZZ&" + stateQuery), 400, Outcome::failed, Code::invalidCallback},
        {get("/callback?code=abc"), 400, Outcome::failed, Code::invalidState},
        {get("/callback?code=abc&state=WRONG"), 400, Outcome::failed, Code::invalidState},
        {get("/callback?code=abc&" + stateQuery + "&" + stateQuery), 400, Outcome::failed,
         Code::invalidState},
        {get("/callback?code=abc&state=" + state.toLower().toLatin1()), 400, Outcome::failed,
         Code::invalidState},
        {get("/callback?error=access_denied&" + stateQuery), 200, Outcome::failed, Code::accessDenied},
        {get("/callback?error=access_denied&state=WRONG"), 400, Outcome::failed, Code::invalidState},
        {get("/callback?error=access_denied"), 400, Outcome::failed, Code::invalidState},
        {get("/callback?error=server_error&code=abc&" + stateQuery), 400, Outcome::failed,
         Code::invalidCallback},
    };
    for (const Row& row : rows) {
        const auto answer = OAuthCallbackRequest::answer(row.head, state);
        EXPECT_EQ(answer.status, row.status) << row.head.constData();
        EXPECT_EQ(answer.outcome, row.outcome) << row.head.constData();
        EXPECT_EQ(answer.error, row.error) << row.head.constData();
        EXPECT_FALSE(answer.reply().contains("abc")) << "the page never repeats the code";
        EXPECT_FALSE(answer.reply().contains(state.toLatin1())) << "the page never repeats the state";
    }
    const auto good = OAuthCallbackRequest::answer(get("/callback?code=4%2F0A%2Bb+c&" + stateQuery), state);
    ASSERT_TRUE(good.callback);
    EXPECT_EQ(good.callback->code, u"4/0A+b c"_s);
    EXPECT_EQ(good.callback->state, state);
}

TEST(OAuthCallbackRequest, ThePageEscapesGooglesTextAndCountsItsLengthInUtf8Bytes)
{
    const auto answer =
        OAuthCallbackRequest::answer(get("/callback?error=access_denied&error_description=%3Cscript%3Ealert("
                                         "1)%3C%2Fscript%3E+d%C3%A9j%C3%A0&" +
                                         stateQuery),
                                     state);
    const QByteArray reply = answer.reply();
    const QByteArray body = reply.mid(reply.indexOf("\r\n\r\n") + 4);
    EXPECT_FALSE(reply.contains("<script>"));
    EXPECT_TRUE(body.contains("&lt;script&gt;alert(1)&lt;/script&gt; d\xC3\xA9j\xC3\xA0"));
    EXPECT_TRUE(reply.contains(QByteArray("Content-Length: " + QByteArray::number(body.size()) + "\r\n")));
    EXPECT_TRUE(reply.contains("\r\nConnection: close\r\n"));
    EXPECT_TRUE(reply.contains("\r\nCache-Control: no-store\r\n"));
}

// Random bytes and mutations of a good request: never a crash, always one of the defined answers, and a
// callback only with the right state and a code.
TEST(OAuthCallbackRequest, FuzzedHeadsAlwaysGetADefinedAnswer)
{
    QRandomGenerator random(20261207);
    const QByteArray seed = get("/callback?code=4%2F0A%2Bb&" + stateQuery + "&scope=x%20y");
    const QByteArray alphabet = "GET /?&=%+\r\n:HTTP1.callbackstatecode0A\x00\xC3\xA9\xFF"_ba;
    for (int round = 0; round < 20000; ++round) {
        QByteArray head = seed;
        if (round % 4 == 0) {
            head = QByteArray(static_cast<qsizetype>(random.bounded(200)), Qt::Uninitialized);
            for (char& c : head)
                c = static_cast<char>(random.bounded(256));
        } else {
            for (int edits = random.bounded(1, 6); edits > 0; --edits) {
                const auto at = static_cast<qsizetype>(random.bounded(static_cast<int>(head.size() + 1)));
                const char c = alphabet.at(random.bounded(static_cast<int>(alphabet.size())));
                switch (random.bounded(3)) {
                case 0:
                    head.insert(at, c);
                    break;
                case 1:
                    head.remove(at, 1);
                    break;
                default:
                    if (at < head.size())
                        head[at] = c;
                }
            }
        }
        const auto answer = OAuthCallbackRequest::answer(head, state);
        ASSERT_TRUE(QList<int>({200, 400, 404, 405}).contains(answer.status)) << head.toHex().constData();
        ASSERT_EQ(answer.callback.has_value(), answer.outcome == Outcome::callback);
        ASSERT_EQ(answer.error.has_value(), answer.outcome == Outcome::failed);
        if (answer.callback) {
            ASSERT_EQ(answer.callback->state, state);
            ASSERT_FALSE(answer.callback->code.isEmpty());
        }
        ASSERT_TRUE(answer.reply().startsWith("HTTP/1.1 "));
    }
}

TEST(LocalOAuthCallbackServer, RequestsThatAreNotTheCallbackAreAnsweredAndTheWaitGoesOn)
{
    ListeningServer listening;
    struct Row {
        QByteArray request;
        int status;
    };
    const QList<Row> rows = {
        {"\x16\x03\x01 not http at all\r\n\r\n", 400},
        {get("/favicon.ico"), 404},
        {get("/other?code=abc&" + stateQuery), 404},
        {"POST /callback?code=abc&" + stateQuery + " HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 405},
        {"GET /callback HTTP/1.1\r\nX-Filler: " + QByteArray(9 * 1024, 'x') + "\r\n\r\n", 431},
    };
    for (const Row& row : rows) {
        RawClient client(listening.server.port());
        ASSERT_TRUE(client.connected());
        client.send(row.request);
        ASSERT_TRUE(client.waitClosed()) << row.request.left(40).constData();
        EXPECT_EQ(client.status(), row.status) << row.request.left(40).constData();
        EXPECT_EQ(client.header("Connection"), "close");
        EXPECT_EQ(client.header("Cache-Control"), "no-store");
        EXPECT_FALSE(listening.outcome.done);
        EXPECT_TRUE(listening.server.isListening());
    }

    RawClient callback(listening.server.port());
    ASSERT_TRUE(callback.connected());
    callback.send(get("/callback?code=abc&" + stateQuery));
    ASSERT_TRUE(listening.waitDone());
    ASSERT_TRUE(listening.outcome.callback);
    EXPECT_EQ(listening.outcome.callback->code, u"abc"_s);
    ASSERT_TRUE(callback.waitClosed());
    EXPECT_EQ(callback.status(), 200);
}

TEST(LocalOAuthCallbackServer, ACallbackEndsTheWaitWithItsOutcomeAndClosesTheListener)
{
    struct Row {
        QByteArray target;
        int status;
        std::optional<Code> error;
    };
    const QList<Row> rows = {
        {"/callback?code=abc&" + stateQuery, 200, {}},
        {"/callback?" + stateQuery, 400, Code::invalidCallback},
        {"/callback?error=access_denied&" + stateQuery, 200, Code::accessDenied},
        {"/callback?error=access_denied&state=nope", 400, Code::invalidState},
        {"/callback?code=abc&state=nope", 400, Code::invalidState},
        {"/callback?code=abc", 400, Code::invalidState},
    };
    for (const Row& row : rows) {
        ListeningServer listening;
        const quint16 port = listening.server.port();
        RawClient client(port);
        ASSERT_TRUE(client.connected());
        client.send(get(row.target));
        ASSERT_TRUE(listening.waitDone()) << row.target.constData();
        EXPECT_EQ(listening.outcome.error, row.error) << row.target.constData();
        EXPECT_EQ(listening.outcome.callback.has_value(), !row.error.has_value());
        ASSERT_TRUE(client.waitClosed());
        EXPECT_EQ(client.status(), row.status) << row.target.constData();
        EXPECT_FALSE(listening.server.isListening());
        RawClient late(port);
        EXPECT_TRUE(late.refused()) << "a connection after the callback is refused";
    }
}

TEST(LocalOAuthCallbackServer, ARequestLineSplitAcrossSegmentsIsPutTogether)
{
    ListeningServer listening;
    RawClient client(listening.server.port());
    ASSERT_TRUE(client.connected());
    const QByteArray request = get("/callback?code=4%2F0A%2Bb&" + stateQuery);
    for (const QByteArray& piece :
         {request.left(2), request.mid(2, 20), request.mid(22, 30), request.mid(52)}) {
        client.send(piece);
        QTest::qWait(20);
        EXPECT_FALSE(piece != request.mid(52) && listening.outcome.done);
    }
    ASSERT_TRUE(listening.waitDone());
    ASSERT_TRUE(listening.outcome.callback);
    EXPECT_EQ(listening.outcome.callback->code, u"4/0A+b"_s);
}

TEST(LocalOAuthCallbackServer, AnIdleConnectionNeitherBlocksTheCallbackNorStaysOpen)
{
    ListeningServer listening({.port = 0, .idleMs = 300});
    RawClient idle(listening.server.port());
    ASSERT_TRUE(idle.connected());
    RawClient callback(listening.server.port());
    ASSERT_TRUE(callback.connected());
    callback.send(get("/callback?code=abc&" + stateQuery));
    ASSERT_TRUE(listening.waitDone());
    EXPECT_TRUE(listening.outcome.callback);
    EXPECT_TRUE(idle.waitClosed(3000)) << "the silent connection is closed after its idle time";
    EXPECT_EQ(idle.reply(), QByteArray());
}

TEST(LocalOAuthCallbackServer, TwoCallbacksAtOnceResumeTheWaitOnce)
{
    ListeningServer listening;
    RawClient first(listening.server.port());
    RawClient second(listening.server.port());
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(second.connected());
    first.send(get("/callback?code=first&" + stateQuery));
    second.send(get("/callback?code=second&" + stateQuery));
    ASSERT_TRUE(first.waitClosed());
    ASSERT_TRUE(second.waitClosed());
    ASSERT_TRUE(listening.waitDone());
    ASSERT_TRUE(listening.outcome.callback);
    const bool firstWon = listening.outcome.callback->code == u"first"_s;
    EXPECT_EQ((firstWon ? first : second).status(), 200);
    EXPECT_EQ((firstWon ? second : first).status(), 409);
}

TEST(LocalOAuthCallbackServer, TheDeadlineAndACancelEndTheWaitAndCloseTheListener)
{
    {
        ListeningServer listening({.port = 0, .deadlineMs = 200});
        ASSERT_TRUE(listening.waitDone(5000));
        EXPECT_EQ(listening.outcome.error, Code::signInTimedOut);
        EXPECT_FALSE(listening.server.isListening());
    }
    {
        ListeningServer listening;
        QTest::qWait(20);
        listening.server.cancel();
        ASSERT_TRUE(listening.waitDone());
        EXPECT_EQ(listening.outcome.error, Code::signInCancelled);
        RawClient late(listening.server.port());
        EXPECT_TRUE(late.refused());
    }
}

TEST(LocalOAuthCallbackServer, ListensOnBothLoopbackAddressesAndFailsOnAPortThatIsTaken)
{
    ListeningServer listening;
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHostIPv6, 0)) {
        RawClient client(listening.server.port(), QHostAddress::LocalHostIPv6);
        ASSERT_TRUE(client.connected());
        client.send(get("/callback?code=v6&" + stateQuery));
        ASSERT_TRUE(listening.waitDone());
        EXPECT_EQ(listening.outcome.callback->code, u"v6"_s);
    }

    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    LocalOAuthCallbackServer taken({.port = holder.serverPort()}, state);
    try {
        taken.listen();
        ADD_FAILURE() << "listened on a port that is taken";
    } catch (const GoogleAuthError& error) {
        EXPECT_EQ(error.code(), Code::localServerFailed);
        EXPECT_TRUE(
            error.description().startsWith(u"Could not start local Google sign-in callback server"_s));
    }
}

} // namespace
} // namespace ebbcast
