// The gateway process with a scripted recognizer: its answers to hostile requests, its queue, its restarts
// and its limits. The speech engine itself is tested in SpeechRecognitionTest.
#include "gateway/GatewayProcess.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

const QByteArray token = "6f1c0a9d2b7e4f3a8c5d1e0b9a7f6e5d4c3b2a1908f7e6d5c4b3a29180f7e6d5";

QJsonObject jsonOf(const RawReply& reply)
{
    return QJsonDocument::fromJson(reply.body).object();
}

class GatewayServerTest : public ::testing::Test {
protected:
    GatewayProcess::Options options(QStringList arguments = {}) const
    {
        GatewayProcess::Options result;
        result.program = QStringLiteral(EBBCAST_SCRIPTED_GATEWAY);
        result.dataDirectory = folder.file(u"data"_s);
        result.portFile = folder.file(u"run/port"_s);
        result.token = token;
        result.arguments = arguments;
        result.environment.insert(u"SCRIPTED_RECOGNIZER_HOLD"_s, hold());
        return result;
    }
    QString hold() const { return folder.file(u"hold"_s); }
    void release() const
    {
        QFile file(hold() + "/release"_L1);
        file.open(QIODevice::WriteOnly);
    }
    void holdAgain() const { QFile::remove(hold() + "/release"_L1); }

    void SetUp() override { QDir().mkpath(hold()); }

    static RawReply upload(quint16 port, const QString& session, const QString& kind, int index,
                           const QByteArray& audio)
    {
        return rawExchange(
            port, uploadRequest(session.toUtf8(), token,
                                chunkParts(chunkMetadata(session, kind, index), audio, "chunk.wav")));
    }
    static QString accepted(quint16 port, const QString& session, const QString& kind, int index,
                            const QByteArray& audio)
    {
        const RawReply reply = upload(port, session, kind, index, audio);
        EXPECT_EQ(reply.status, 202) << reply.body.constData();
        return jsonOf(reply).value(u"gateway_job_id"_s).toString();
    }
    static QJsonObject job(quint16 port, const QString& id)
    {
        return jsonOf(rawExchange(port, getRequest("/v1/jobs/" + id.toUtf8(), token)))
            .value(u"job"_s)
            .toObject();
    }
    static QString waitForFinal(quint16 port, const QString& id, int timeoutMs = 60'000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        QString state;
        while (!deadline.hasExpired()) {
            state = job(port, id).value(u"state"_s).toString();
            if (state == "COMPLETE"_L1 || state == "PERMANENT_FAILURE"_L1)
                break;
            QThread::msleep(50);
        }
        return state;
    }
    QJsonObject storedJob(const QString& id) const
    {
        QFile file(folder.file(u"data/jobs/%1/job.json"_s.arg(id)));
        file.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    QStringList entries(const QString& subfolder) const
    {
        return QDir(folder.file(u"data/"_s + subfolder))
            .entryList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
    }
    // Waits until `count` runs hold in the recognizer.
    bool waitForHeld(int count) const
    {
        const QDeadlineTimer deadline(60'000);
        while (!deadline.hasExpired()) {
            if (QDir(hold()).entryList({u"*.running"_s}, QDir::Files).size() >= count)
                return true;
            QThread::msleep(20);
        }
        return false;
    }

    TemporaryFolder folder;
};

TEST_F(GatewayServerTest, EveryHostileRequestIsRefusedAndTheNextValidOneWorks)
{
    GatewayProcess gateway(options({u"--workers"_s, u"1"_s}));
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
    const quint16 port = gateway.port();
    const QByteArray audio = toneWav(440, 0.5);
    const QJsonObject metadata = chunkMetadata(u"S1"_s, u"microphone"_s, 1);
    const auto with = [&](const QString& key, const QJsonValue& value) {
        QJsonObject changed = metadata;
        if (value.isUndefined())
            changed.remove(key);
        else
            changed.insert(key, value);
        return changed;
    };
    const auto uploadOf = [&](const QList<UploadPart>& parts, const QByteArray& session = "S1",
                              const QByteArray& withToken = token) {
        return uploadRequest(session, withToken, parts);
    };

    struct Case {
        const char* what;
        QByteArray request;
        QList<int> statuses;
    };
    const QList<Case> cases{
        {"no token", getRequest("/v1/health", {}), {401}},
        {"wrong token", getRequest("/v1/health", QByteArray(token).replace(0, 1, "0")), {401}},
        {"token prefix", getRequest("/v1/health", token.left(20)), {401}},
        {"upload without token", uploadOf(chunkParts(metadata, audio, "a.wav"), "S1", "nope"), {401}},
        {"dot-dot job", getRequest("/v1/jobs/..", token), {400, 404}},
        {"encoded dot-dot job", getRequest("/v1/jobs/%2e%2e", token), {400, 404}},
        {"encoded slash job", getRequest("/v1/jobs/..%2F..%2Fjobs", token), {400, 404}},
        {"encoded dot-dot artifacts", getRequest("/v1/jobs/%2e%2e/artifacts/1/download", token), {400, 404}},
        {"unknown job", getRequest("/v1/jobs/0b7c1a8e-1111-4222-8333-944455566677", token), {404}},
        {"unknown route", getRequest("/v1/secrets", token), {404}},
        {"dot-dot session", uploadOf(chunkParts(metadata, audio, "a.wav"), "%2e%2e"), {400, 404}},
        {"slash in session", uploadOf(chunkParts(metadata, audio, "a.wav"), "a%2Fb"), {400, 404}},
        {"metadata not JSON",
         uploadOf(
             {{"metadata", {}, "application/json", "{not json"}, chunkParts(metadata, audio, "a.wav")[1]}),
         {400}},
        {"metadata missing a key",
         uploadOf(chunkParts(with(u"thread_key"_s, QJsonValue::Undefined), audio, "a.wav")),
         {400}},
        {"metadata wrong type", uploadOf(chunkParts(with(u"chunk_index"_s, u"1"_s), audio, "a.wav")), {400}},
        {"metadata fractional index",
         uploadOf(chunkParts(with(u"chunk_index"_s, 1.5), audio, "a.wav")),
         {400}},
        {"metadata bad date",
         uploadOf(chunkParts(with(u"chunk_start_time"_s, u"yesterday"_s), audio, "a.wav")),
         {400}},
        {"metadata other session",
         uploadOf(chunkParts(with(u"session_id"_s, u"S2"_s), audio, "a.wav")),
         {400}},
        {"metadata other kind",
         uploadOf(chunkParts(with(u"chunk_kind"_s, u"video"_s), audio, "a.wav")),
         {400}},
        {"no file part", uploadOf({chunkParts(metadata, audio, "a.wav")[0]}), {400}},
        {"no metadata part", uploadOf({chunkParts(metadata, audio, "a.wav")[1]}), {400}},
        {"two file parts",
         uploadOf(chunkParts(metadata, audio, "a.wav") + QList{chunkParts(metadata, audio, "a.wav")[1]}),
         {400}},
        {"not multipart",
         "POST /v1/ebbcast/sessions/S1/chunks HTTP/1.1\r\nHost: x\r\nConnection: close\r\nAuthorization: "
         "Bearer " +
             token + "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}",
         {400}},
        {"text instead of audio", uploadOf(chunkParts(metadata, QByteArray(4000, 'x'), "a.wav")), {415}},
        {"empty file", uploadOf(chunkParts(metadata, {}, "a.wav")), {415}},
        {"oversized body",
         "POST /v1/ebbcast/sessions/S1/chunks HTTP/1.1\r\nHost: x\r\nConnection: close\r\nAuthorization: "
         "Bearer " +
             token +
             "\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: 700000000\r\n\r\n--B\r\n",
         {413}},
        {"huge header",
         "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Filler: " + QByteArray(20000, 'a') + "\r\n\r\n",
         {0, 400, 413, 431}}, // 0: the connection is closed without an answer
    };
    for (const Case& hostile : cases) {
        const RawReply refused = rawExchange(port, hostile.request);
        EXPECT_TRUE(refused.received || hostile.statuses.contains(0)) << hostile.what;
        EXPECT_TRUE(hostile.statuses.contains(refused.status))
            << hostile.what << ": " << refused.status << " " << refused.body.constData();
        EXPECT_LT(refused.body.size(), 300) << hostile.what;
        const RawReply health = rawExchange(port, getRequest("/v1/health", token));
        ASSERT_EQ(health.status, 200) << "after " << hostile.what;
    }
    EXPECT_TRUE(entries(u"jobs"_s).isEmpty()) << "a refused upload left a job";
    EXPECT_TRUE(entries(u"incoming"_s).isEmpty()) << "a refused upload left its bytes";

    // A truncated WAV may still hold audio: accepted or refused, it never takes the gateway down.
    const RawReply truncated = upload(port, u"S1"_s, u"microphone"_s, 7, audio.left(audio.size() / 3));
    EXPECT_TRUE(truncated.status == 202 || truncated.status == 415) << truncated.status;

    // A job that is not complete has no artifacts yet.
    const QString held = accepted(port, u"S1"_s, u"microphone"_s, 1, audio);
    ASSERT_TRUE(waitForHeld(1));
    EXPECT_EQ(rawExchange(port, getRequest("/v1/jobs/" + held.toUtf8() + "/artifacts", token)).status, 409);
    EXPECT_EQ(
        rawExchange(port, getRequest("/v1/jobs/" + held.toUtf8() + "/artifacts/1/download", token)).status,
        409);
    release();
    EXPECT_EQ(waitForFinal(port, held), u"COMPLETE"_s);
    EXPECT_EQ(
        rawExchange(port, getRequest("/v1/jobs/" + held.toUtf8() + "/artifacts/2/download", token)).status,
        404);

    // A client that sends its headers slowly holds one connection, not the gateway.
    const int slow = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_GT(::send(slow, "GET /v1/hea", 11, MSG_NOSIGNAL), 0);
    EXPECT_EQ(rawExchange(port, getRequest("/v1/health", token), 10'000).status, 200);
    ::close(slow);

    gateway.terminate();
    QFile log(folder.file(u"data/gateway.log"_s));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    EXPECT_FALSE(logged.contains(token)) << "the token reached the log";
    EXPECT_FALSE(logged.contains(token.left(16)));
    EXPECT_FALSE(logged.contains("samples ")) << "transcript text reached the log";
}

TEST_F(GatewayServerTest, TheSameChunkAgainGetsItsJobAndAnswersAreWhatTheClientReads)
{
    GatewayProcess gateway(options({u"--workers"_s, u"1"_s}));
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
    release();
    const quint16 port = gateway.port();
    const QByteArray audio = toneWav(300, 0.6);

    const RawReply first = upload(port, u"S1"_s, u"system_audio"_s, 3, audio);
    ASSERT_EQ(first.status, 202) << first.body.constData();
    const QJsonObject answer = jsonOf(first);
    const QString id = answer.value(u"gateway_job_id"_s).toString();
    EXPECT_EQ(answer.value(u"collection_id"_s).toString(), u"S1"_s);
    EXPECT_EQ(answer.value(u"status_url"_s).toString(), u"http://127.0.0.1/v1/jobs/"_s + id);
    EXPECT_FALSE(answer.value(u"ebbcast_chunk_id"_s).toString().isEmpty());

    // Metadata after the file works as well as before it; the same bytes give the same job.
    QList<UploadPart> reversed = chunkParts(chunkMetadata(u"S1"_s, u"system_audio"_s, 3), audio, "c.m4a");
    std::swap(reversed[0], reversed[1]);
    const RawReply again = rawExchange(port, uploadRequest("S1", token, reversed));
    ASSERT_EQ(again.status, 202);
    EXPECT_EQ(jsonOf(again).value(u"gateway_job_id"_s).toString(), id);
    // Other bytes, or another index, are another chunk.
    EXPECT_NE(accepted(port, u"S1"_s, u"system_audio"_s, 3, toneWav(301, 0.6)), id);
    EXPECT_NE(accepted(port, u"S1"_s, u"system_audio"_s, 4, audio), id);

    ASSERT_EQ(waitForFinal(port, id), u"COMPLETE"_s);
    const QJsonObject complete = job(port, id);
    EXPECT_EQ(complete.value(u"id"_s).toString(), id);
    EXPECT_EQ(complete.value(u"glossen_job_id"_s).toString(), u"local-scripted-"_s + id);
    EXPECT_TRUE(complete.value(u"completed_at"_s).toString().endsWith(u'Z'));

    const QJsonObject listing =
        jsonOf(rawExchange(port, getRequest("/v1/jobs/" + id.toUtf8() + "/artifacts", token)));
    const QJsonArray artifacts = listing.value(u"artifacts"_s).toArray();
    ASSERT_EQ(artifacts.size(), 1);
    const QJsonObject artifact = artifacts[0].toObject();
    EXPECT_EQ(artifact.value(u"id"_s).toInteger(), 1);
    EXPECT_EQ(artifact.value(u"artifact_type"_s).toString(), u"transcript-txt"_s);
    const RawReply download =
        rawExchange(port, getRequest("/v1/jobs/" + id.toUtf8() + "/artifacts/1/download", token));
    ASSERT_EQ(download.status, 200);
    EXPECT_TRUE(download.headers.contains("text/plain; charset=utf-8"));
    EXPECT_TRUE(download.body.startsWith("samples 9600 ")) << download.body.constData();
    EXPECT_EQ(artifact.value(u"size_bytes"_s).toInteger(), download.body.size());
    EXPECT_EQ(
        artifact.value(u"checksum"_s).toString(),
        u"sha256:"_s +
            QString::fromLatin1(QCryptographicHash::hash(download.body, QCryptographicHash::Sha256).toHex()));
    // The audio goes once the job's end is stored; the transcript stays.
    const QDeadlineTimer removal(10'000);
    while (QFile::exists(folder.file(u"data/jobs/%1/audio.wav"_s.arg(id))) && !removal.hasExpired())
        QThread::msleep(20);
    EXPECT_FALSE(QFile::exists(folder.file(u"data/jobs/%1/audio.wav"_s.arg(id))));
}

TEST_F(GatewayServerTest, WorkersNeverRunMoreThanTheirNumberAndStartInArrivalOrder)
{
    GatewayProcess gateway(options({u"--workers"_s, u"2"_s}));
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
    const quint16 port = gateway.port();
    QStringList ids;
    QMap<QString, qsizetype> samplesOf;
    for (int i = 0; i < 6; ++i) {
        const double seconds = 0.2 + 0.05 * i; // each job's audio has its own length
        ids.append(accepted(port, u"S1"_s, i % 2 ? u"system_audio"_s : u"microphone"_s, i,
                            toneWav(200 + 50 * i, seconds)));
        samplesOf[ids.last()] = qRound(seconds * 16000);
    }
    ASSERT_TRUE(waitForHeld(2));
    QThread::msleep(300);
    EXPECT_EQ(QDir(hold()).entryList({u"*.running"_s}, QDir::Files).size(), 2) << "a third job started";
    int running = 0;
    for (const QString& id : ids)
        running += job(port, id).value(u"state"_s).toString() == "RUNNING"_L1;
    EXPECT_EQ(running, 2);
    release();
    for (const QString& id : ids)
        ASSERT_EQ(waitForFinal(port, id), u"COMPLETE"_s);

    // From the stored start and end times: never more than two at once, and starts in arrival order.
    struct Span {
        QDateTime start, end;
        qint64 sequence;
    };
    QList<Span> spans;
    for (const QString& id : ids) {
        const QJsonObject stored = storedJob(id);
        spans.append({QDateTime::fromString(stored.value(u"started_at"_s).toString(), Qt::ISODate),
                      QDateTime::fromString(stored.value(u"ended_at"_s).toString(), Qt::ISODate),
                      stored.value(u"sequence"_s).toInteger()});
        const RawReply text =
            rawExchange(port, getRequest("/v1/jobs/" + id.toUtf8() + "/artifacts/1/download", token));
        EXPECT_TRUE(text.body.startsWith(QByteArray("samples " + QByteArray::number(samplesOf[id]) + " ")))
            << "job " << id.toStdString() << " got " << text.body.constData();
    }
    for (qsizetype i = 1; i < spans.size(); ++i) {
        EXPECT_GT(spans[i].sequence, spans[i - 1].sequence);
        EXPECT_LE(spans[i - 1].start, spans[i].start) << "job " << i << " started before an earlier one";
    }
    // Whole seconds: count overlaps at each start, a job ending in the same second counting as still running.
    for (const Span& at : spans) {
        int overlapping = 0;
        for (const Span& other : spans)
            overlapping += other.start <= at.start && other.end > at.start;
        EXPECT_LE(overlapping, 2);
    }
}

TEST_F(GatewayServerTest, JobsOutliveSigtermAndSigkillAndACrashingEngineFailsAfterTwoRuns)
{
    const QByteArray audio = toneWav(500, 0.4);
    QStringList ids;
    QString finished;
    {
        GatewayProcess gateway(options({u"--workers"_s, u"1"_s}));
        ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
        release();
        finished = accepted(gateway.port(), u"S1"_s, u"microphone"_s, 0, toneWav(250, 0.3));
        ASSERT_EQ(waitForFinal(gateway.port(), finished), u"COMPLETE"_s);
        holdAgain();
        for (int i = 1; i <= 3; ++i)
            ids.append(accepted(gateway.port(), u"S1"_s, u"microphone"_s, i, toneWav(500 + i, 0.4)));
        ASSERT_TRUE(waitForHeld(1));
        QDeadlineTimer stopping(2'500);
        EXPECT_EQ(gateway.terminate(), 0);
        EXPECT_FALSE(stopping.hasExpired()) << "SIGTERM took more than two seconds";
    }
    EXPECT_EQ(storedJob(ids[0]).value(u"state"_s).toString(), u"QUEUED"_s)
        << "the interrupted run was not put back";
    EXPECT_EQ(storedJob(ids[0]).value(u"attempts"_s).toInt(), 0);
    {
        QDir(hold()).removeRecursively();
        QDir().mkpath(hold());
        GatewayProcess gateway(options({u"--workers"_s, u"1"_s}));
        ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
        ASSERT_TRUE(waitForHeld(1));
        EXPECT_EQ(job(gateway.port(), ids[0]).value(u"state"_s).toString(), u"RUNNING"_s)
            << "FIFO after restart";
        gateway.kill();
    }
    EXPECT_EQ(storedJob(ids[0]).value(u"state"_s).toString(), u"RUNNING"_s);
    {
        GatewayProcess gateway(options({u"--workers"_s, u"1"_s}));
        ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
        release();
        for (const QString& id : ids)
            EXPECT_EQ(waitForFinal(gateway.port(), id), u"COMPLETE"_s);
        // The same uploads again find their jobs: nothing is transcribed twice.
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(accepted(gateway.port(), u"S1"_s, u"microphone"_s, i, toneWav(500 + i, 0.4)),
                      ids[i - 1]);
        EXPECT_EQ(QDir(folder.file(u"data/jobs"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 4);
        // A job finished before both restarts still downloads, with its checksum.
        const RawReply text = rawExchange(
            gateway.port(), getRequest("/v1/jobs/" + finished.toUtf8() + "/artifacts/1/download", token));
        ASSERT_EQ(text.status, 200);
        EXPECT_EQ(
            storedJob(finished).value(u"transcript_sha256"_s).toString(),
            QString::fromLatin1(QCryptographicHash::hash(text.body, QCryptographicHash::Sha256).toHex()));
    }

    // An engine that aborts the process: two runs, then the job fails for good and the gateway serves again.
    GatewayProcess::Options crashing = options({u"--workers"_s, u"1"_s});
    crashing.environment.insert(u"SCRIPTED_RECOGNIZER_ABORT"_s, u"1"_s);
    QString poison;
    for (int run = 1; run <= 2; ++run) {
        GatewayProcess gateway(crashing);
        // The second run may crash before it writes its port file: the job is the first thing it runs.
        const bool started = gateway.start();
        if (run == 1) {
            ASSERT_TRUE(started) << gateway.standardError().constData();
            poison = accepted(gateway.port(), u"S2"_s, u"microphone"_s, 0, audio);
        }
        EXPECT_NE(gateway.waitForExit(60'000), -1) << "run " << run << " did not crash";
        EXPECT_EQ(storedJob(poison).value(u"attempts"_s).toInt(), run);
    }
    GatewayProcess gateway(crashing);
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
    EXPECT_EQ(job(gateway.port(), poison).value(u"state"_s).toString(), u"PERMANENT_FAILURE"_s);
    EXPECT_TRUE(gateway.running());
}

TEST_F(GatewayServerTest, StartupRefusalsAndTheIdleExit)
{
    // No token, a token file others can read, a second gateway on the same data folder.
    GatewayProcess::Options noToken = options();
    noToken.token.clear();
    GatewayProcess withoutToken(noToken);
    EXPECT_FALSE(withoutToken.start());
    EXPECT_EQ(withoutToken.waitForExit(10'000), 2);
    EXPECT_TRUE(withoutToken.standardError().contains("EBBCAST_GATEWAY_TOKEN"));

    const QString tokenFile = folder.file(u"token"_s);
    {
        QFile file(tokenFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(token + "\n");
    }
    QFile::setPermissions(tokenFile,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    GatewayProcess::Options fromFile = options({u"--token-file"_s, tokenFile});
    fromFile.token.clear();
    GatewayProcess readable(fromFile);
    EXPECT_FALSE(readable.start());
    EXPECT_EQ(readable.waitForExit(10'000), 2);
    EXPECT_FALSE(readable.standardError().contains(token));

    QFile::setPermissions(tokenFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    GatewayProcess first(fromFile);
    ASSERT_TRUE(first.start()) << first.standardError().constData();
    EXPECT_EQ(rawExchange(first.port(), getRequest("/v1/health", token)).status, 200);
    GatewayProcess::Options sameFolder = options();
    sameFolder.portFile = folder.file(u"run/second-port"_s);
    GatewayProcess second(sameFolder);
    EXPECT_FALSE(second.start());
    EXPECT_EQ(second.waitForExit(10'000), 3);
    first.terminate();
    EXPECT_FALSE(QFile::exists(folder.file(u"run/port"_s))) << "the port file outlived its gateway";

    // Idle: no request and nothing queued for the given time ends the process by itself; a waiting job
    // keeps it.
    GatewayProcess idle(options({u"--idle-exit"_s, u"0.03"_s, u"--workers"_s, u"1"_s}));
    ASSERT_TRUE(idle.start());
    const QString waiting = accepted(idle.port(), u"S3"_s, u"microphone"_s, 0, toneWav(600, 0.3));
    ASSERT_TRUE(waitForHeld(1));
    QThread::msleep(4'000);
    EXPECT_TRUE(idle.running()) << "exited with a job running";
    release();
    EXPECT_EQ(idle.waitForExit(60'000), 0);
    EXPECT_EQ(storedJob(waiting).value(u"state"_s).toString(), u"COMPLETE"_s);
}

TEST_F(GatewayServerTest, AFullDiskRefusesTheUploadWithNothingHalfStored)
{
    SmallDisk disk(folder.file(u"small"_s), 2048);
    if (!disk.isMounted())
        GTEST_SKIP() << "mounting a small file system needs root";
    GatewayProcess::Options onSmallDisk = options({u"--workers"_s, u"1"_s});
    onSmallDisk.dataDirectory = disk.file(u"data"_s);
    GatewayProcess gateway(onSmallDisk);
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
    release();
    const RawReply full = upload(gateway.port(), u"S1"_s, u"microphone"_s, 0, toneWav(440, 20)); // ~3.8 MB
    EXPECT_EQ(full.status, 507) << full.body.constData();
    EXPECT_TRUE(QDir(disk.file(u"data/jobs"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_TRUE(QDir(disk.file(u"data/incoming"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    const QString small = accepted(gateway.port(), u"S1"_s, u"microphone"_s, 1, toneWav(440, 0.5));
    EXPECT_EQ(waitForFinal(gateway.port(), small), u"COMPLETE"_s);
}

} // namespace
} // namespace ebbcast::test
