#include "transcription/FinalTranscriptWriter.h"

#include "core/base/BoundedFileRead.h"
#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "core/json/DocumentEncoder.h"
#include "transcription/ChunkTranscriptFile.h"
#include "transcription/SessionChunks.h"
#include "transcription/TranscriptLayout.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>


using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A per-chunk transcript is a few kilobytes; anything near this is not one.
constexpr qint64 maximumTranscriptFileSize = 16 * 1024 * 1024;

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString lastComponent(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    return clean.mid(clean.lastIndexOf(u'/') + 1);
}

// The text of a regular file of sensible size that is valid UTF-8; nothing otherwise. Opened without
// blocking, so a FIFO in its place cannot stall the assembly.
std::optional<QString> readUtf8File(const QString& path)
{
    const BoundedFileRead file = BoundedFileRead::read(path, maximumTranscriptFileSize);
    if (file.status != BoundedFileRead::Status::ok)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(file.bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

} // namespace

FinalTranscriptWriter::FinalTranscriptWriter(Config config, Logger& logger, DriveRecordSource driveRecords,
                                             DriveFileLink driveFileLink, WallClock clock,
                                             StagedFileSet::FileWriter fileWriter)
    : config_(std::move(config))
    , logger_(logger)
    , driveRecords_(std::move(driveRecords))
    , driveFileLink_(std::move(driveFileLink))
    , clock_(std::move(clock))
    , fileWriter_(std::move(fileWriter))
{}

void FinalTranscriptWriter::setConfig(Config config)
{
    const std::lock_guard lock(configMutex_);
    config_ = std::move(config);
}

FinalTranscriptWriter::Config FinalTranscriptWriter::currentConfig() const
{
    const std::lock_guard lock(configMutex_);
    return config_;
}

FinalTranscriptArtifacts
FinalTranscriptWriter::writeFinalTranscriptArtifacts(const QString& sessionFolder,
                                                     const SessionMetadata& session,
                                                     const std::vector<RecordingChunkMetadata>& chunks)
{
    const QString folder = sessionFolder + u'/' + ChunkTranscriptFile::directoryName;
    if (!QDir().mkpath(folder))
        throw FileError(FileError::Code::createDirectoryFailed, folder, u"the folder could not be created"_s);

    std::vector<TranscriptEntry> entries;
    entries.reserve(chunks.size());
    for (const RecordingChunkMetadata& chunk : chunks)
        entries.push_back({chunk, resolvedTranscriptText(sessionFolder, chunk)});
    const TranscriptAssembly assembly =
        TranscriptAssembly::make(session, threadKey(sessionFolder), std::move(entries), clock_());

    SessionTranscriptTimeline timeline;
    timeline.sessionID = assembly.sessionID;
    timeline.threadKey = assembly.threadKey;
    timeline.collectionID = assembly.collectionID;
    timeline.status = assembly.status();
    timeline.generatedAt = assembly.generatedAt;
    for (const TranscriptEntry& entry : assembly.entries) {
        timeline.chunks.push_back(TranscriptTimelineSource::fromChunk(entry.chunk, entry.text));
        if (auto segment = TranscriptTimelineSegment::fromSource(timeline.chunks.back()))
            timeline.segments.push_back(std::move(*segment));
    }

    std::optional<TranscriptDriveRecord> drive;
    if (driveRecords_)
        drive = driveRecords_(sessionFolder);

    // Every document is made before anything is written, so an encoding failure touches nothing.
    const QByteArray timelineBytes = DocumentEncoder::encode(timeline.toJson());
    const QByteArray cleanBytes = utf8(TranscriptLayout::cleanTranscript(assembly));
    const QString plainText = TranscriptLayout::plainText(assembly);
    const QByteArray provenanceBytes =
        DocumentEncoder::encode(provenance(sessionFolder, assembly, drive).toJson());

    StagedFileSet set(folder, fileWriter_);
    set.removeStrays();
    set.stage(timelineName, timelineBytes);
    set.stage(briefName, utf8(TranscriptLayout::sessionBrief(assembly)));
    set.stage(cleanTranscriptName, cleanBytes);
    set.stage(rawTranscriptName, utf8(TranscriptLayout::rawTranscript(assembly)));
    set.stage(provenanceName, provenanceBytes);
    set.stage(olderTranscriptName, cleanBytes);
    set.stage(plainTextName, utf8(plainText));
    set.stage(olderTimelineName, timelineBytes);
    set.commit();

    FinalTranscriptArtifacts artifacts;
    artifacts.brief = set.targetPath(briefName);
    artifacts.cleanTranscript = set.targetPath(cleanTranscriptName);
    artifacts.timeline = set.targetPath(timelineName);
    artifacts.rawTranscript = set.targetPath(rawTranscriptName);
    artifacts.provenance = set.targetPath(provenanceName);
    artifacts.plainText = plainText;
    artifacts.status = timeline.status;
    return artifacts;
}

void FinalTranscriptWriter::writeProvenanceFile(const QString& destination, const QString& sessionFolder,
                                                const SessionMetadata& session,
                                                const std::vector<RecordingChunkMetadata>& chunks,
                                                const std::optional<TranscriptDriveRecord>& drive)
{
    std::vector<TranscriptEntry> entries;
    entries.reserve(chunks.size());
    for (const RecordingChunkMetadata& chunk : chunks)
        entries.push_back({chunk, std::nullopt});
    const TranscriptAssembly assembly =
        TranscriptAssembly::make(session, threadKey(sessionFolder), std::move(entries), clock_());
    const QByteArray bytes = DocumentEncoder::encode(provenance(sessionFolder, assembly, drive).toJson());
    // Staged like the whole set, so a crash leaves only a ".ebbcast_" file that uploads skip.
    const QFileInfo target(destination);
    StagedFileSet set(target.path(), fileWriter_);
    set.stage(target.fileName(), bytes);
    set.commit();
}

std::optional<QString>
FinalTranscriptWriter::resolvedTranscriptText(const QString& sessionFolder,
                                              const RecordingChunkMetadata& chunk) const
{
    if (chunk.transcriptText) {
        const QString text = chunk.transcriptText->trimmed();
        if (!text.isEmpty())
            return text;
    }
    const QString index = QString::number(chunk.index);
    const auto fileName = ChunkTranscriptFile::readerFileName(chunk);
    if (!fileName) {
        // A kind that is not a plain name would lead outside "transcripts": no file is looked for.
        logger_.info(u"Final transcript has no text source: kind="_s + chunk.kind + u" index="_s + index +
                     u" expected_file=none"_s);
        return std::nullopt;
    }
    const auto content = readUtf8File(ChunkTranscriptFile::path(sessionFolder, *fileName));
    const QString text = content ? content->trimmed() : QString();
    if (text.isEmpty()) {
        logger_.info(u"Final transcript has no text source: kind="_s + chunk.kind + u" index="_s + index +
                     u" expected_file="_s + *fileName);
        return std::nullopt;
    }
    logger_.info(u"Final transcript using local file fallback: kind="_s + chunk.kind + u" index="_s + index +
                 u" file="_s + *fileName);
    return text;
}

QString FinalTranscriptWriter::threadKey(const QString& sessionFolder) const
{
    return sessionThreadKey(currentConfig().recorderID, lastComponent(cleanAbsolute(sessionFolder)));
}

QString FinalTranscriptWriter::chunkUploadKey(const QString& sessionFolder, const QString& chunkFilePath)
{
    const QString folder = cleanAbsolute(sessionFolder);
    const QString file = QDir::isAbsolutePath(chunkFilePath) ? QDir::cleanPath(chunkFilePath)
                                                             : QDir::cleanPath(folder + u'/' + chunkFilePath);
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    if (file.startsWith(prefix) && file.size() > prefix.size())
        return file.mid(prefix.size());
    return u"chunks/"_s + lastComponent(file);
}

SessionTranscriptProvenance
FinalTranscriptWriter::provenance(const QString& sessionFolder, const TranscriptAssembly& assembly,
                                  const std::optional<TranscriptDriveRecord>& drive) const
{
    const auto driveFileID = [&drive](const QString& key) -> std::optional<QString> {
        if (!drive)
            return std::nullopt;
        const auto found = drive->fileIDs.find(key);
        if (found == drive->fileIDs.end())
            return std::nullopt;
        return found->second;
    };

    SessionTranscriptProvenance result;
    result.sessionID = assembly.sessionID;
    result.threadKey = assembly.threadKey;
    result.collectionID = assembly.collectionID;
    result.generatedAt = assembly.generatedAt;
    result.generator = u"Ebbcast "_s + assembly.appVersion;
    if (drive) {
        result.driveSessionFolderID = drive->sessionFolderID;
        result.driveFinalTranscriptFolderID = drive->finalTranscriptFolderID;
    }
    for (const TranscriptEntry& entry : assembly.entries) {
        const RecordingChunkMetadata& chunk = entry.chunk;
        TranscriptProvenanceArtifact artifact;
        artifact.sequenceIndex = chunk.index;
        artifact.track = chunk.kind;
        artifact.sourceFile = chunkUploadKey(sessionFolder, chunk.filePath);
        artifact.ebbcastChunkID = chunk.ebbcastChunkID;
        artifact.gatewayJobID = chunk.gatewayJobID;
        artifact.glossenJobID = chunk.glossenJobID;
        artifact.gatewayStatusURL = chunk.gatewayStatusURL;
        artifact.transcriptArtifactID = chunk.transcriptArtifactID;
        artifact.transcriptArtifactType = chunk.transcriptArtifactType;
        artifact.transcriptArtifactChecksum = chunk.transcriptArtifactChecksum;
        artifact.transcriptArtifactSizeBytes = chunk.transcriptArtifactSizeBytes;
        artifact.driveFileID = driveFileID(artifact.sourceFile);
        artifact.driveURL = driveLink(artifact.driveFileID);
        result.sourceArtifacts.push_back(std::move(artifact));
    }
    for (const QLatin1StringView name :
         {briefName, cleanTranscriptName, timelineName, rawTranscriptName, provenanceName}) {
        TranscriptProvenanceDocument document;
        document.fileName = name;
        document.driveFileID = driveFileID(QString(ChunkTranscriptFile::directoryName) + u'/' + name);
        document.driveURL = driveLink(document.driveFileID);
        result.generatedDocuments.push_back(std::move(document));
    }
    return result;
}

std::optional<QString> FinalTranscriptWriter::driveLink(const std::optional<QString>& fileID) const
{
    if (!fileID || !driveFileLink_)
        return std::nullopt;
    return driveFileLink_(*fileID);
}

} // namespace ebbcast
