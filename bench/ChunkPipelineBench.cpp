// The chunk pipeline against a gateway on 127.0.0.1, for bench/chunk_pipeline.sh to time from outside:
//
//   ebbcast_bench_chunk_pipeline prepare RECORDINGS MIC_CHUNKS SYSTEM_CHUNKS BYTES SECONDS
//       a stopped session with chunks of BYTES filler bytes each, SECONDS long; prints its folder
//   ebbcast_bench_chunk_pipeline accept BASE_URL FOLDER
//       uploads the chunks of odd index with the client and records them "accepted" with their job, as a
//       pipeline cut off after the uploads leaves them; prints how many
//   ebbcast_bench_chunk_pipeline run BASE_URL FOLDER [CHUNK]
//       the pipeline with live transcription on (Drive and relay off): CHUNK as a chunk just completed, or
//       else the whole session resumed; waits until the session has settled, checks "metadata.json" and
//       prints one "name value" line per measure
//   ebbcast_bench_chunk_pipeline rewrite FOLDER COUNT
//       times COUNT read-modify-writes of the session's "metadata.json" that change nothing
//
// The token comes from EBBCAST_BENCH_GATEWAY_TOKEN, so it stays out of the process list. Exit status 0 on
// success, 1 with the error on stderr.

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/TimerPause.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "support/NullChunkPipelinePorts.h"
#include "support/PreparedSession.h"
#include "transcription/ChunkTranscriptionStatus.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/SessionChunks.h"
#include "transcription/TranscriptFinalizerPorts.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>
#include <qcoro/qcorotask.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

// --- The process's own figures ----------------------------------------------------------------------------

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A "Name: value" line of a /proc/self file, as a number (the first word of the value).
qint64 procValue(const char* file, const QByteArray& name)
{
    QFile proc(QString::fromLatin1(file));
    if (!proc.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = name + ':';
    const QList<QByteArray> lines = proc.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(prefix))
            return line.mid(name.size() + 1).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 writeBytes()
{
    return procValue("/proc/self/io", "write_bytes");
}

double mebibytesOfKiB(qint64 kib)
{
    return static_cast<double>(kib) / 1024.0;
}

void print(const char* name, double value)
{
    std::printf("%s %.3f\n", name, value);
}

void print(const char* name, qint64 value)
{
    std::printf("%s %lld\n", name, static_cast<long long>(value));
}

// --- The pipeline's collaborators beyond the gateway ------------------------------------------------------

// The pipeline's real pause, counted: a run spent in poll intervals or upload retries shows here.
struct Pauses {
    int count = 0;
    std::chrono::milliseconds total{0};
};

QCoro::Task<void> countedPause(Pauses* pauses, std::chrono::milliseconds duration)
{
    ++pauses->count;
    pauses->total += duration;
    co_await pauseOnTimer(duration);
}

GlossenGatewayClient::SettingsSource settingsOf(const QString& baseURL)
{
    const QString token = qEnvironmentVariable("EBBCAST_BENCH_GATEWAY_TOKEN");
    return [baseURL, token] {
        return GlossenGatewaySettings{baseURL, token};
    };
}

// --- prepare ----------------------------------------------------------------------------------------------

int prepare(const QStringList& arguments)
{
    test::PreparedSessionOptions options;
    options.microphoneChunks = arguments.value(3).toInt();
    options.systemAudioChunks = arguments.value(4).toInt();
    options.fileBytes = arguments.value(5).toLongLong();
    options.chunkSeconds = arguments.value(6).toDouble();
    options.recorderID = u"bench"_s;
    options.recorderName = u"Bench"_s;
    const test::PreparedSession session = test::prepareStoppedSession(arguments.value(2), options);
    std::printf("%s\n", qPrintable(session.folder));
    return 0;
}

// --- accept -----------------------------------------------------------------------------------------------

// The upload's metadata as the pipeline sends it from a chunk's document.
GlossenChunkUploadMetadata uploadMetadata(const QString& sessionID, const RecordingChunkMetadata& chunk)
{
    GlossenChunkUploadMetadata metadata;
    metadata.recorderID = u"bench"_s;
    metadata.recorderName = u"Bench"_s;
    metadata.sessionID = sessionID;
    metadata.recordingName = sessionID;
    metadata.threadKey = sessionThreadKey(metadata.recorderID, sessionID);
    metadata.chunkIndex = chunk.index;
    metadata.chunkKind = chunk.kind;
    metadata.sessionStartTime = chunk.sessionStartTime;
    metadata.chunkStartTime = chunk.startTime;
    metadata.chunkEndTime = chunk.endTime;
    metadata.chunkDuration = chunk.duration;
    metadata.chunkStartOffsetSeconds = chunk.startOffsetSeconds;
    metadata.chunkEndOffsetSeconds = chunk.endOffsetSeconds;
    metadata.chunkTimecodeStart = chunk.timecodeStart;
    metadata.chunkTimecodeEnd = chunk.timecodeEnd;
    metadata.serverChunkStartTime = chunk.serverStartTime;
    metadata.serverChunkEndTime = chunk.serverEndTime;
    metadata.clockOffsetMilliseconds = chunk.clockOffsetMilliseconds;
    metadata.clockRoundTripMilliseconds = chunk.clockRoundTripMilliseconds;
    metadata.clockSyncStatus = chunk.clockSyncStatus;
    metadata.localFileName = QFileInfo(chunk.filePath).fileName();
    return metadata;
}

void recordAccepted(RecordingChunkMetadata& chunk, const GlossenUploadResponse& response)
{
    chunk.gatewayJobID = response.gatewayJobID;
    chunk.ebbcastChunkID = response.ebbcastChunkID;
    chunk.collectionID = response.collectionID;
    chunk.gatewayStatusURL = response.statusURL;
    chunk.transcriptionStatus = toString(ChunkTranscriptionStatus::accepted);
}

QCoro::Task<int> accept(QStringList arguments, QNetworkAccessManager& network)
{
    const QString folder = QDir(arguments.value(3)).absolutePath();
    const QString sessionID = QFileInfo(folder).fileName();
    GlossenGatewayClient client(settingsOf(arguments.value(2)), network);
    std::map<QString, GlossenUploadResponse> accepted; // by stored file path
    const std::vector<RecordingChunkMetadata> chunks = readSessionChunks(folder);
    for (const RecordingChunkMetadata& chunk : chunks) {
        if (chunk.index % 2 == 0)
            continue;
        const GlossenChunkUploadMetadata metadata = uploadMetadata(sessionID, chunk);
        GlossenUploadResponse response = co_await client.uploadChunk(sessionID, metadata, chunk.filePath);
        SessionDocumentFile::updateChunk(
            MetadataWriter::chunkDocumentPath(chunk.filePath),
            [&response](RecordingChunkMetadata& stored) { recordAccepted(stored, response); });
        accepted.emplace(chunk.filePath, std::move(response));
    }
    SessionDocumentFile::update(folder + u"/metadata.json"_s, [&accepted](SessionMetadata& session) {
        if (!session.liveChunks)
            return;
        for (RecordingChunkMetadata& entry : *session.liveChunks) {
            const auto found = accepted.find(entry.filePath);
            if (found != accepted.end())
                recordAccepted(entry, found->second);
        }
    });
    std::printf("%zu\n", accepted.size());
    co_return 0;
}

// --- run --------------------------------------------------------------------------------------------------

QCoro::Task<int> run(QStringList arguments, QNetworkAccessManager& network)
{
    const QString folder = QDir(arguments.value(3)).absolutePath();
    const QString chunk = arguments.value(4);
    const QString metadataPath = folder + u"/metadata.json"_s;

    Logger logger(QFileInfo(folder).absolutePath() + u"/bench-logs/ebbcast.log"_s);
    GlossenGatewayClient client(settingsOf(arguments.value(2)), network);
    test::NoTranscriptCompletion completion;
    test::NoFileUploads uploader;
    test::NoChunkAnnouncements announcer;
    Pauses pauses;
    GlossenChunkPipeline::Config config;
    config.transcriptionEnabled = true;
    config.uploadEnabled = false;
    config.recorderID = u"bench"_s;
    config.recorderName = u"Bench"_s;
    config.recordingsFolder = QFileInfo(folder).absolutePath();
    GlossenChunkPipeline::Timing timing;
    timing.pause = [&pauses](std::chrono::milliseconds duration) {
        return countedPause(&pauses, duration);
    };
    GlossenChunkPipeline::Collaborators collaborators{client, completion, uploader, announcer, {}, logger};
    GlossenChunkPipeline pipeline(config, collaborators, timing);

    // Chunks without a status are uploaded; each upload records "accepted", then the outcome.
    qint64 uploads = 0;
    for (const RecordingChunkMetadata& stored : readSessionChunks(folder)) {
        if (!stored.transcriptionStatus &&
            (chunk.isEmpty() || QFileInfo(stored.filePath).fileName() == QFileInfo(chunk).fileName()))
            ++uploads;
    }

    QElapsedTimer clock;
    std::vector<qint64> outcomeMs;
    std::map<ChunkTranscriptionStatus, qint64> statuses;
    QObject::connect(
        &pipeline, &GlossenChunkPipeline::chunkOutcome, &pipeline,
        [&](const QString&, const QString& file, ChunkTranscriptionStatus status, const QString& detail) {
            outcomeMs.push_back(clock.elapsed());
            ++statuses[status];
            if (!detail.isEmpty())
                std::fprintf(stderr, "%s: %s: %s\n", qPrintable(QFileInfo(file).fileName()),
                             qPrintable(toString(status)), qPrintable(detail));
        });

    const qint64 peakBeforeKiB = procValue("/proc/self/status", "VmHWM");
    const qint64 writtenBefore = writeBytes();
    const double cpuBefore = cpuSeconds();
    clock.start();
    if (chunk.isEmpty()) {
        const GlossenChunkPipeline::Resume resumed = pipeline.resumeSessionTranscription(folder);
        if (resumed != GlossenChunkPipeline::Resume::started)
            throw std::runtime_error("the session was not resumed");
    } else {
        pipeline.enqueueGlossenChunkUpload(folder, QFileInfo(chunk).absoluteFilePath());
    }
    co_await pipeline.waitUntilSessionSettled(folder);
    const qint64 wallMs = clock.elapsed();
    const double cpu = cpuSeconds() - cpuBefore;
    logger.flush();
    const qint64 written = writeBytes() - writtenBefore;
    const qint64 peakKiB = procValue("/proc/self/status", "VmHWM");
    const qint64 residentKiB = procValue("/proc/self/status", "VmRSS");

    // What the documents hold at the end.
    const std::optional<QJsonObject> object = JsonDocumentFile::readObject(metadataPath);
    const std::optional<SessionMetadata> session = object ? SessionMetadata::fromJson(*object) : std::nullopt;
    qint64 entries = 0;
    qint64 withText = 0;
    if (session && session->liveChunks) {
        for (const RecordingChunkMetadata& entry : *session->liveChunks) {
            ++entries;
            if (entry.transcriptText && !entry.transcriptText->isEmpty() &&
                entry.transcriptionStatus == toString(ChunkTranscriptionStatus::complete))
                ++withText;
        }
    }
    const qint64 transcriptFiles =
        QDir(folder + u"/transcripts"_s).entryList({u"*_chunk_*.txt"_s}, QDir::Files).size();
    const auto outcomes = static_cast<qint64>(outcomeMs.size());

    print("wall_s", static_cast<double>(wallMs) / 1000.0);
    print("cpu_s", cpu);
    print("peak_rss_before_mib", mebibytesOfKiB(peakBeforeKiB));
    print("peak_rss_mib", mebibytesOfKiB(peakKiB));
    print("rss_end_mib", mebibytesOfKiB(residentKiB));
    print("write_bytes", written);
    print("outcomes", outcomes);
    print("complete", statuses[ChunkTranscriptionStatus::complete]);
    print("uploads", uploads);
    // One read-modify-write of "metadata.json" per record: "accepted" after an upload, then the outcome.
    print("metadata_rewrites", uploads + outcomes);
    print("pauses", static_cast<qint64>(pauses.count));
    print("pause_s", static_cast<double>(pauses.total.count()) / 1000.0);
    for (int quarter = 1; quarter <= 4; ++quarter) {
        const qint64 at = outcomes * quarter / 4;
        if (at < 1)
            continue;
        const QByteArray name =
            QByteArray("outcome_") + QByteArray::number(quarter * 25) + QByteArray("pct_s");
        print(name.constData(), static_cast<double>(outcomeMs[static_cast<size_t>(at - 1)]) / 1000.0);
    }
    print("live_chunks", entries);
    print("live_chunks_with_text", withText);
    print("transcript_files", transcriptFiles);
    print("metadata_bytes", static_cast<qint64>(QFileInfo(metadataPath).size()));
    std::fflush(stdout);

    const qint64 expected = chunk.isEmpty() ? static_cast<qint64>(readSessionChunks(folder).size()) : 1;
    if (withText < expected || statuses[ChunkTranscriptionStatus::complete] != outcomes) {
        std::fprintf(stderr, "expected %lld chunks with a transcript, found %lld\n",
                     static_cast<long long>(expected), static_cast<long long>(withText));
        co_return 1;
    }
    co_return 0;
}

// --- rewrite ----------------------------------------------------------------------------------------------

int rewrite(const QStringList& arguments)
{
    const QString metadataPath = QDir(arguments.value(2)).absoluteFilePath(u"metadata.json"_s);
    const int count = std::max(1, arguments.value(3).toInt());
    const qint64 writtenBefore = writeBytes();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i)
        SessionDocumentFile::update(metadataPath, [](SessionMetadata&) {});
    const double each = static_cast<double>(clock.nsecsElapsed()) / 1e6 / count;
    print("metadata_bytes", static_cast<qint64>(QFileInfo(metadataPath).size()));
    print("rewrite_ms", each);
    print("rewrite_cpu_ms", (cpuSeconds() - cpuBefore) * 1000.0 / count);
    print("rewrite_write_bytes", (writeBytes() - writtenBefore) / count);
    return 0;
}

QCoro::Task<int> dispatch(QStringList arguments, QNetworkAccessManager& network)
{
    const QString mode = arguments.value(1);
    try {
        if (mode == u"prepare" && arguments.size() == 7)
            co_return prepare(arguments);
        if (mode == u"accept" && arguments.size() == 4) {
            const int status = co_await accept(arguments, network);
            co_return status;
        }
        if (mode == u"run" && (arguments.size() == 4 || arguments.size() == 5)) {
            const int status = co_await run(arguments, network);
            co_return status;
        }
        if (mode == u"rewrite" && arguments.size() == 4)
            co_return rewrite(arguments);
        std::fprintf(stderr, "usage: see the top of bench/ChunkPipelineBench.cpp\n");
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
    status = co_await dispatch(std::move(arguments), network);
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
