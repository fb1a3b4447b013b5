#include "relay/RelaySender.h"

#include "core/base/Logger.h"
#include "relay/PelkoReadyPayload.h"
#include "support/FakeRelayServer.h"
#include "support/LogLines.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::FakeHttpServer;
using test::FakeRelayServer;
using Fault = FakeHttpServer::Fault;

const QString token = u"tok-SECRET-4711"_s;
const QString parentEvent = QString::fromLatin1(RelayEvent::sessionStarted);

QByteArray parentBody()
{
    PelkoReadyPayload p;
    p.event = p.kind = parentEvent;
    p.notes = u"@Pelko started"_s;
    p.recorderID = u"velno"_s;
    p.recorderName = u"Desk"_s;
    p.recordingName = p.sessionID = u"2026-01-05_10-00-00"_s;
    p.threadKey = RelayWording::threadKey(p.recorderID, p.sessionID);
    p.idempotencyKey = RelayWording::eventKey(p.threadKey, p.event, std::nullopt);
    return *p.encode();
}

class RelaySenderTest : public ::testing::Test {
protected:
    RelaySenderTest() { server_.setModel(relay_); }

    SendResult send(std::chrono::milliseconds deadline = 10s)
    {
        RelaySender sender(server_.url(u"/corvane/api/v1/pelko/notify"_s), logger_, network_, deadline);
        return test::runTask(sender.send(parentEvent, parentBody(), token));
    }
    QString log()
    {
        logger_.flush();
        return QString::fromUtf8(test::TemporaryFolder::readAll(logger_.logFilePath()));
    }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"logs/ebbcast.log"_s)};
    QNetworkAccessManager network_;
    FakeRelayServer relay_{token};
    FakeHttpServer server_;
};

TEST_F(RelaySenderTest, AnAcceptedRequestYieldsTheThreadIdentifier)
{
    const SendResult result = send();
    EXPECT_TRUE(result.accepted);
    ASSERT_TRUE(result.threadIdentifier);
    EXPECT_EQ(*result.threadIdentifier, relay_.threads().front().ts);
    EXPECT_EQ(test::countLogLines(logger_, u"Corvane Pelko delivery succeeded event="_s + parentEvent +
                                               u" ts="_s + *result.threadIdentifier),
              1);
    EXPECT_TRUE(relay_.violations().isEmpty()) << relay_.violations().join(u"; "_s).toStdString();
    EXPECT_TRUE(server_.violations().isEmpty()) << server_.violations().join(u"; "_s).toStdString();

    relay_.setDeduplication(false);
    relay_.setParentAnswer(QByteArray("{\"ts\":\"a\\nb\",\"thread_ts\":17}"));
    const SendResult odd = send();
    EXPECT_TRUE(odd.accepted);
    EXPECT_FALSE(odd.threadIdentifier);
    EXPECT_EQ(test::countLogLines(logger_, u"ts=not_returned"_s), 1);
}

TEST_F(RelaySenderTest, EveryFaultIsAFailureWithABoundedLineThatNeverShowsTheToken)
{
    struct Case {
        const char* name;
        Fault fault;
        QString line;
        std::chrono::milliseconds deadline = 10s;
    };
    const QByteArray echo = "denied\n2026-01-01T00:00:00Z [INFO] forged Bearer " + token.toUtf8() + "\r\n" +
                            QByteArray(2000, 'x');
    const QList<Case> cases = {
        {"500", Fault::withStatus(500, "oops"), u"Corvane Pelko delivery failed status=500 body=oops"_s},
        {"503 echo", Fault::withStatus(503, echo),
         u"Corvane Pelko delivery failed status=503 body=denied\\x0a2026-01-01T00:00:00Z [INFO] forged "
         u"Bearer "
         u"***\\x0d\\x0a"_s},
        {"hang", Fault::hang(), u"Corvane Pelko delivery failed: no answer within 300 ms"_s, 300ms},
        {"slow drip", Fault::trickle(1, 50, 20'000),
         u"Corvane Pelko delivery failed: no answer within 400 ms"_s, 400ms},
        {"reset", Fault::resetBeforeAnswer(), u"Corvane Pelko delivery failed: the connection closed"_s},
        {"lost reply", Fault::resetBeforeAnswer().afterHandler(),
         u"Corvane Pelko delivery failed: the connection"_s},
        {"huge", Fault::oversized(50LL * 1024 * 1024),
         u"Corvane Pelko delivery failed: the reply is larger than 65536 bytes"_s},
        {"endless", Fault::oversized(1LL << 40, true),
         u"Corvane Pelko delivery failed: the reply is larger than 65536 bytes"_s},
        {"garbage", Fault::malformed(Fault::Malformation::garbageStatusLine),
         u"Corvane Pelko delivery failed: "_s},
    };
    for (const Case& c : cases) {
        server_.clearFaults();
        server_.addFault(FakeHttpServer::FaultRule{.method = "POST", .sticky = true}, c.fault);
        QElapsedTimer clock;
        clock.start();
        const SendResult result = send(c.deadline);
        EXPECT_FALSE(result.accepted) << c.name;
        // The deadline bounds the whole exchange: what is left is the machine's delay in noticing it (an endless
        // reply from a server in this process competes with the client for the event loop).
        const auto margin = static_cast<qint64>(2'000 * test::timingScale());
        EXPECT_LT(clock.elapsed(), c.deadline.count() + margin) << c.name << ": the deadline covers the exchange";
        EXPECT_GE(test::countLogLines(logger_, c.line), 1) << c.name << "\n" << log().toStdString();
        server_.releaseHangs();
    }
    const QString text = log();
    EXPECT_FALSE(text.contains(token)) << text.toStdString();
    EXPECT_FALSE(text.contains(u"[INFO] forged"_s.prepend(u'\n')));
    for (const QString& line : text.split(u'\n'))
        EXPECT_LT(line.toUtf8().size(), 700) << line.toStdString();
}

TEST_F(RelaySenderTest, ARedirectIsARefusalAndItsTargetGetsNothing)
{
    FakeHttpServer target;
    FakeRelayServer elsewhere(token);
    target.setModel(elsewhere);
    server_.setHandler([&target](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{
            .status = 307,
            .body = {},
            .contentType = {},
            .headers = {{"Location", target.url(u"/corvane/api/v1/pelko/notify"_s).toEncoded()}}};
    });
    const SendResult result = send();
    EXPECT_FALSE(result.accepted);
    EXPECT_TRUE(target.requests().isEmpty());
    EXPECT_EQ(test::countLogLines(logger_, u"Corvane Pelko delivery failed status=307 body="_s), 1);
}

} // namespace
} // namespace ebbcast
