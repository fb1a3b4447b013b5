#include "support/FakeGlossenGateway.h"

#include "support/GatewayRequests.h"
#include "support/GatewayScenario.h"
#include "support/MultipartReader.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

using Gateway = FakeGlossenGateway;
using Headers = QList<std::pair<QByteArray, QByteArray>>;

constexpr qint64 beyondDoublePrecision = (1LL << 53) + 1;

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

class FakeGlossenGatewayTest : public ::testing::Test {
protected:
    static constexpr const char* token = "secret-token";

    Headers authorized(Headers more = {}) const
    {
        more.prepend({"Authorization", QByteArray("Bearer ") + token});
        return more;
    }

    RawAnswer upload(const HandMadeUpload& made, const QByteArray& session = "session-1")
    {
        return sendRaw(server_.port(), "POST", "/gw/v1/ebbcast/sessions/" + session + "/chunks",
                       authorized({{"Content-Type", made.contentType()}}), made.body());
    }

    RawAnswer get(const QByteArray& target, const Headers& headers = {})
    {
        return sendRaw(server_.port(), "GET", target, headers.isEmpty() ? authorized() : headers);
    }

    QString violations() const { return server_.violations().join(u"\n"_s); }

    FakeHttpServer server_;
    Gateway gateway_{server_, {.token = QString::fromLatin1(token), .prefix = u"/gw"_s}};
};

TEST_F(FakeGlossenGatewayTest, AnUploadIsRecordedAndItsJobFollowsTheScript)
{
    gateway_.scriptJob({.id = u"job-a"_s,
                        .states = {u"queued"_s, u"running"_s, u"completed"_s},
                        .glossenJobId = u"g-7"_s,
                        .completedAt = u"2024-05-01T10:09:00Z"_s,
                        .collectionId = u"col-1"_s,
                        .artifacts = {{.id = beyondDoublePrecision,
                                       .type = u"transcript"_s,
                                       .checksum = u"sha256:abc"_s,
                                       .sizeBytes = 5,
                                       .content = "hello"},
                                      {.id = 2}}});
    const HandMadeUpload made;
    const RawAnswer uploaded = upload(made);
    ASSERT_EQ(uploaded.status, 200) << uploaded.body.toStdString();
    const QJsonObject reply = uploaded.json();
    EXPECT_EQ(reply.value(u"gateway_job_id"_s).toString(), u"job-a"_s);
    EXPECT_EQ(reply.value(u"ebbcast_chunk_id"_s).toString(), u"chunk-1"_s);
    EXPECT_EQ(reply.value(u"status_url"_s).toString(), gateway_.baseUrl().toString() + u"/v1/jobs/job-a"_s);
    EXPECT_EQ(reply.value(u"collection_id"_s).toString(), u"col-1"_s);

    ASSERT_EQ(gateway_.uploads().size(), 1);
    const Gateway::Upload recorded = gateway_.uploads()[0];
    EXPECT_EQ(recorded.sessionId, u"session-1"_s);
    EXPECT_EQ(recorded.boundary, made.boundary);
    EXPECT_EQ(recorded.metadata, made.metadata);
    EXPECT_EQ(recorded.fileName, "mic-0003.wav");
    EXPECT_EQ(recorded.mediaType, "audio/wav");
    EXPECT_EQ(recorded.fileSize, made.file.size());
    EXPECT_EQ(recorded.fileSha256, sha256(made.file));
    EXPECT_EQ(recorded.fileHead, made.file);
    EXPECT_EQ(recorded.jobId, u"job-a"_s);

    // Each poll moves one state on; the last one stays, with the completion time.
    const QStringList expected{u"queued"_s, u"running"_s, u"completed"_s, u"completed"_s};
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const QJsonObject job = get("/gw/v1/jobs/job-a").json().value(u"job"_s).toObject();
        EXPECT_EQ(job.value(u"id"_s).toString(), u"job-a"_s);
        EXPECT_EQ(job.value(u"state"_s).toString(), expected[i]) << i;
        EXPECT_EQ(job.value(u"glossen_job_id"_s).toString(), u"g-7"_s);
        EXPECT_EQ(job.contains(u"completed_at"_s), i >= 2) << i;
    }
    EXPECT_EQ(gateway_.polls(u"job-a"_s), 4);

    const RawAnswer listed = get("/gw/v1/jobs/job-a/artifacts");
    EXPECT_EQ(listed.json().value(u"gateway_job_id"_s).toString(), u"job-a"_s);
    EXPECT_TRUE(listed.body.contains("\"id\":9007199254740993")) << listed.body.toStdString();
    const QJsonArray artifacts = listed.json().value(u"artifacts"_s).toArray();
    ASSERT_EQ(artifacts.size(), 2);
    EXPECT_EQ(artifacts[0].toObject().value(u"size_bytes"_s).toInteger(), 5);
    EXPECT_EQ(artifacts[1].toObject().keys(), QStringList{u"id"_s}) << "unset optionals are left out";
    EXPECT_EQ(get("/gw/v1/jobs/job-a/artifacts/9007199254740993/download").body, "hello");

    EXPECT_TRUE(server_.violations().isEmpty()) << violations().toStdString();
    ASSERT_EQ(gateway_.exchanges().size(), 1 + 4 + 1 + 1);
    EXPECT_EQ(gateway_.exchanges().last().route, Gateway::Route::download);
    EXPECT_EQ(gateway_.exchanges().last().ids, (QStringList{u"job-a"_s, u"9007199254740993"_s}));
}

// A QNetworkAccessManager adds headers of its own (Accept-Encoding, Accept-Language, User-Agent, Connection):
// a client built on it must pass.
TEST_F(FakeGlossenGatewayTest, AQtClientsRequestsPassUnflagged)
{
    QNetworkAccessManager network;
    const auto send = [&](QNetworkReply* reply) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        const QByteArray body = reply->readAll();
        reply->deleteLater();
        return body;
    };
    const HandMadeUpload made;
    QNetworkRequest post(QUrl(gateway_.baseUrl().toString() + u"/v1/ebbcast/sessions/session-1/chunks"_s));
    post.setRawHeader("Authorization", QByteArray("Bearer ") + token);
    post.setRawHeader("Content-Type", made.contentType());
    const QJsonObject reply = QJsonDocument::fromJson(send(network.post(post, made.body()))).object();
    ASSERT_EQ(reply.value(u"gateway_job_id"_s).toString(), u"job-1"_s) << violations().toStdString();

    QNetworkRequest poll(QUrl(reply.value(u"status_url"_s).toString()));
    poll.setRawHeader("Authorization", QByteArray("Bearer ") + token);
    EXPECT_TRUE(send(network.get(poll)).contains("\"state\":\"completed\""));
    EXPECT_TRUE(server_.violations().isEmpty()) << violations().toStdString();
}

TEST_F(FakeGlossenGatewayTest, BadUploadsAreFlaggedAndCreateNoJob)
{
    struct Case {
        const char* name;
        std::function<void(HandMadeUpload&)> change;
        QString violation;
    };
    const auto metadata = [](const char* key, QJsonValue value) {
        return [key, value](HandMadeUpload& made) {
            if (value.isUndefined())
                made.metadata.remove(QLatin1StringView(key));
            else
                made.metadata.insert(QLatin1StringView(key), value);
        };
    };
    const auto rawMetadata = [](QByteArray json) {
        return [json](HandMadeUpload& made) {
            made.metadataJson = json;
        };
    };
    const Case cases[] = {
        {"no closing delimiter", [](HandMadeUpload& made) { made.ending = ""; }, u"without the closing"_s},
        {"closing delimiter without its line break",
         [](HandMadeUpload& made) { made.ending = "\r\n--" + made.boundary + "--"; },
         u"without the closing"_s},
        {"bytes after the closing delimiter",
         [](HandMadeUpload& made) { made.ending = "\r\n--" + made.boundary + "--\r\nmore"; },
         u"bytes after the closing"_s},
        {"filename on the metadata",
         [](HandMadeUpload& made) {
             made.metadataHeaders =
                 "Content-Disposition: form-data; name=\"metadata\"; filename=\"m.json\"\r\n"
                 "Content-Type: application/json\r\n";
         },
         u"first part's headers"_s},
        {"metadata as text",
         [](HandMadeUpload& made) { made.metadataHeaders.replace("application/json", "text/plain"); },
         u"first part's headers"_s},
        {"parts swapped", [](HandMadeUpload& made) { made.swapParts = true; }, u"first part's headers"_s},
        {"a third part",
         [](HandMadeUpload& made) { made.file += "\r\n--" + made.boundary + "\r\nX-Extra: 1\r\n\r\nextra"; },
         u"3 parts, not 2"_s},
        {"no filename on the file",
         [](HandMadeUpload& made) { made.fileHeaders.replace("; filename=\"mic-0003.wav\"", ""); },
         u"second part's headers"_s},
        {"media type not the extension's",
         [](HandMadeUpload& made) { made.fileHeaders.replace("mic-0003.wav", "mic-0003.m4a"); },
         u"is not \"audio/mp4\""_s},
        {"unknown member", metadata("chunk_color", u"red"_s), u"unknown metadata member \"chunk_color\""_s},
        {"null member", metadata("drive_url", QJsonValue::Null), u"\"drive_url\" is null"_s},
        {"required member missing", metadata("chunk_kind", QJsonValue::Undefined),
         u"\"chunk_kind\" is missing"_s},
        {"another session", metadata("session_id", u"session-2"_s), u"is not the path's"_s},
        {"integer as text", metadata("chunk_index", u"3"_s), u"\"chunk_index\" is not an integer"_s},
        {"integer with a fraction", rawMetadata(R"({"chunk_index": 3.5})"),
         u"\"chunk_index\" is not an integer"_s},
        {"integer as a float", rawMetadata(R"({"chunk_index": 3.0})"),
         u"\"chunk_index\" is not an integer"_s},
        {"integer with an exponent", rawMetadata(R"({"chunk_index": 1e2})"),
         u"\"chunk_index\" is not an integer"_s},
        {"member twice", rawMetadata(R"({"chunk_index": 3, "chunk_index": 3})"),
         u"\"chunk_index\" appears twice"_s},
        {"number as text", metadata("chunk_duration", u"300"_s), u"\"chunk_duration\" is not a number"_s},
        {"date with fractions", metadata("chunk_start_time", u"2024-05-01T10:00:00.000Z"_s),
         u"is not a date"_s},
        {"date with an offset", metadata("chunk_end_time", u"2024-05-01T12:05:00+02:00"_s),
         u"is not a date"_s},
        {"impossible date", metadata("session_start_time", u"2024-02-30T10:00:00Z"_s), u"is not a date"_s},
        {"timecode without milliseconds", metadata("chunk_timecode_end", u"00:20:00"_s),
         u"is not a timecode"_s},
        {"unknown track kind", metadata("chunk_kind", u"camera"_s),
         u"\"chunk_kind\" is not \"microphone\""_s},
        {"metadata not JSON", rawMetadata("{\"recorder_id\": "), u"not a JSON object"_s},
        {"metadata an array", rawMetadata("[]"), u"not a JSON object"_s},
        {"lower-case boundary",
         [](HandMadeUpload& made) {
             made.boundary = "Boundary-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
         },
         u"is not \"Boundary-\" and an upper-case random UUID"_s},
        {"boundary of another form", [](HandMadeUpload& made) { made.boundary = "----formdata-1234"; },
         u"upper-case random UUID"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandMadeUpload made;
        c.change(made);
        const qsizetype before = server_.violations().size();
        const RawAnswer answer = upload(made);
        EXPECT_EQ(answer.status, 400);
        const QStringList flagged = server_.violations().mid(before);
        EXPECT_TRUE(flagged.join(u"\n"_s).contains(c.violation)) << flagged.join(u"\n"_s).toStdString();
    }
    EXPECT_TRUE(gateway_.jobIds().isEmpty());

    const Headers missingType = authorized();
    EXPECT_EQ(sendRaw(server_.port(), "POST", "/gw/v1/ebbcast/sessions/session-1/chunks", missingType,
                      HandMadeUpload().body())
                  .status,
              400);
    EXPECT_TRUE(server_.violations().last().contains(u"Content-Type \"\""_s));

    const HandMadeUpload twice;
    EXPECT_EQ(upload(twice).status, 200);
    EXPECT_EQ(upload(twice).status, 400);
    EXPECT_TRUE(server_.violations().last().contains(u"was used before"_s));
    EXPECT_EQ(gateway_.jobIds(), QStringList{u"job-1"_s});
}

TEST_F(FakeGlossenGatewayTest, OnlyTheExactBearerTokenPasses)
{
    EXPECT_EQ(upload(HandMadeUpload()).status, 200);
    const std::pair<Headers, QString> cases[] = {
        {{{"X-Other", "1"}}, u"no Authorization header"_s},
        {{{"Authorization", "Bearer wrong-token"}}, u"Authorization is not"_s},
        {{{"Authorization", "bearer secret-token"}}, u"Authorization is not"_s},
        {{{"Authorization", "Bearer  secret-token"}}, u"Authorization is not"_s},
        {{{"Authorization", "secret-token"}}, u"Authorization is not"_s},
        {{{"Authorization", "Bearer secret-token"}, {"Authorization", "Bearer secret-token"}},
         u"Authorization is not"_s},
    };
    for (const auto& [headers, violation] : cases) {
        SCOPED_TRACE(headers.last().second.toStdString());
        const RawAnswer answer = get("/gw/v1/jobs/job-1", headers);
        EXPECT_EQ(answer.status, 401);
        EXPECT_TRUE(server_.violations().last().contains(violation)) << violations().toStdString();
        EXPECT_FALSE(server_.violations().last().contains(u"secret-token"_s)) << "the token stays out";
    }
    EXPECT_EQ(gateway_.polls(u"job-1"_s), 0);
}

TEST_F(FakeGlossenGatewayTest, RequestsOffTheRoutesOrWithExtrasAreFlagged)
{
    gateway_.scriptJob({.id = u"job-1"_s, .artifacts = {{.id = 5, .content = "text"}}});
    ASSERT_EQ(upload(HandMadeUpload()).status, 200);
    struct Case {
        QByteArray method;
        QByteArray target;
        Headers headers;
        QByteArray body;
        int status;
        QString violation;
    };
    const Headers ok = authorized();
    const Case cases[] = {
        {"GET", "/v1/jobs/job-1", ok, {}, 404, u"no such route"_s},
        {"GET", "/gw/v1/jobs/job-1/", ok, {}, 404, u"no such route"_s},
        {"GET", "/gw//v1/jobs/job-1", ok, {}, 404, u"no such route"_s},
        {"GET", "/gw/v1/jobs/job-1/artifacts/5", ok, {}, 404, u"no such route"_s},
        {"GET", "/gw/v1/jobs/", ok, {}, 404, u"an unusable id \"\""_s},
        {"GET", "/gw/v1/jobs/..", ok, {}, 404, u"an unusable id \"..\""_s},
        {"GET", "/gw/v1/jobs/%2E", ok, {}, 404, u"an unusable id \".\""_s},
        {"GET", "/gw/v1/jobs/job%2", ok, {}, 404, u"broken percent escape"_s},
        {"GET", "/gw/v1/jobs/\xC3\xBC", ok, {}, 404, u"should be percent-encoded"_s},
        {"GET", "/gw/v1/jobs/%FF", ok, {}, 404, u"not UTF-8"_s},
        {"GET", "/gw/v1/jobs/job-2", ok, {}, 404, u"no job \"job-2\""_s},
        {"POST", "/gw/v1/jobs/job-1", ok, {}, 404, u"POST on the job route"_s},
        {"GET", "/gw/v1/ebbcast/sessions/session-1/chunks", ok, {}, 404, u"GET on the upload route"_s},
        {"GET", "/gw/v1/jobs/job-1?full=1", ok, {}, 400, u"a query \"full=1\""_s},
        {"GET",
         "/gw/v1/jobs/job-1",
         authorized({{"Content-Type", "application/json"}}),
         {},
         400,
         u"header content-type"_s},
        {"GET",
         "/gw/v1/jobs/job-1",
         authorized({{"Cache-Control", "no-cache"}}),
         {},
         400,
         u"header cache-control"_s},
        {"GET", "/gw/v1/jobs/job-1/artifacts", ok, "{}", 400, u"a GET with a body"_s},
        {"GET", "/gw/v1/jobs/job-1/artifacts/05/download", ok, {}, 404, u"not a decimal integer"_s},
        {"GET", "/gw/v1/jobs/job-1/artifacts/6/download", ok, {}, 404, u"no artifact 6"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.toStdString());
        const qsizetype before = server_.violations().size();
        EXPECT_EQ(sendRaw(server_.port(), c.method, c.target, c.headers, c.body).status, c.status);
        const QStringList flagged = server_.violations().mid(before);
        EXPECT_TRUE(flagged.join(u"\n"_s).contains(c.violation)) << flagged.join(u"\n"_s).toStdString();
    }
    EXPECT_EQ(gateway_.polls(u"job-1"_s), 0) << "flagged requests do not count as polls";
}

TEST_F(FakeGlossenGatewayTest, HostileIdsArriveIntactOnTheirRoutes)
{
    const QStringList ids{u"a/b"_s, u"../x"_s, u"x?y#z"_s, u"%41"_s, u"\u00fc"_s, u"sp ace"_s};
    for (const QString& id : ids)
        gateway_.scriptJob({.id = id, .artifacts = {{.id = beyondDoublePrecision, .content = id.toUtf8()}}});
    for (const QString& id : ids) {
        SCOPED_TRACE(id.toStdString());
        HandMadeUpload made;
        made.metadata.insert(u"session_id"_s, id);
        const QByteArray segment = QUrl::toPercentEncoding(id);
        const RawAnswer uploaded = upload(made, segment);
        ASSERT_EQ(uploaded.status, 200) << uploaded.body.toStdString();
        EXPECT_EQ(uploaded.json().value(u"gateway_job_id"_s).toString(), id);
        EXPECT_EQ(gateway_.exchanges().last().ids, QStringList{id}) << "the session id";

        // The status URL names the job as one segment.
        const QUrl status(uploaded.json().value(u"status_url"_s).toString());
        EXPECT_EQ(status.path(QUrl::FullyEncoded).toLatin1(), QByteArray("/gw/v1/jobs/" + segment));
        EXPECT_EQ(get("/gw/v1/jobs/" + segment).json().value(u"job"_s).toObject().value(u"id"_s).toString(),
                  id);
        EXPECT_EQ(get("/gw/v1/jobs/" + segment + "/artifacts").json().value(u"gateway_job_id"_s).toString(),
                  id);
        EXPECT_EQ(get("/gw/v1/jobs/" + segment + "/artifacts/9007199254740993/download").body, id.toUtf8());
        EXPECT_EQ(gateway_.exchanges().last().route, Gateway::Route::download);
        EXPECT_EQ(gateway_.exchanges().last().ids, (QStringList{id, u"9007199254740993"_s}));
    }
    EXPECT_EQ(gateway_.jobIds(), ids);
    EXPECT_TRUE(server_.violations().isEmpty()) << violations().toStdString();
}

TEST_F(FakeGlossenGatewayTest, FaultsHitTheNthRequestOfARouteAndKeepOrChangeTheState)
{
    gateway_.addFault({.route = Gateway::Route::upload, .request = 2},
                      FakeHttpServer::Fault::withStatus(503, "busy"));
    EXPECT_EQ(upload(HandMadeUpload()).status, 200);
    const RawAnswer busy = upload(HandMadeUpload());
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, "busy");
    EXPECT_EQ(gateway_.exchanges().last().trouble, u"status 503"_s);
    EXPECT_EQ(gateway_.exchanges().last().status, 200) << "the answer the fault replaced";
    EXPECT_EQ(upload(HandMadeUpload()).status, 200);
    EXPECT_EQ(gateway_.jobIds(), (QStringList{u"job-1"_s, u"job-2"_s})) << "the refused upload made no job";

    gateway_.addFault({.route = Gateway::Route::upload},
                      FakeHttpServer::Fault::resetBeforeAnswer().afterHandler());
    EXPECT_EQ(upload(HandMadeUpload()).status, 0) << "no answer";
    EXPECT_EQ(gateway_.jobIds().size(), 3) << "the job exists although its answer was lost";

    gateway_.addFault({.route = Gateway::Route::job, .sticky = true}, FakeHttpServer::Fault::withStatus(500));
    EXPECT_EQ(get("/gw/v1/jobs/job-1").status, 500);
    EXPECT_EQ(get("/gw/v1/jobs/job-1").status, 500);
    EXPECT_EQ(gateway_.polls(u"job-1"_s), 0);
    EXPECT_TRUE(server_.violations().isEmpty()) << violations().toStdString();
}

TEST_F(FakeGlossenGatewayTest, CorruptedRepliesBreakWhatTheClientDecodes)
{
    using K = Gateway::Corruption::Kind;
    using Route = Gateway::Route;
    gateway_.setDefaultScript({.states = {u"running"_s}, .artifacts = {{.id = 4, .content = "text"}}});
    ASSERT_EQ(upload(HandMadeUpload()).status, 200);
    ASSERT_EQ(upload(HandMadeUpload()).status, 200);
    struct Case {
        const char* name;
        Route route;
        Gateway::Corruption corruption;
        std::function<void(const RawAnswer&)> check;
    };
    const auto job = [](const RawAnswer& answer) {
        return answer.json().value(u"job"_s).toObject();
    };
    const Case cases[] = {
        {"malformed JSON",
         Route::job,
         {.kind = K::malformedJson},
         [](const RawAnswer& answer) {
             QJsonParseError error;
             QJsonDocument::fromJson(answer.body, &error);
             EXPECT_NE(error.error, QJsonParseError::NoError);
         }},
        {"state missing",
         Route::job,
         {.kind = K::missingMember},
         [&](const RawAnswer& answer) {
             EXPECT_FALSE(job(answer).contains(u"state"_s));
             EXPECT_EQ(job(answer).value(u"id"_s).toString(), u"job-1"_s);
         }},
        {"job missing",
         Route::job,
         {.kind = K::missingMember, .member = u"job"_s},
         [](const RawAnswer& answer) {
             EXPECT_TRUE(answer.json().isEmpty());
         }},
        {"state mistyped",
         Route::job,
         {.kind = K::mistypedMember},
         [&](const RawAnswer& answer) {
             EXPECT_EQ(job(answer).value(u"state"_s), QJsonValue(42));
         }},
        {"artifact id mistyped",
         Route::artifacts,
         {.kind = K::mistypedMember},
         [](const RawAnswer& answer) {
             const QJsonValue id = answer.json().value(u"artifacts"_s).toArray()[0].toObject().value(u"id"_s);
             EXPECT_EQ(id, QJsonValue(u"4"_s));
         }},
        {"upload id missing",
         Route::upload,
         {.kind = K::missingMember},
         [](const RawAnswer& answer) {
             EXPECT_FALSE(answer.json().contains(u"gateway_job_id"_s));
             EXPECT_TRUE(answer.json().contains(u"status_url"_s));
         }},
        {"another job's id",
         Route::job,
         {.kind = K::otherJobId},
         [&](const RawAnswer& answer) {
             EXPECT_EQ(job(answer).value(u"id"_s).toString(), u"job-2"_s);
         }},
        {"another job's artifacts",
         Route::artifacts,
         {.kind = K::otherJobId, .otherJobId = u"job-9"_s},
         [](const RawAnswer& answer) {
             EXPECT_EQ(answer.json().value(u"gateway_job_id"_s).toString(), u"job-9"_s);
         }},
        {"redirect",
         Route::download,
         {.kind = K::redirect, .location = "http://127.0.0.1:9/elsewhere"},
         [](const RawAnswer& answer) {
             EXPECT_EQ(answer.status, 302);
             EXPECT_EQ(answer.header("location"), "http://127.0.0.1:9/elsewhere");
         }},
        {"huge body",
         Route::download,
         {.kind = K::hugeBody, .bytes = 3 * 1024 * 1024},
         [](const RawAnswer& answer) {
             EXPECT_EQ(answer.status, 200);
             EXPECT_EQ(answer.body.size(), 3 * 1024 * 1024);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gateway_.clearFaults();
        gateway_.addCorruption({.route = c.route}, c.corruption);
        if (c.route == Route::upload) {
            c.check(upload(HandMadeUpload()));
            continue;
        }
        const QByteArray target = c.route == Route::job         ? "/gw/v1/jobs/job-1"
                                  : c.route == Route::artifacts ? "/gw/v1/jobs/job-1/artifacts"
                                                                : "/gw/v1/jobs/job-1/artifacts/4/download";
        c.check(get(target));
        EXPECT_FALSE(gateway_.exchanges().last().trouble.isEmpty());
        const RawAnswer next = get(target);
        EXPECT_EQ(next.status, 200) << "only the first request";
        EXPECT_TRUE(c.route == Route::download || !next.json().isEmpty());
    }
    EXPECT_EQ(gateway_.exchanges()[gateway_.exchanges().size() - 2].trouble,
              u"huge body, oversized body of 3145728 bytes"_s);
    EXPECT_TRUE(server_.violations().isEmpty()) << violations().toStdString();
}

// The reader must find the same parts however the body is cut into pieces, also when a piece ends inside a
// delimiter or inside something that only looks like the start of one.
TEST(MultipartReaderTest, PartsAreTheSameHoweverTheBodyArrives)
{
    const HandMadeUpload made;
    const QByteArray body = made.body();
    for (const qsizetype piece : {qsizetype(1), qsizetype(2), qsizetype(7), qsizetype(45), body.size()}) {
        SCOPED_TRACE(piece);
        MultipartReader reader(made.boundary, 16);
        for (qsizetype at = 0; at < body.size(); at += piece)
            reader.take(body.mid(at, piece));
        EXPECT_TRUE(reader.closed());
        EXPECT_TRUE(reader.problems().isEmpty()) << reader.problems().join(u"; "_s).toStdString();
        ASSERT_EQ(reader.parts().size(), 2);
        const MultipartReader::Part& file = reader.parts()[1];
        EXPECT_EQ(file.headers.value(1), (std::pair<QByteArray, QByteArray>{"Content-Type", "audio/wav"}));
        EXPECT_EQ(file.size, made.file.size());
        EXPECT_EQ(file.sha256, sha256(made.file));
        EXPECT_EQ(file.head, made.file.left(16)) << "only the first bytes are kept";
        EXPECT_EQ(reader.parts()[0].sha256,
                  sha256(QJsonDocument(made.metadata).toJson(QJsonDocument::Compact)));
    }

    MultipartReader preamble(made.boundary);
    preamble.take(QByteArray("preamble\r\n" + body));
    EXPECT_TRUE(preamble.problems().value(0).contains(u"does not begin with"_s));
    MultipartReader headerless(made.boundary);
    headerless.take(QByteArray("--" + made.boundary + "\r\n\r\ncontent\r\n--" + made.boundary + "--\r\n"));
    EXPECT_EQ(headerless.problems(), QStringList{u"a part without headers"_s});
    MultipartReader bareLineFeed(made.boundary);
    bareLineFeed.take(QByteArray("--" + made.boundary + "\r\nA: 1\nB: 2\r\n\r\nx"));
    EXPECT_EQ(bareLineFeed.problems(false), QStringList{u"a part header line ending in a bare line feed"_s});
}

TEST(GatewayScenarioTest, AScenarioScriptsJobsAndFaultsAndRefusesWhatItDoesNotKnow)
{
    FakeHttpServer server;
    FakeGlossenGateway gateway(server, {.token = u"t"_s});
    applyGatewayScenario(R"({
        "jobs": [{"id": "a/b", "states": ["queued", "completed"], "completed_at": "2024-05-01T10:00:00Z",
                  "artifacts": [{"id": 9007199254740993, "artifact_type": "transcript", "size_bytes": 3,
                                 "content": "abc"},
                                {"id": 2, "generated_bytes": 1000}]}],
        "default_job": {"states": ["failed"]},
        "faults": [{"route": "job", "request": 2, "fault": "status", "status": 503, "body": "later"},
                   {"route": "artifacts", "corruption": "missing_member", "member": "artifacts"}]
    })",
                         gateway);
    const Headers auth{{"Authorization", "Bearer t"}};
    const auto post = [&] {
        const HandMadeUpload made;
        return sendRaw(server.port(), "POST", "/v1/ebbcast/sessions/session-1/chunks",
                       {auth[0], {"Content-Type", made.contentType()}}, made.body());
    };
    ASSERT_EQ(post().json().value(u"gateway_job_id"_s).toString(), u"a/b"_s);
    EXPECT_EQ(post().json().value(u"gateway_job_id"_s).toString(), u"job-2"_s);
    EXPECT_TRUE(sendRaw(server.port(), "GET", "/v1/jobs/a%2Fb", auth).body.contains("queued"));
    EXPECT_EQ(sendRaw(server.port(), "GET", "/v1/jobs/a%2Fb", auth).status, 503);
    EXPECT_TRUE(sendRaw(server.port(), "GET", "/v1/jobs/a%2Fb", auth).body.contains("completed_at"));
    EXPECT_TRUE(sendRaw(server.port(), "GET", "/v1/jobs/job-2", auth).body.contains("failed"));
    EXPECT_FALSE(
        sendRaw(server.port(), "GET", "/v1/jobs/a%2Fb/artifacts", auth).json().contains(u"artifacts"_s));
    EXPECT_EQ(sendRaw(server.port(), "GET", "/v1/jobs/a%2Fb/artifacts/9007199254740993/download", auth).body,
              "abc");
    EXPECT_EQ(sendRaw(server.port(), "GET", "/v1/jobs/a%2Fb/artifacts/2/download", auth).body.size(), 1000);
    EXPECT_TRUE(server.violations().isEmpty()) << server.violations().join(u"\n"_s).toStdString();

    const char* refused[] = {
        R"({"job": []})",
        R"({"jobs": [{"id": 7}]})",
        R"({"jobs": [{"states": []}]})",
        R"({"jobs": [{"artifacts": [{"id": 1.5}]}]})",
        R"({"jobs": [{"artifacts": [{"content": "x"}]}]})",
        R"({"faults": [{"route": "jobs", "fault": "hang"}]})",
        R"({"faults": [{"route": "job", "fault": "sleep"}]})",
        R"({"faults": [{"route": "job"}]})",
        R"({"faults": [{"route": "job", "fault": "hang", "corruption": "malformed_json"}]})",
        R"({"faults": [{"route": "job", "corruption": "redirect"}]})",
        R"({"faults": [{"route": "job", "fault": "hang", "bytes": 3}]})",
        R"([])",
        R"({"jobs": )",
    };
    for (const char* scenario : refused) {
        SCOPED_TRACE(scenario);
        FakeGlossenGateway other(server, {.token = u"t"_s});
        EXPECT_THROW(applyGatewayScenario(scenario, other), std::runtime_error);
    }
}

} // namespace
} // namespace ebbcast::test
