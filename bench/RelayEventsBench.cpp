// A ten-hour session's relay events against a relay on 127.0.0.1, side by side with curl:
//   ebbcast_bench_relay_events [CHUNKS_PER_TRACK]        (120 by default: 240 chunks of 300 s, two tracks)
// The session has a parent event, one "chunk ready" event per chunk and the final event: 242 in all. Three
// runs, one after the other, against the same in-process relay (it answers at once with a thread identifier):
//   notifier  the notifier posts every event: state load and save, gate, wire form and HTTP;
//   qt-post   the same bodies posted with the same QNetworkAccessManager, nothing else: the HTTP part;
//   curl      one curl process per body, as a shell loop over the bodies would post them.
// Prints milliseconds per event for each run, the notifier's cost beyond HTTP (state I/O and the rest), the
// ratios to curl, and the size of the state file at the end.

#include "core/base/DriveWebLinks.h"
#include "core/base/Logger.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "relay/CorvanePelkoNotifier.h"
#include "support/FakeHttpServer.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroProcess>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

const QString sessionName = u"2026-01-05_10-00-00"_s;
const QByteArray token = "bench-relay-token";

// Chunk documents as the recorder and the pipeline leave them; the audio files are empty stand-ins.
QStringList makeSession(const QString& folder, int chunksPerTrack)
{
    QDir().mkpath(folder + u"/chunks"_s);
    const QDateTime start(QDate(2026, 1, 5), QTime(10, 0), Qt::UTC);
    QStringList audioFiles;
    for (int index = 0; index < chunksPerTrack; ++index) {
        for (const QString& kind : {u"microphone"_s, u"system_audio"_s}) {
            const QString stem = (kind == u"microphone"_s ? u"mic_chunk_"_s : u"system_chunk_"_s) +
                                 QString::number(index).rightJustified(4, u'0');
            const QString audio =
                folder + u"/chunks/"_s + stem + (kind == u"microphone"_s ? u".wav"_s : u".m4a"_s);
            RecordingChunkMetadata chunk;
            chunk.index = index;
            chunk.kind = kind;
            chunk.startTime = start.addSecs(300LL * index);
            chunk.endTime = chunk.startTime.addSecs(300);
            chunk.duration = 300;
            chunk.filePath = audio;
            chunk.serverStartTime = chunk.startTime.addMSecs(12);
            chunk.serverEndTime = chunk.endTime.addMSecs(12);
            chunk.clockOffsetMilliseconds = 12.5;
            chunk.clockRoundTripMilliseconds = 31.25;
            chunk.clockSyncStatus = u"synced"_s;
            chunk.gatewayJobID = u"job-"_s + stem;
            chunk.ebbcastChunkID = sessionName + u':' + stem;
            chunk.collectionID = u"collection-1"_s;
            JsonDocumentFile::write(folder + u"/chunks/"_s + stem + u".json"_s, chunk.toJson());
            QFile(audio).open(QIODevice::WriteOnly);
            audioFiles.append(audio);
        }
    }
    return audioFiles;
}

struct Run {
    const char* name;
    double milliseconds = 0;
    int events = 0;
    double perEvent() const { return events ? milliseconds / events : 0; }
};

QCoro::Task<Run> postWithNotifier(CorvanePelkoNotifier& notifier, QString folder, QStringList audioFiles)
{
    Run run{"notifier"};
    QElapsedTimer timer;
    timer.start();
    if (co_await notifier.notifyRecordingSessionStarted(folder) != RelayDelivery::delivered)
        throw std::runtime_error("the parent event was not delivered");
    ++run.events;
    for (const QString& audio : audioFiles) {
        if (co_await notifier.notifyRecordingChunkReady(folder, audio, std::nullopt) !=
            RelayDelivery::delivered)
            throw std::runtime_error("a chunk event was not delivered");
        ++run.events;
    }
    SessionTranscriptReadyEvent final;
    final.folder = folder;
    final.transcriptText = QString(u"A ten-hour session's words. "_s).repeated(40);
    final.transcriptFile = folder + u"/transcripts/session_transcript_clean.md"_s;
    final.timelineFile = folder + u"/transcripts/session_transcript_timeline.json"_s;
    final.uploadState = UploadState{};
    final.uploadState->driveFolderID = u"folder-1"_s;
    final.uploadState->uploadedFiles[u"transcripts/session_transcript_clean.md"_s] =
        UploadedFileState{u"file-clean"_s, QDateTime::currentDateTimeUtc()};
    final.sourceChunkCount = static_cast<int>(audioFiles.size());
    if (co_await notifier.notifySessionTranscriptReady(std::move(final)) != RelayDelivery::delivered)
        throw std::runtime_error("the final event was not delivered");
    ++run.events;
    run.milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    co_return run;
}

QNetworkRequest relayRequest(const QUrl& endpoint)
{
    QNetworkRequest request(endpoint);
    request.setRawHeader("Authorization", "Bearer " + token);
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

QCoro::Task<Run> postWithQt(QNetworkAccessManager& network, QUrl endpoint, QList<QByteArray> bodies)
{
    Run run{"qt-post"};
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray& body : bodies) {
        QNetworkReply* reply = network.post(relayRequest(endpoint), body);
        co_await qCoro(reply).waitForFinished();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->readAll();
        reply->deleteLater();
        if (status != 200)
            throw std::runtime_error("a post was refused");
        ++run.events;
    }
    run.milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    co_return run;
}

QCoro::Task<Run> postWithCurl(QUrl endpoint, QList<QByteArray> bodies, QString scratch)
{
    Run run{"curl"};
    QStringList files;
    for (qsizetype index = 0; index < bodies.size(); ++index) {
        files.append(scratch + u"/body-"_s + QString::number(index) + u".json"_s);
        QFile file(files.last());
        if (!file.open(QIODevice::WriteOnly) || file.write(bodies[index]) != bodies[index].size())
            throw std::runtime_error("cannot write a body for curl");
    }
    QElapsedTimer timer;
    timer.start();
    for (const QString& file : files) {
        QProcess curl;
        curl.start(u"curl"_s, {u"-sS"_s, u"-f"_s, u"-o"_s, u"/dev/null"_s, u"-H"_s,
                               u"Authorization: Bearer "_s + QString::fromLatin1(token), u"-H"_s,
                               u"Content-Type: application/json"_s, u"--data-binary"_s, u"@"_s + file,
                               endpoint.toString()});
        co_await qCoro(curl).waitForFinished(60'000);
        if (curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
            throw std::runtime_error("curl failed: " + curl.readAllStandardError().toStdString());
        ++run.events;
    }
    run.milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    co_return run;
}

QCoro::Task<int> bench(int chunksPerTrack)
{
    QTemporaryDir scratch;
    const QString folder = scratch.path() + u"/Recordings/"_s + sessionName;
    const QStringList audioFiles = makeSession(folder, chunksPerTrack);

    test::FakeHttpServer relay;
    QList<QByteArray> bodies;
    qint64 thread = 0;
    relay.setHandler([&](const test::FakeHttpServer::Request& request) {
        bodies.append(request.body);
        return test::FakeHttpServer::Response{200, "{\"ok\":true,\"ts\":\"1767607200." +
                                                       QByteArray::number(100000 + thread++) + "\"}"};
    });
    const QUrl endpoint = relay.url(u"/corvane/api/v1/pelko/notify"_s);

    Logger logger(scratch.path() + u"/app.log"_s);
    QNetworkAccessManager network;
    CorvanePelkoNotifier notifier(
        {endpoint, u"bench"_s, u"Bench recorder"_s, u"U0BENCH"_s}, logger, network,
        DriveWebLinks(QUrl(u"https://drive.invalid"_s)), [] { return QString::fromLatin1(token); },
        CorvanePelkoNotifier::Timing{});

    try {
        const Run withNotifier = co_await postWithNotifier(notifier, folder, audioFiles);
        const qint64 stateBytes = QFileInfo(folder + u"/.ebbcast_corvane_state.json"_s).size();
        const Run withQt = co_await postWithQt(network, endpoint, bodies);
        const Run withCurl = co_await postWithCurl(endpoint, bodies, scratch.path());

        std::printf("events: %d (a parent, %d chunk events and the final one)\n", withNotifier.events,
                    withNotifier.events - 2);
        for (const Run& run : {withNotifier, withQt, withCurl})
            std::printf("%-9s %8.3f ms per event  %9.1f ms in all\n", run.name, run.perEvent(),
                        run.milliseconds);
        std::printf("notifier beyond HTTP (state I/O, gate, wire form): %.3f ms per event\n",
                    withNotifier.perEvent() - withQt.perEvent());
        std::printf("ratio notifier/curl: %.2f   qt-post/curl: %.2f\n",
                    withNotifier.perEvent() / withCurl.perEvent(), withQt.perEvent() / withCurl.perEvent());
        std::printf("state file: %lld bytes\n", static_cast<long long>(stateBytes));
        co_return relay.violations().isEmpty() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        co_return 1;
    }
}

QCoro::Task<> benchAndQuit(int chunksPerTrack, int& status)
{
    status = co_await bench(chunksPerTrack);
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const int chunksPerTrack = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 120;
    int status = 1;
    QTimer::singleShot(0, &application, [&] { benchAndQuit(chunksPerTrack, status); });
    application.exec();
    return status;
}
