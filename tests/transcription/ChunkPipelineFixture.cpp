#include "ChunkPipelineFixture.h"

#include "core/base/Iso8601.h"
#include "support/LogLines.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace ebbcast::test {

SessionOnDisk::SessionOnDisk(const QString& recordingsFolder, const QString& name)
    : folder_(QDir(recordingsFolder).filePath(name))
    , start_(QDateTime(QDate(2026, 12, 6), QTime(9, 15, 2), Qt::UTC))
{
    QDir().mkpath(folder_ + u"/chunks"_s);
}

QString SessionOnDisk::addChunk(const QString& kind, qint64 index, const QByteArray& audio,
                                const QString& suffix)
{
    const QString extension = !suffix.isEmpty() ? suffix : kind == u"microphone" ? u"wav"_s : u"m4a"_s;
    const QString path = folder_ + u"/chunks/"_s + kind + u"_chunk_"_s +
                         u"%1"_s.arg(index, 4, 10, QLatin1Char('0')) + u'.' + extension;
    TemporaryFolder::writeAll(path, audio);
    RecordingChunkMetadata chunk;
    chunk.index = index;
    chunk.kind = kind;
    chunk.startTime = start_.addSecs(index * 2);
    chunk.endTime = start_.addSecs(index * 2 + 2);
    chunk.duration = 2;
    chunk.filePath = path;
    chunk.sessionStartTime = start_;
    chunk.startOffsetSeconds = static_cast<double>(index * 2);
    chunk.endOffsetSeconds = static_cast<double>(index * 2 + 2);
    chunk.timecodeStart = u"00:00:00.000"_s;
    chunk.timecodeEnd = u"00:00:02.000"_s;
    chunk.clockSyncStatus = u"synced"_s;
    chunk.clockOffsetMilliseconds = 1.5;
    MetadataWriter::write(chunk, MetadataWriter::chunkDocumentPath(path));
    chunks_.push_back(chunk);
    return path;
}

void SessionOnDisk::writeSession(bool ended)
{
    SessionMetadata session;
    session.sessionID = QFileInfo(folder_).fileName();
    session.startTime = start_;
    if (ended) {
        session.endTime = start_.addSecs(600);
        session.duration = 600;
    }
    session.liveChunks = chunks_;
    session.files.metadata = folder_ + u"/metadata.json"_s;
    session.files.microphone = folder_ + u"/microphone.wav"_s;
    session.files.systemAudio = folder_ + u"/system_audio.m4a"_s;
    session.files.screen = folder_ + u"/screen.mov"_s;
    session.appVersion = u"1.0"_s;
    MetadataWriter::write(session, session.files.metadata);
}

std::optional<RecordingChunkMetadata> SessionOnDisk::chunkDocument(const QString& audioPath) const
{
    const auto object = JsonDocumentFile::readObject(MetadataWriter::chunkDocumentPath(audioPath));
    return object ? RecordingChunkMetadata::fromJson(*object) : std::nullopt;
}

std::optional<SessionMetadata> SessionOnDisk::session() const
{
    const auto object = JsonDocumentFile::readObject(folder_ + u"/metadata.json"_s);
    return object ? SessionMetadata::fromJson(*object) : std::nullopt;
}

std::optional<RecordingChunkMetadata> SessionOnDisk::liveChunk(const QString& audioPath) const
{
    const auto stored = session();
    if (!stored || !stored->liveChunks)
        return std::nullopt;
    for (const RecordingChunkMetadata& entry : *stored->liveChunks) {
        if (entry.filePath == audioPath)
            return entry;
    }
    return std::nullopt;
}

void SessionOnDisk::changeChunk(const QString& audioPath,
                                const std::function<void(RecordingChunkMetadata&)>& change)
{
    std::optional<RecordingChunkMetadata> chunk = chunkDocument(audioPath);
    if (chunk) {
        change(*chunk);
        MetadataWriter::write(*chunk, MetadataWriter::chunkDocumentPath(audioPath));
    }
    std::optional<SessionMetadata> stored = session();
    if (stored && stored->liveChunks) {
        for (RecordingChunkMetadata& entry : *stored->liveChunks) {
            if (entry.filePath == audioPath)
                change(entry);
        }
        MetadataWriter::write(*stored, folder_ + u"/metadata.json"_s);
    }
}

PipelineBench::PipelineBench()
    : PipelineBench(GlossenGatewayClient::Options{.inactivityTimeoutMs = 5000, .getDeadlineMs = 20'000})
{}

PipelineBench::PipelineBench(GlossenGatewayClient::Options clientOptions)
    : gateway(server, {token})
    , logger(root.file(u"app.log"_s))
    , client(
          [this] {
              return GlossenGatewaySettings{gateway.baseUrl().toString(), token};
          },
          network, clientOptions)
{
    completion.announced = &announcer.events;
    gateway.setDefaultScript(transcriptJob("hello from the gateway"));
    makePipeline(config());
}

GlossenGatewayClient::Options PipelineBench::quickClientOptions()
{
    return GlossenGatewayClient::Options{.inactivityTimeoutMs = 750,
                                         .getDeadlineMs = 1500,
                                         .jsonReplyLimitBytes = 64 * 1024,
                                         .artifactLimitBytes = 256 * 1024,
                                         .errorBodyLimitBytes = 4 * 1024};
}

PipelineBench::~PipelineBench()
{
    pipeline_.reset();
}

GlossenChunkPipeline::Config PipelineBench::config() const
{
    GlossenChunkPipeline::Config config;
    config.transcriptionEnabled = true;
    config.uploadEnabled = true;
    config.recorderID = u"rec-7"_s;
    config.recorderName = u"Desk 7"_s;
    config.recordingsFolder = root.path();
    return config;
}

void PipelineBench::makePipeline(GlossenChunkPipeline::Config config)
{
    pipeline_.reset();
    GlossenChunkPipeline::Timing timing;
    timing.pause = [this](std::chrono::milliseconds duration) -> QCoro::Task<void> {
        sleeps.push_back(duration);
        co_return;
    };
    timing.clock = [] {
        return QDateTime(QDate(2026, 12, 6), QTime(10, 0, 0), Qt::UTC);
    };
    pipeline_ = std::make_unique<GlossenChunkPipeline>(
        std::move(config),
        GlossenChunkPipeline::Collaborators{calls, completion, uploader, announcer,
                                            [this](const QString&, const QString& file) {
                                                DriveInfo info;
                                                if (const auto found = driveIDs.find(file);
                                                    found != driveIDs.end())
                                                    info.fileID = found->second;
                                                if (uploader.uploaded.contains(file))
                                                    info.fileID = u"uploaded"_s;
                                                return info;
                                            },
                                            logger},
        std::move(timing));
}

FakeGlossenGateway::JobScript PipelineBench::transcriptJob(const QByteArray& text)
{
    FakeGlossenGateway::JobScript script;
    script.states = {u"COMPLETE"_s};
    script.glossenJobId = u"glossen-1"_s;
    FakeGlossenGateway::Artifact artifact;
    artifact.id = 41;
    artifact.type = u"transcript-txt"_s;
    artifact.checksum = u"sha256:abc"_s;
    artifact.sizeBytes = text.size();
    artifact.content = text;
    script.artifacts = {artifact};
    return script;
}

bool PipelineBench::settle(const QString& sessionFolder)
{
    const QDeadlineTimer deadline(30'000);
    // Tasks start from the event loop when reported from other threads: let queued calls arrive first.
    spin(5);
    while (pipeline_ && pipeline_->pendingChunks(sessionFolder) > 0 && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        QObject::connect(pipeline_.get(), &GlossenChunkPipeline::sessionSettled, &loop, &QEventLoop::quit);
        loop.exec();
    }
    spin(5);
    return !pipeline_ || pipeline_->pendingChunks(sessionFolder) == 0;
}

void PipelineBench::spin(int ms)
{
    const QDeadlineTimer deadline(ms);
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    } while (!deadline.hasExpired());
}

bool PipelineBench::waitUntil(const std::function<bool()>& done)
{
    const QDeadlineTimer deadline(20'000);
    while (!done() && !deadline.hasExpired())
        spin(5);
    return done();
}

int PipelineBench::logLines(const QString& text)
{
    return countLogLines(logger, text);
}

QString PipelineBench::logText()
{
    logger.flush();
    return QString::fromUtf8(TemporaryFolder::readAll(logger.logFilePath()));
}

std::vector<QString> PipelineBench::requestsOf(FakeGlossenGateway::Route route) const
{
    std::vector<QString> paths;
    for (const FakeGlossenGateway::Exchange& exchange : gateway.exchanges()) {
        if (exchange.route == route)
            paths.push_back(exchange.ids.join(u'|'));
    }
    return paths;
}

} // namespace ebbcast::test
