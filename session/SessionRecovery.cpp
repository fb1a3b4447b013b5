#include "session/SessionRecovery.h"

#include "capture/WavHeaderRepair.h"
#include "core/base/EbbcastError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "session/ChunkSessionFields.h"
#include "session/RecordingSession.h"
#include "session/SessionLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Whether anything, even a dangling symbolic link, is at `path`.
bool pathTaken(const QString& path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

// Where `path` really is, when it names a regular file (not a symbolic link) whose real location is inside
// `folder`; nothing otherwise.
std::optional<QString> regularFileInside(const QString& folder, const QString& path)
{
    struct stat status {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &status) != 0 ||
        !S_ISREG(status.st_mode))
        return std::nullopt;
    const QString real = QFileInfo(path).canonicalFilePath();
    const QString base = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty() || base.isEmpty() || !real.startsWith(base + u'/'))
        return std::nullopt;
    return real;
}

// A file in "chunks/" that may be repaired.
struct ChunkFile {
    QString path;     // "<folder>/chunks/<name>", as the recorders name it
    QString realPath; // where it really is, inside the folder
    bool wav = false;
    QString kind; // "microphone" or "system_audio" for the recorders' chunk names, else empty
    qint64 index = 0;
};

std::vector<ChunkFile> chunkFiles(const QString& folder)
{
    static const QRegularExpression recorderName(u"^(mic|system)_chunk_(\\d+)\\.(wav|m4a)$"_s);
    const QString chunkFolder = folder + u"/chunks"_s;
    std::vector<ChunkFile> files;
    for (const QString& name : QDir(chunkFolder).entryList(QDir::Files)) {
        ChunkFile file;
        file.path = chunkFolder + u'/' + name;
        const auto real = regularFileInside(folder, file.path);
        if (!real)
            continue;
        file.realPath = *real;
        file.wav = name.endsWith(u".wav"_s, Qt::CaseInsensitive);
        const QRegularExpressionMatch match = recorderName.match(name);
        if (match.hasMatch() && (match.captured(1) == u"mic") == (match.captured(3) == u"wav")) {
            file.kind = match.captured(1) == u"mic" ? u"microphone"_s : u"system_audio"_s;
            file.index = match.captured(2).toLongLong();
        }
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(), [](const ChunkFile& a, const ChunkFile& b) {
        return std::tie(a.kind, a.index, a.path) < std::tie(b.kind, b.index, b.path);
    });
    return files;
}

std::vector<RecordingChunkMetadata>::iterator findEntry(std::vector<RecordingChunkMetadata>& entries,
                                                        const ChunkFile& file)
{
    return std::find_if(entries.begin(), entries.end(), [&file](const RecordingChunkMetadata& entry) {
        return entry.filePath == file.path || (entry.kind == file.kind && entry.index == file.index);
    });
}

// Where the chunk before `index` of `kind` ended, if "live_chunks" has one.
std::optional<QDateTime> previousChunkEnd(const std::vector<RecordingChunkMetadata>& entries,
                                          const QString& kind, qint64 index)
{
    const RecordingChunkMetadata* previous = nullptr;
    for (const RecordingChunkMetadata& entry : entries) {
        if (entry.kind == kind && entry.index < index && (!previous || entry.index > previous->index))
            previous = &entry;
    }
    if (!previous)
        return std::nullopt;
    return previous->endTime;
}

} // namespace

struct SessionRecovery::Candidate {
    QJsonObject original;
    SessionMetadata document;
    std::optional<QDateTime> latestMedia;
};

SessionRecovery::SessionRecovery(QString recordingsRoot, Logger& logger, WallClock clock,
                                 AudioSeconds audioSeconds)
    : root_(std::move(recordingsRoot))
    , logger_(logger)
    , clock_(std::move(clock))
    , audioSeconds_(std::move(audioSeconds))
{}

QString SessionRecovery::interruptionNote()
{
    return u"Ebbcast exited before the recording stop sequence completed."_s;
}

RecoveryOutcome SessionRecovery::run()
{
    if (root_.isEmpty())
        return {};
    const QDir root(root_);
    if (!root.exists())
        return {};
    QFileInfoList folders = root.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    std::stable_sort(folders.begin(), folders.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.lastModified() > b.lastModified(); // newest first
    });
    for (const QFileInfo& entry : folders) {
        const QString folder = entry.absoluteFilePath();
        if (!candidateIn(folder))
            continue;
        FileLock::TryResult lock;
        try {
            lock = SessionLock::tryAcquireExisting(folder);
        } catch (const EbbcastError& error) {
            logger_.error(u"Failed to recover interrupted recording session: "_s + error.description());
            return RecoveryOutcome::failed(folder, error.description());
        }
        if (lock.attempt == FileLock::Attempt::heldElsewhere) {
            logger_.info(u"Skipped a session folder a running recording holds: "_s + folder);
            continue;
        }
        // Looked at again with the lock held: the recording may have completed its document meanwhile.
        std::optional<Candidate> candidate = candidateIn(folder);
        if (!candidate)
            continue;
        RecoveryOutcome outcome = repair(folder, *candidate);
        if (outcome.kind == RecoveryOutcome::Kind::repaired && lock.lock)
            lock.lock->removeAndRelease(); // the crashed recording's lock file goes with the repair
        return outcome;
    }
    return {};
}

std::optional<SessionRecovery::Candidate> SessionRecovery::candidateIn(const QString& folder)
{
    const QString metadataPath = folder + u"/metadata.json"_s;
    const bool marker = pathTaken(folder + u'/' + RecordingSession::markerFileName());
    if (!pathTaken(metadataPath)) {
        if (marker)
            logger_.error(u"Skipped interrupted recording session "_s + folder +
                          u": metadata.json is missing"_s);
        return std::nullopt;
    }
    Candidate candidate;
    QString problem;
    std::optional<SessionMetadata> document;
    if (!regularFileInside(folder, metadataPath)) {
        problem = u"it is not a regular file inside the session folder"_s;
    } else {
        JsonDocumentFile::ReadResult read = JsonDocumentFile::read(metadataPath);
        if (read.status != JsonDocumentFile::ReadResult::Status::ok) {
            problem = read.problem.isEmpty() ? u"it cannot be read"_s : read.problem;
        } else {
            document = SessionMetadata::fromJson(read.object);
            if (!document)
                problem = u"it is not a readable session document"_s;
            candidate.original = std::move(read.object);
        }
    }
    if (!document) {
        if (marker) {
            logger_.error(u"Skipped interrupted recording session "_s + folder +
                          u": metadata.json cannot be read: "_s + problem);
        }
        return std::nullopt;
    }
    if (document->endTime)
        return std::nullopt;
    for (const QString& media :
         {document->files.screen, document->files.microphone, document->files.systemAudio}) {
        const auto real = regularFileInside(folder, media);
        if (!real)
            continue;
        const QDateTime date = QFileInfo(*real).lastModified().toUTC();
        if (!candidate.latestMedia || date > *candidate.latestMedia)
            candidate.latestMedia = date;
    }
    if (!marker && !candidate.latestMedia)
        return std::nullopt;
    candidate.document = std::move(*document);
    return candidate;
}

RecoveryOutcome SessionRecovery::repair(const QString& folder, Candidate& candidate)
{
    SessionMetadata& document = candidate.document;
    const auto repairHeader = [this](const QString& path) -> std::optional<WavHeaderRepair::Result> {
        try {
            return WavHeaderRepair::repair(path);
        } catch (const EbbcastError& error) {
            logger_.error(u"Failed to repair audio file header: "_s + error.description());
            return std::nullopt;
        }
    };

    // Audio cut short by the crash: make the WAV headers cover what the files hold.
    if (const auto microphone = regularFileInside(folder, document.files.microphone))
        repairHeader(*microphone);

    // Chunk documents the crash kept from being written, by path; written after the session document.
    std::vector<std::pair<QString, RecordingChunkMetadata>> chunkDocuments;
    for (const ChunkFile& file : chunkFiles(folder)) {
        std::optional<double> seconds;
        if (file.wav) {
            if (const auto header = repairHeader(file.realPath))
                seconds = header->seconds();
        }
        const QString documentPath = MetadataWriter::chunkDocumentPath(file.path);
        if (file.kind.isEmpty() || pathTaken(documentPath))
            continue;
        if (document.liveChunks) {
            // Reported, but the crash came before its own document was written.
            const auto reported = findEntry(*document.liveChunks, file);
            if (reported != document.liveChunks->end()) {
                chunkDocuments.emplace_back(documentPath, *reported);
                continue;
            }
        }
        if (!file.wav)
            seconds = audioSeconds_ ? audioSeconds_(file.realPath) : std::nullopt;
        if (!seconds || !std::isfinite(*seconds) || *seconds <= 0)
            continue; // a chunk without audio gets no document
        if (!document.liveChunks)
            document.liveChunks = std::vector<RecordingChunkMetadata>{};
        RecordingChunkMetadata chunk;
        chunk.index = file.index;
        chunk.kind = file.kind;
        chunk.startTime =
            previousChunkEnd(*document.liveChunks, file.kind, file.index).value_or(document.startTime);
        chunk.duration = *seconds;
        chunk.endTime = chunk.startTime.addMSecs(std::llround(*seconds * 1000.0));
        chunk.filePath = file.path;
        completeChunkSessionFields(chunk, &document);
        document.liveChunks->push_back(chunk);
        chunkDocuments.emplace_back(documentPath, chunk);
    }

    QDateTime end = candidate.latestMedia.value_or(clock_());
    if (document.startTime >= end)
        end = document.startTime;
    document.endTime = end;
    document.duration = static_cast<double>(document.startTime.msecsTo(end)) / 1000.0;
    document.interrupted = true;
    document.interruptionNote = interruptionNote();
    try {
        // Under the document's lock, on what is stored now: another process may have written meanwhile.
        SessionDocumentFile::update(folder + u"/metadata.json"_s, [&document](SessionMetadata& stored) {
            stored.endTime = document.endTime;
            stored.duration = document.duration;
            stored.interrupted = document.interrupted;
            stored.interruptionNote = document.interruptionNote;
            if (document.liveChunks)
                stored.addMissingChunks(*document.liveChunks);
        });
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to recover interrupted recording session: "_s + error.description());
        return RecoveryOutcome::failed(folder, error.description());
    }

    for (const auto& [path, chunk] : chunkDocuments) {
        if (pathTaken(path))
            continue;
        try {
            MetadataWriter::write(chunk, path);
        } catch (const EbbcastError& error) {
            logger_.error(u"Failed to write chunk metadata: "_s + error.description());
        }
    }
    QFile::remove(folder + u'/' + RecordingSession::markerFileName());
    logger_.error(u"Recovered interrupted recording session: "_s + folder);
    return RecoveryOutcome::repaired(folder);
}

} // namespace ebbcast
