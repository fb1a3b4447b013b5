#include "support/GatewayRequests.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// Peak resident memory of a process so far, in bytes (VmHWM); -1 when unknown.
qint64 peakMemory(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// The fake gateway as a child process, stopped with SIGTERM at the end of the test.
class GatewayProcess {
public:
    explicit GatewayProcess(const TemporaryFolder& folder, QStringList extra = {})
        : portFile_(folder.file(u"port"_s))
        , log_(folder.file(u"requests.jsonl"_s))
    {
        process_.setProgram(QStringLiteral(EBBCAST_FAKE_GATEWAY));
        process_.setArguments(QStringList{u"--token"_s, u"tok"_s, u"--prefix"_s, u"/gw"_s, u"--port-file"_s,
                                          portFile_, u"--request-log"_s, log_} +
                              extra);
        process_.start();
    }
    ~GatewayProcess()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // The port once written; 0 when none came within 10 s.
    quint16 port()
    {
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process_.state() != QProcess::NotRunning) {
            const QByteArray text = TemporaryFolder::readAll(portFile_).trimmed();
            if (!text.isEmpty())
                return static_cast<quint16>(text.toUInt());
            QThread::msleep(10);
        }
        return 0;
    }

    QList<QJsonObject> logLines() const
    {
        QList<QJsonObject> lines;
        for (const QByteArray& line : TemporaryFolder::readAll(log_).split('\n')) {
            if (!line.isEmpty())
                lines.append(QJsonDocument::fromJson(line).object());
        }
        return lines;
    }

    QProcess& process() { return process_; }

private:
    QString portFile_;
    QString log_;
    QProcess process_;
};

TEST(FakeGatewayProcessTest, ItWritesItsPortLogsEachRequestAndEndsOnSigterm)
{
    const TemporaryFolder folder;
    TemporaryFolder::writeAll(folder.file(u"scenario.json"_s),
                              R"({"jobs": [{"id": "a/b", "states": ["queued", "completed"]}]})");
    GatewayProcess gateway(folder, {u"--scenario"_s, folder.file(u"scenario.json"_s)});
    const quint16 port = gateway.port();
    ASSERT_NE(port, 0) << gateway.process().readAllStandardError().toStdString();

    const HandMadeUpload made;
    const RawAnswer uploaded =
        sendRaw(port, "POST", "/gw/v1/ebbcast/sessions/session-1/chunks",
                {{"Authorization", "Bearer tok"}, {"Content-Type", made.contentType()}}, made.body());
    ASSERT_EQ(uploaded.status, 200) << uploaded.body.toStdString();
    EXPECT_EQ(uploaded.json().value(u"gateway_job_id"_s).toString(), u"a/b"_s);
    EXPECT_EQ(sendRaw(port, "GET", "/gw/v1/jobs/a%2Fb", {{"Authorization", "Bearer nope"}}).status, 401);

    const QList<QJsonObject> lines = gateway.logLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].value(u"route"_s).toString(), u"upload"_s);
    EXPECT_EQ(lines[0].value(u"status"_s).toInt(), 200);
    const QJsonObject upload = lines[0].value(u"upload"_s).toObject();
    EXPECT_EQ(upload.value(u"metadata"_s).toObject(), made.metadata);
    EXPECT_EQ(upload.value(u"file_name"_s).toString(), u"mic-0003.wav"_s);
    EXPECT_EQ(upload.value(u"file_size"_s).toInteger(), made.file.size());
    EXPECT_EQ(upload.value(u"file_sha256"_s).toString().toLatin1(),
              QCryptographicHash::hash(made.file, QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(lines[1].value(u"ids"_s).toArray(), QJsonArray{u"a/b"_s});
    EXPECT_EQ(lines[1].value(u"status"_s).toInt(), 401);
    EXPECT_EQ(lines[1].value(u"violations"_s).toArray().size(), 1);

    gateway.process().terminate();
    ASSERT_TRUE(gateway.process().waitForFinished(5000));
    EXPECT_EQ(gateway.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(gateway.process().exitCode(), 0);
    EXPECT_TRUE(gateway.process().readAllStandardError().contains("2 requests, 1 violations"));
}

TEST(FakeGatewayProcessTest, ABadScenarioOrNoTokenEndsItAtOnce)
{
    const TemporaryFolder folder;
    TemporaryFolder::writeAll(folder.file(u"scenario.json"_s), R"({"jobz": []})");
    GatewayProcess badScenario(folder, {u"--scenario"_s, folder.file(u"scenario.json"_s)});
    ASSERT_TRUE(badScenario.process().waitForFinished(5000));
    EXPECT_EQ(badScenario.process().exitCode(), 2);
    EXPECT_TRUE(badScenario.process().readAllStandardError().contains("unknown member \"jobz\""));

    QProcess noToken;
    noToken.start(QStringLiteral(EBBCAST_FAKE_GATEWAY), {u"--prefix"_s, u"/gw"_s});
    ASSERT_TRUE(noToken.waitForFinished(5000));
    EXPECT_EQ(noToken.exitCode(), 2);
}

// Answers held back: a client that gives up while it waits has made its job all the same, and the answers of
// later requests come no earlier than the minimum.
TEST(FakeGatewayProcessTest, AReplyDelayHoldsEachAnswerBackAfterTheRequestTookEffect)
{
    constexpr int minMs = 300;
    const TemporaryFolder folder;
    GatewayProcess gateway(folder, {u"--reply-delay-ms"_s, u"%1:%2"_s.arg(minMs).arg(minMs + 100)});
    const quint16 port = gateway.port();
    ASSERT_NE(port, 0) << gateway.process().readAllStandardError().toStdString();

    const HandMadeUpload made;
    {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, port);
        ASSERT_TRUE(socket.waitForConnected(5000));
        socket.write("POST /gw/v1/ebbcast/sessions/session-1/chunks HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Authorization: Bearer tok\r\nContent-Type: " +
                     made.contentType() + "\r\nContent-Length: " + QByteArray::number(made.body().size()) +
                     "\r\n\r\n" + made.body());
        ASSERT_TRUE(socket.waitForBytesWritten(5000));
        const QDeadlineTimer deadline(10000);
        while (gateway.logLines().isEmpty() && !deadline.hasExpired())
            QThread::msleep(5);
        socket.abort();
    }
    const QList<QJsonObject> lines = gateway.logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].value(u"upload"_s).toObject().value(u"job_id"_s).toString(), u"job-1"_s);

    QElapsedTimer clock;
    clock.start();
    const RawAnswer polled = sendRaw(port, "GET", "/gw/v1/jobs/job-1", {{"Authorization", "Bearer tok"}});
    EXPECT_GE(clock.elapsed(), minMs);
    ASSERT_EQ(polled.status, 200) << polled.body.toStdString();
    EXPECT_EQ(polled.json().value(u"job"_s).toObject().value(u"state"_s).toString(), u"completed"_s);
    clock.restart();
    EXPECT_EQ(sendRaw(port, "GET", "/gw/v1/jobs/job-1", {{"Authorization", "Bearer nope"}}).status, 401);
    EXPECT_GE(clock.elapsed(), minMs) << "a refusal waits too";

    for (const QString& wrong : {u"400:300"_s, u"300"_s, u"-1:5"_s, u"a:b"_s}) {
        QProcess refused;
        refused.start(QStringLiteral(EBBCAST_FAKE_GATEWAY),
                      {u"--token"_s, u"t"_s, u"--reply-delay-ms"_s, wrong});
        ASSERT_TRUE(refused.waitForFinished(5000));
        EXPECT_EQ(refused.exitCode(), 2) << wrong.toStdString();
    }
}

// A 256 MiB upload sent in pieces as the gateway takes them: the gateway hashes the file as it arrives and
// its peak memory hardly grows.
TEST(FakeGatewayProcessTest, A256MiBUploadKeepsTheGatewaysMemoryFlat)
{
    constexpr qint64 fileBytes = 256LL * 1024 * 1024;
    constexpr qint64 blockBytes = 1024 * 1024;
    const TemporaryFolder folder;
    GatewayProcess gateway(folder);
    const quint16 port = gateway.port();
    ASSERT_NE(port, 0);
    const qint64 before = peakMemory(gateway.process().processId());
    ASSERT_GT(before, 0);

    HandMadeUpload made;
    made.file.clear();
    const QByteArray head = made.metadataPart() + made.filePart();
    const QByteArray tail = "\r\n--" + made.boundary + "--\r\n";
    QByteArray request = "POST /gw/v1/ebbcast/sessions/session-1/chunks HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Authorization: Bearer tok\r\nContent-Type: " +
                         made.contentType() +
                         "\r\nContent-Length: " + QByteArray::number(head.size() + fileBytes + tail.size()) +
                         "\r\n\r\n" + head;

    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, port);
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write(request);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(blockBytes, Qt::Uninitialized);
    for (qint64 sent = 0; sent < fileBytes; sent += blockBytes) {
        for (qint64 i = 0; i < blockBytes; i += 8) {
            const qint64 word = sent + i; // no two blocks alike
            std::memcpy(block.data() + i, &word, sizeof word);
        }
        hash.addData(block);
        socket.write(block);
        while (socket.bytesToWrite() > 4 * blockBytes)
            ASSERT_TRUE(socket.waitForBytesWritten(10000)) << socket.errorString().toStdString();
    }
    socket.write(tail);
    while (socket.bytesToWrite() > 0)
        ASSERT_TRUE(socket.waitForBytesWritten(10000));
    QByteArray answer;
    while (socket.waitForReadyRead(20000))
        answer += socket.readAll();
    answer += socket.readAll();
    ASSERT_TRUE(answer.startsWith("HTTP/1.1 200 ")) << answer.left(500).toStdString();

    const qint64 after = peakMemory(gateway.process().processId());
    RecordProperty("peak_memory_growth_bytes", std::to_string(after - before));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer keeps freed memory in quarantine, so resident memory says nothing about streaming there.
    EXPECT_LT(after - before, 32LL * 1024 * 1024) << "peak " << before << " -> " << after;
#endif
    const QList<QJsonObject> lines = gateway.logLines();
    ASSERT_EQ(lines.size(), 1);
    const QJsonObject upload = lines[0].value(u"upload"_s).toObject();
    EXPECT_EQ(upload.value(u"file_size"_s).toInteger(), fileBytes);
    EXPECT_EQ(upload.value(u"file_sha256"_s).toString().toLatin1(), hash.result().toHex());
    EXPECT_TRUE(lines[0].value(u"violations"_s).toArray().isEmpty());
}

} // namespace
} // namespace ebbcast::test
