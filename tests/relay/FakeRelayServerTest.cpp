#include "support/FakeRelayServer.h"

#include "relay/PelkoReadyPayload.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::FakeHttpServer;
using test::FakeRelayServer;

const QByteArray notifyPath = "/corvane/api/v1/pelko/notify";
const QString token = u"relay-token"_s;

PelkoReadyPayload payload(const QString& event, std::optional<QString> ts = std::nullopt)
{
    PelkoReadyPayload p;
    p.event = p.kind = event;
    p.notes = u"@Pelko note"_s;
    p.recorderID = u"velno"_s;
    p.recorderName = u"Desk"_s;
    p.recordingName = p.sessionID = u"2026-01-05_10-00-00"_s;
    p.threadKey = RelayWording::threadKey(p.recorderID, p.sessionID);
    p.threadTS = p.parentThreadTS = ts;
    std::optional<ChunkRef> chunk;
    if (event == QLatin1StringView(RelayEvent::chunkReady)) {
        chunk = ChunkRef{u"microphone"_s, 1};
        p.chunkKind = p.track = chunk->kind;
        p.chunkIndex = chunk->index;
    }
    p.idempotencyKey = RelayWording::eventKey(p.threadKey, event, chunk);
    return p;
}

FakeHttpServer::Request request(const QByteArray& body)
{
    FakeHttpServer::Request r;
    r.method = "POST";
    r.target = r.path = notifyPath;
    r.headers = {{"authorization", "Bearer " + token.toUtf8()}, {"content-type", "application/json"}};
    r.body = body;
    r.bodySize = body.size();
    return r;
}

QString tsOf(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object().value(u"thread_ts"_s).toString();
}

TEST(FakeRelayServer, KeepsOneThreadPerSessionAndAnswersARepeatedKeyOnce)
{
    FakeRelayServer relay(token);
    const auto parent =
        relay.answer(request(*payload(QString::fromLatin1(RelayEvent::sessionStarted)).encode()));
    ASSERT_EQ(parent.status, 200) << relay.violations().join(u"; "_s).toStdString();
    const QString ts = tsOf(parent.body);
    ASSERT_FALSE(ts.isEmpty());

    const QByteArray reply = *payload(QString::fromLatin1(RelayEvent::chunkReady), ts).encode();
    const auto first = relay.answer(request(reply));
    EXPECT_EQ(first.status, 200);
    const auto again = relay.answer(request(reply));
    EXPECT_EQ(again.body, first.body) << "a repeated key gets the first answer";
    EXPECT_EQ(relay.answer(request(*payload(QString::fromLatin1(RelayEvent::sessionStarted)).encode())).body,
              parent.body);
    ASSERT_EQ(relay.threads().size(), 1);
    EXPECT_EQ(relay.threads().front().messages.size(), 2);

    relay.setDeduplication(false);
    relay.answer(request(reply));
    EXPECT_EQ(relay.messagesWithKey(payload(QString::fromLatin1(RelayEvent::chunkReady)).idempotencyKey), 2);
    EXPECT_TRUE(relay.violations().isEmpty()) << relay.violations().join(u"; "_s).toStdString();
}

TEST(FakeRelayServer, RefusesEveryDeviationFromTheWireForm)
{
    FakeRelayServer relay(token);
    const QString ts =
        tsOf(relay.answer(request(*payload(QString::fromLatin1(RelayEvent::sessionStarted)).encode())).body);
    const QByteArray good = *payload(QString::fromLatin1(RelayEvent::chunkReady), ts).encode();
    ASSERT_EQ(relay.answer(request(good)).status, 200);

    const auto replaced = [&good](const QByteArray& from, const QByteArray& to) {
        QByteArray body = good;
        return body.replace(from, to);
    };
    struct Case {
        const char* name;
        FakeHttpServer::Request request;
    };
    QList<Case> cases;
    FakeHttpServer::Request r = request(good);
    r.method = "PUT";
    cases.append({"method", r});
    r = request(good);
    r.target = notifyPath + "?x=1";
    r.query = "x=1";
    cases.append({"query", r});
    r = request(good);
    r.path = r.target = notifyPath + "/";
    cases.append({"path", r});
    r = request(good);
    r.headers["authorization"] = "Bearer other";
    cases.append({"token", r});
    r = request(good);
    r.headers.remove("content-type");
    cases.append({"content type", r});
    cases.append({"escaped slash", request(replaced("@Pelko note", "a\\/b"))});
    cases.append(
        {"order", request(replaced(R"("event":"recording.chunk.ready","kind":"recording.chunk.ready")",
                                   R"("kind":"recording.chunk.ready","event":"recording.chunk.ready")"))});
    cases.append(
        {"undeclared", request(replaced(R"("source":"ebb-cast")", R"("source":"ebb-cast","extra":1)"))});
    cases.append({"null", request(replaced(R"("track":"microphone")", R"("track":null)"))});
    cases.append({"integer", request(replaced(R"("chunk_index":1)", R"("chunk_index":1.5)"))});
    cases.append({"required", request(replaced(R"("recorder_name":"Desk",)", ""))});
    cases.append({"kind", request(replaced(R"("kind":"recording.chunk.ready")", R"("kind":"other")"))});
    cases.append({"key", request(replaced(R"(microphone:1")", R"(microphone:2")"))});
    cases.append({"thread", request(replaced(ts.toUtf8(), "1.1"))});
    cases.append(
        {"repeated", request(replaced(R"("source":"ebb-cast")", R"("source":"ebb-cast","source":"x")"))});
    cases.append({"not an object", request("[1]")});
    QByteArray parentWithTs = *payload(QString::fromLatin1(RelayEvent::sessionStarted), ts).encode();
    cases.append({"parent with thread", request(parentWithTs)});

    qsizetype violations = relay.violations().size();
    for (const Case& c : cases) {
        EXPECT_EQ(relay.answer(c.request).status, 400) << c.name;
        EXPECT_EQ(relay.violations().size(), ++violations) << c.name;
    }
    EXPECT_EQ(relay.threads().front().messages.size(), 2) << "nothing refused was recorded";
}

} // namespace
} // namespace ebbcast
