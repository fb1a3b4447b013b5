// One gateway transfer with the client, for bench/gateway_transfer.sh to time from outside:
//   ebbcast_bench_gateway_transfer upload BASE_URL SESSION_ID FILE      prints the job id
//   ebbcast_bench_gateway_transfer download BASE_URL JOB_ID ARTIFACT_ID OUTPUT
// The token comes from EBBCAST_BENCH_GATEWAY_TOKEN, so it stays out of the process list. Exit status 0 on
// success, 1 with the error on stderr.

#include "core/base/EbbcastError.h"
#include "transcription/GlossenGatewayClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

GlossenChunkUploadMetadata metadataFor(const QString& sessionID, const QString& path)
{
    GlossenChunkUploadMetadata metadata;
    metadata.recorderID = u"bench"_s;
    metadata.recorderName = u"bench"_s;
    metadata.sessionID = sessionID;
    metadata.recordingName = u"bench"_s;
    metadata.threadKey = u"ebbcast:bench:"_s + sessionID;
    metadata.chunkIndex = 0;
    metadata.chunkKind = u"microphone"_s;
    metadata.chunkStartTime = QDateTime(QDate(2026, 1, 1), QTime(10, 0), Qt::UTC);
    metadata.chunkEndTime = metadata.chunkStartTime.addSecs(300);
    metadata.chunkDuration = 300;
    metadata.localFileName = QFileInfo(path).fileName();
    return metadata;
}

QCoro::Task<int> run(QStringList arguments, QNetworkAccessManager& network)
{
    const QString token = qEnvironmentVariable("EBBCAST_BENCH_GATEWAY_TOKEN");
    const QString baseURL = arguments.value(2);
    GlossenGatewayClient client([=] { return GlossenGatewaySettings{baseURL, token}; }, network, {});
    try {
        if (arguments.value(1) == u"upload" && arguments.size() == 5) {
            const auto reply = co_await client.uploadChunk(
                arguments[3], metadataFor(arguments[3], arguments[4]), arguments[4]);
            std::printf("%s\n", qPrintable(reply.gatewayJobID));
            co_return 0;
        }
        if (arguments.value(1) == u"download" && arguments.size() == 6) {
            const QByteArray bytes =
                co_await client.downloadArtifact(arguments[3], arguments[4].toLongLong());
            QFile output(arguments[5]);
            if (!output.open(QIODevice::WriteOnly) || output.write(bytes) != bytes.size())
                throw std::runtime_error("cannot write the output");
            co_return 0;
        }
        std::fprintf(stderr, "usage: see the top of bench/GatewayTransferBench.cpp\n");
        co_return 2;
    } catch (const EbbcastError& error) {
        std::fprintf(stderr, "%s\n", qPrintable(error.description()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    co_return 1;
}

QCoro::Task<> runAndQuit(QStringList arguments, QNetworkAccessManager& network, int& status)
{
    status = co_await run(std::move(arguments), network);
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QNetworkAccessManager network;
    int status = 1;
    QTimer::singleShot(0, &application, [&] { runAndQuit(QCoreApplication::arguments(), network, status); });
    application.exec();
    return status;
}
