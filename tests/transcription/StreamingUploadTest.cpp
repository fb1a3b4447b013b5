#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"
#include "transcription/ChunkUploadForm.h"
#include "transcription/GlossenGatewayClient.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// An HTTP endpoint on 127.0.0.1 that hashes one request's body as it arrives and keeps none of it, then
// answers with an upload reply.
class HashingSink : public QObject {
public:
    HashingSink()
    {
        if (!server_.listen(QHostAddress::LocalHost, 0))
            throw std::runtime_error("cannot listen");
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(*socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
    }

    QString url() const { return u"http://127.0.0.1:%1/gw"_s.arg(server_.serverPort()); }

    QByteArray head;
    qint64 received = 0;
    QCryptographicHash hash{QCryptographicHash::Sha256};

private:
    void read(QTcpSocket& socket)
    {
        QByteArray bytes = socket.readAll();
        if (length_ < 0) {
            buffer_ += bytes;
            const qsizetype end = buffer_.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            head = buffer_.left(end);
            static const QRegularExpression lengthLine(u"(?im)^content-length:\\s*(\\d+)"_s);
            length_ = lengthLine.match(QString::fromLatin1(head)).captured(1).toLongLong();
            bytes = buffer_.mid(end + 4);
            buffer_.clear();
        }
        received += bytes.size();
        hash.addData(bytes);
        if (received >= length_) {
            const QByteArray reply = R"({"gateway_job_id":"j","ebbcast_chunk_id":"c","status_url":"u"})";
            socket.write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         QByteArray::number(reply.size()) + "\r\nConnection: close\r\n\r\n" + reply);
            socket.disconnectFromHost();
        }
    }

    QTcpServer server_;
    QByteArray buffer_;
    qint64 length_ = -1;
};

qint64 residentBytes()
{
    QFile statm(u"/proc/self/statm"_s);
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

TEST(StreamingUploadTest, ALargeChunkIsStreamedWithFlatMemoryAndALiveEventLoop)
{
    constexpr qint64 fileBytes = 256LL * 1024 * 1024;
    test::TemporaryFolder folder;
    const QString path = folder.file(u"system_chunk_0001.m4a"_s);
    QCryptographicHash fileHash(QCryptographicHash::Sha256);
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray block(1024 * 1024, '\0');
        for (qint64 written = 0; written < fileBytes; written += block.size()) {
            for (qsizetype i = 0; i < block.size(); i += 4096)
                block[i] = static_cast<char>(written / block.size() + i / 4096);
            ASSERT_EQ(file.write(block), block.size());
        }
    }

    HashingSink sink;
    QNetworkAccessManager network;
    GlossenGatewayClient client([&sink] { return GlossenGatewaySettings{sink.url(), u"t"_s}; }, network);
    GlossenChunkUploadMetadata metadata;
    metadata.sessionID = u"s"_s;
    metadata.localFileName = u"system_chunk_0001.m4a"_s;
    const QByteArray metadataJson = metadata.toWireJson();

    const qint64 baseline = residentBytes();
    qint64 peak = baseline;
    qint64 longestGapMs = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, sinceTick.restart());
        peak = std::max(peak, residentBytes());
    });
    ticker.start(10);
    QElapsedTimer uploadTime;
    uploadTime.start();
    const QString sessionID = u"s"_s;
    const GlossenUploadResponse response = test::runTask(client.uploadChunk(sessionID, metadata, path));
    ticker.stop();
    ::testing::Test::RecordProperty("upload_ms", static_cast<int>(uploadTime.elapsed()));
    ::testing::Test::RecordProperty("peak_growth_kib", static_cast<int>((peak - baseline) / 1024));
    ::testing::Test::RecordProperty("longest_tick_gap_ms", static_cast<int>(longestGapMs));
    EXPECT_EQ(response.gatewayJobID, u"j"_s);

    const QByteArray boundary =
        QRegularExpression(u"boundary=(\\S+)"_s).match(QString::fromLatin1(sink.head)).captured(1).toLatin1();
    ASSERT_FALSE(boundary.isEmpty());
    QCryptographicHash expected(QCryptographicHash::Sha256);
    expected.addData(ChunkUploadForm::preamble(boundary, metadataJson, u"system_chunk_0001.m4a"_s));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    while (!file.atEnd())
        expected.addData(file.read(4 * 1024 * 1024));
    expected.addData(ChunkUploadForm::epilogue(boundary));
    EXPECT_EQ(sink.hash.result().toHex(), expected.result().toHex()) << "the body arrived byte for byte";
    EXPECT_GT(sink.received, fileBytes);

    // A sanitizer keeps freed memory in quarantine, so resident memory says nothing about streaming there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(peak - baseline, 32 * 1024 * 1024) << "peak growth " << (peak - baseline) / 1024 << " KiB";
#endif
    EXPECT_LT(longestGapMs, 250 * test::timingScale()) << "the event loop stalled";
}

} // namespace
} // namespace ebbcast
