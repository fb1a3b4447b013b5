#pragma once

#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "support/FakeGlossenGateway.h"
#include "support/FakeHttpServer.h"
#include "support/TemporaryFolder.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/TranscriptFinalizerPorts.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace ebbcast::test {

// The final transcript's stage as the pipeline calls it: counts the calls per session, and how many relay
// events `announced` held at each.
class CountingCompletion final : public SessionTranscriptCompletion {
public:
    QCoro::Task<void> finalizeSessionTranscriptIfReady(QString sessionFolder) override
    {
        calls.push_back(sessionFolder);
        announcedBefore.push_back(announced != nullptr ? announced->size() : 0);
        co_return;
    }
    std::vector<QString> calls;
    std::vector<std::size_t> announcedBefore;
    const std::vector<ChunkTranscribedEvent>* announced = nullptr;
};

// Drive as the pipeline uses it: remembers the files it was given; fails when told to.
class RecordingUploader final : public SessionFileUploader {
public:
    QCoro::Task<std::optional<UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                            QString file) override
    {
        Q_UNUSED(sessionFolder);
        files.push_back(file);
        if (fails)
            co_return std::nullopt;
        uploaded.insert(file);
        co_return UploadState{};
    }
    QString uploadKey(const QString& sessionFolder, const QString& file) const override
    {
        return QDir(sessionFolder).relativeFilePath(file);
    }
    std::vector<QString> files;
    std::set<QString> uploaded;
    bool fails = false;
};

// The relay as the pipeline uses it: the events it was given; an event counts as recorded once sent.
class RecordingAnnouncer final : public ChunkTranscriptAnnouncer {
public:
    QCoro::Task<RelayDelivery> notifyRecordingChunkTranscribed(ChunkTranscribedEvent event) override
    {
        recorded.insert(event.chunk.kind + QString::number(event.chunk.index));
        events.push_back(std::move(event));
        co_return RelayDelivery::delivered;
    }
    bool isChunkTranscribedEventRecorded(const QString& sessionFolder, const ChunkRef& chunk) const override
    {
        Q_UNUSED(sessionFolder);
        return recorded.contains(chunk.kind + QString::number(chunk.index));
    }
    std::vector<ChunkTranscribedEvent> events;
    std::set<QString> recorded;
};

// The gateway client as the pipeline calls it, noting the uploads in the order they were asked for and how
// many ran at once at most.
class CallOrderGateway final : public ChunkTranscriptionGateway {
public:
    explicit CallOrderGateway(GlossenGatewayClient& client)
        : client_(client)
    {}
    QCoro::Task<GlossenUploadResponse> uploadChunk(const QString& sessionID,
                                                   const GlossenChunkUploadMetadata& metadata,
                                                   const QString& filePath) override
    {
        uploads.push_back(QFileInfo(filePath).fileName());
        mostAtOnce = std::max(mostAtOnce, ++atOnce_);
        std::exception_ptr error;
        std::optional<GlossenUploadResponse> response;
        try {
            GlossenUploadResponse accepted = co_await client_.uploadChunk(sessionID, metadata, filePath);
            response = std::move(accepted);
        } catch (...) {
            error = std::current_exception();
        }
        --atOnce_;
        if (error)
            std::rethrow_exception(error);
        co_return *response;
    }
    QCoro::Task<GlossenJobStatus> getJob(const QString& gatewayJobID) override
    {
        co_return co_await client_.getJob(gatewayJobID);
    }
    QCoro::Task<GlossenArtifactsResponse> listArtifacts(const QString& gatewayJobID) override
    {
        co_return co_await client_.listArtifacts(gatewayJobID);
    }
    QCoro::Task<QByteArray> downloadArtifact(const QString& gatewayJobID, qint64 artifactID,
                                             std::optional<qint64> sizeBytes) override
    {
        co_return co_await client_.downloadArtifact(gatewayJobID, artifactID, sizeBytes);
    }

    std::vector<QString> uploads; // file names, in call order
    int mostAtOnce = 0;

private:
    GlossenGatewayClient& client_;
    int atOnce_ = 0;
};

// A stopped session folder with chunks, written with the project's document types.
class SessionOnDisk {
public:
    explicit SessionOnDisk(const QString& recordingsFolder,
                           const QString& name = QStringLiteral("2026-12-06_09-15-02"));

    const QString& folder() const { return folder_; }
    // Adds chunk `index` of `kind` ("microphone": .wav, "system_audio": .m4a unless `suffix`), with its
    // document and its "live_chunks" entry; returns the audio path.
    QString addChunk(const QString& kind, qint64 index, const QByteArray& audio = QByteArray("RIFF....WAVE"),
                     const QString& suffix = QString());
    // Writes "metadata.json" (with an end time unless `ended` is false).
    void writeSession(bool ended = true);

    std::optional<RecordingChunkMetadata> chunkDocument(const QString& audioPath) const;
    // The "live_chunks" entry of the audio file.
    std::optional<RecordingChunkMetadata> liveChunk(const QString& audioPath) const;
    std::optional<SessionMetadata> session() const;
    // Changes a chunk's document and its "live_chunks" entry.
    void changeChunk(const QString& audioPath, const std::function<void(RecordingChunkMetadata&)>& change);

    QDateTime start() const { return start_; }

private:
    QString folder_;
    QDateTime start_;
    std::vector<RecordingChunkMetadata> chunks_;
};

// The pipeline against the strict fake gateway, with recording fakes for everything else and a pause that
// records each sleep and goes on at once.
class PipelineBench {
public:
    static inline const QString token = QStringLiteral("gateway-token-5c1e");

    PipelineBench();
    explicit PipelineBench(GlossenGatewayClient::Options clientOptions);
    // Short time-outs (750 ms of silence, 1.5 s for a GET) and small reply limits (64 KiB of JSON, 256 KiB of
    // transcript): a silent, slow or endless reply fails fast.
    static GlossenGatewayClient::Options quickClientOptions();
    ~PipelineBench();

    GlossenChunkPipeline::Config config() const;
    void makePipeline(GlossenChunkPipeline::Config config);
    GlossenChunkPipeline& pipeline() { return *pipeline_; }
    void destroyPipeline() { pipeline_.reset(); }

    // A job that completes on the first poll with `text` as its transcript.
    static FakeGlossenGateway::JobScript transcriptJob(const QByteArray& text);
    // Runs the event loop until the session has no pending chunk (or 30 s pass).
    bool settle(const QString& sessionFolder);
    // Runs the event loop for `ms`.
    static void spin(int ms);
    // Runs the event loop until `done` holds (or 20 s pass); whether it does.
    static bool waitUntil(const std::function<bool()>& done);
    int logLines(const QString& text);
    QString logText();
    std::vector<std::chrono::milliseconds> sleeps;
    std::vector<QString> requestsOf(FakeGlossenGateway::Route route) const;

    TemporaryFolder root;
    FakeHttpServer server;
    FakeGlossenGateway gateway;
    QNetworkAccessManager network;
    Logger logger;
    GlossenGatewayClient client;
    CallOrderGateway calls{client};
    CountingCompletion completion;
    RecordingUploader uploader;
    RecordingAnnouncer announcer;
    std::map<QString, QString> driveIDs; // file -> Drive id

private:
    std::unique_ptr<GlossenChunkPipeline> pipeline_;
};

} // namespace ebbcast::test
