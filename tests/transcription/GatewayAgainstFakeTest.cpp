#include "GatewayTestSupport.h"
#include "support/FakeGlossenGateway.h"
#include "support/FakeHttpServer.h"
#include "support/TemporaryFolder.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/GlossenGatewayError.h"
#include "transcription/GlossenReplyError.h"
#include "transcription/GlossenTransportError.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

// The client against the strict fake gateway: every request it makes must pass the fake's wire checks.

namespace ebbcast {
namespace {

using test::FakeGlossenGateway;
using test::FakeHttpServer;
using Route = FakeGlossenGateway::Route;

const QString token = u"gateway-secret-7f3a"_s;

GlossenChunkUploadMetadata metadataFor(const QString& sessionID, const QString& fileName)
{
    GlossenChunkUploadMetadata metadata;
    metadata.recorderID = u"rec-1"_s;
    metadata.recorderName = u"Desk \"A\" \\ 2"_s;
    metadata.sessionID = sessionID;
    metadata.recordingName = u"Weekly"_s;
    metadata.threadKey = u"ebbcast:rec-1:"_s + sessionID;
    metadata.chunkIndex = 0;
    metadata.chunkKind = u"microphone"_s;
    metadata.sessionStartTime = QDateTime(QDate(2026, 12, 6), QTime(9, 15, 2), Qt::UTC);
    metadata.chunkStartTime = QDateTime(QDate(2026, 12, 6), QTime(9, 15, 2, 400), Qt::UTC);
    metadata.chunkEndTime = QDateTime(QDate(2026, 12, 6), QTime(9, 20, 2), Qt::UTC);
    metadata.chunkDuration = 300;
    metadata.chunkStartOffsetSeconds = 0;
    metadata.chunkEndOffsetSeconds = 300;
    metadata.chunkTimecodeStart = u"00:00:00.000"_s;
    metadata.chunkTimecodeEnd = u"00:05:00.000"_s;
    metadata.clockSyncStatus = u"synced"_s;
    metadata.clockOffsetMilliseconds = -3.5;
    metadata.localFileName = fileName;
    return metadata;
}

class GatewayAgainstFakeTest : public ::testing::Test {
protected:
    GatewayAgainstFakeTest()
        : gateway_(server_, {token, u"/gw"_s})
        , client_(
              [this] {
                  return GlossenGatewaySettings{gateway_.baseUrl().toString() + u"\n"_s, token};
              },
              network_, options())
    {}

    static GlossenGatewayClient::Options options()
    {
        GlossenGatewayClient::Options options;
        options.inactivityTimeoutMs = 5000;
        options.getDeadlineMs = 20'000;
        return options;
    }

    QString chunkFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = folder_.file(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    void expectNoViolations()
    {
        EXPECT_TRUE(server_.violations().isEmpty()) << server_.violations().join(u"\n"_s).toStdString();
    }

    test::TemporaryFolder folder_;
    FakeHttpServer server_;
    FakeGlossenGateway gateway_;
    QNetworkAccessManager network_;
    GlossenGatewayClient client_;
};

TEST_F(GatewayAgainstFakeTest, AChunkGoesThroughUploadPollListAndDownloadWithoutAViolation)
{
    FakeGlossenGateway::JobScript script;
    script.states = {u"queued"_s, u"running"_s, u"completed"_s};
    script.glossenJobId = u"g-9"_s;
    script.completedAt = u"2026-12-06T09:21:00Z"_s;
    script.collectionId = u"col-1"_s;
    script.artifacts = {{4, u"transcript"_s, u"sha256:ab"_s, 11, "hello world"}};
    gateway_.scriptJob(script);

    QByteArray audio(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<char>((i * 131) >> 3);
    const QString session = u"2026-12-06_09-15-02"_s;
    const QString path = chunkFile(u"mic_chunk_0000.WAV"_s, audio);

    const GlossenUploadResponse uploaded =
        test::runTask(client_.uploadChunk(session, metadataFor(session, u"mic_chunk_0000.WAV"_s), path));
    EXPECT_EQ(uploaded.collectionID, u"col-1"_s);
    QStringList states;
    for (int poll = 0; poll < 3; ++poll)
        states << test::runTask(client_.getJob(uploaded.gatewayJobID)).job.state;
    EXPECT_EQ(states, (QStringList{u"queued"_s, u"running"_s, u"completed"_s}));
    const GlossenArtifactsResponse listed = test::runTask(client_.listArtifacts(uploaded.gatewayJobID));
    ASSERT_EQ(listed.artifacts.size(), 1U);
    EXPECT_EQ(test::runTask(client_.downloadArtifact(uploaded.gatewayJobID, listed.artifacts[0].id,
                                                     listed.artifacts[0].sizeBytes)),
              QByteArray("hello world"));

    expectNoViolations();
    const QList<FakeGlossenGateway::Upload> uploads = gateway_.uploads();
    ASSERT_EQ(uploads.size(), 1);
    EXPECT_EQ(uploads[0].sessionId, session);
    EXPECT_EQ(uploads[0].fileName, QByteArray("mic_chunk_0000.WAV"));
    EXPECT_EQ(uploads[0].mediaType, QByteArray("audio/wav"));
    EXPECT_EQ(uploads[0].fileSize, audio.size());
    EXPECT_EQ(uploads[0].fileSha256, QCryptographicHash::hash(audio, QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(uploads[0].metadata.value(u"recorder_name"_s).toString(), u"Desk \"A\" \\ 2"_s);
    EXPECT_FALSE(uploads[0].metadata.contains(u"drive_url"_s)) << "unset optionals stay out";
}

TEST_F(GatewayAgainstFakeTest, HostileIdsFromTheGatewayComeBackOnTheirOwnRoute)
{
    const QStringList hostile{u"a/b"_s, u"../x"_s, u"x?y#z"_s, u"%41"_s, u"ü"_s, u"sp ace"_s};
    constexpr qint64 bigArtifact = (qint64(1) << 53) + 1;
    for (const QString& id : hostile) {
        FakeGlossenGateway::JobScript script;
        script.id = id;
        script.artifacts = {{bigArtifact, u"transcript"_s, std::nullopt, std::nullopt, "text"}};
        gateway_.scriptJob(script);
    }
    const QString session = u"session ü/../1"_s;
    const QString path = chunkFile(u"system_chunk_0001.m4a"_s, "m4a bytes");
    for (const QString& id : hostile) {
        SCOPED_TRACE(id.toStdString());
        const auto uploaded = test::runTask(
            client_.uploadChunk(session, metadataFor(session, u"system_chunk_0001.m4a"_s), path));
        ASSERT_EQ(uploaded.gatewayJobID, id);
        EXPECT_EQ(test::runTask(client_.getJob(id)).job.gatewayJobID, id);
        const auto listed = test::runTask(client_.listArtifacts(id));
        ASSERT_EQ(listed.artifacts.size(), 1U);
        EXPECT_EQ(listed.artifacts[0].id, bigArtifact);
        EXPECT_EQ(test::runTask(client_.downloadArtifact(id, bigArtifact)), QByteArray("text"));
    }
    expectNoViolations();
    for (const auto& exchange : gateway_.exchanges()) {
        if (exchange.route == Route::upload) {
            EXPECT_EQ(exchange.ids.value(0), session);
            EXPECT_EQ(exchange.upload->mediaType, QByteArray("audio/mp4"));
        }
    }
    QSet<QByteArray> boundaries;
    for (const auto& upload : gateway_.uploads())
        boundaries.insert(upload.boundary);
    EXPECT_EQ(boundaries.size(), hostile.size()) << "a new boundary for every upload";
}

TEST_F(GatewayAgainstFakeTest, RepliesTheGatewayCorruptsFailTheCallThatReadsThem)
{
    using Kind = FakeGlossenGateway::Corruption::Kind;
    FakeGlossenGateway::JobScript script;
    script.artifacts = {{1, u"transcript"_s, std::nullopt, 4, "text"}};
    gateway_.setDefaultScript(script);
    const QString session = u"s-1"_s;
    const QString path = chunkFile(u"chunk.caf"_s, "caf");
    const auto upload = [&] {
        return client_.uploadChunk(session, metadataFor(session, u"chunk.caf"_s), path);
    };
    const QString job = test::runTask(upload()).gatewayJobID;
    EXPECT_EQ(gateway_.uploads().value(0).mediaType, QByteArray("application/octet-stream"));

    struct Case {
        const char* name;
        Route route;
        FakeGlossenGateway::Corruption corruption;
        QString expected; // the start of the error text
    };
    const QList<Case> cases{
        {"malformed upload reply", Route::upload, {Kind::malformedJson}, u""_s},
        {"job without state", Route::job, {Kind::missingMember, u"job.state"_s}, u""_s},
        {"artifact id as text", Route::artifacts, {Kind::mistypedMember, u"artifacts.0.id"_s}, u""_s},
        {"another job's state", Route::job, {Kind::otherJobId}, u""_s},
        {"another job's artifacts", Route::artifacts, {Kind::otherJobId}, u""_s},
        {"a redirect",
         Route::job,
         {Kind::redirect, {}, 0, "http://127.0.0.1:9/elsewhere"},
         u"Glossen Gateway request failed: HTTP 302, a redirect (not followed)"_s},
        {"a huge artifact list", Route::artifacts, {Kind::hugeBody, {}, 8 * 1024 * 1024}, u""_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gateway_.clearFaults();
        gateway_.addCorruption({c.route}, c.corruption);
        QString outcome;
        switch (c.route) {
        case Route::upload:
            outcome = test::outcomeOf(upload());
            break;
        case Route::job:
            outcome = test::outcomeOf(client_.getJob(job));
            break;
        case Route::artifacts:
            outcome = test::outcomeOf(client_.listArtifacts(job));
            break;
        case Route::download:
            break;
        }
        EXPECT_NE(outcome, u"(succeeded)"_s);
        EXPECT_TRUE(outcome.startsWith(c.expected)) << outcome.toStdString();
        EXPECT_FALSE(outcome.contains(token));
    }
    expectNoViolations();
}

TEST_F(GatewayAgainstFakeTest, TheFakeRefusesAWrongTokenAndTheErrorDoesNotShowEitherToken)
{
    GlossenGatewayClient wrong(
        [this] {
            return GlossenGatewaySettings{gateway_.baseUrl().toString(), u"other-9"_s};
        },
        network_, options());
    const auto error = test::failureOf<GlossenGatewayError>(wrong.getJob(u"job-1"_s));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description().startsWith(u"Glossen Gateway request failed: "_s));
    EXPECT_FALSE(error->description().contains(u"other-9"_s));
    EXPECT_FALSE(error->description().contains(token));
    EXPECT_FALSE(server_.violations().isEmpty()) << "the fake notices the wrong token";
}

} // namespace
} // namespace ebbcast
