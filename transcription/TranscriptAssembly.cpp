#include "transcription/TranscriptAssembly.h"

#include "transcription/ChunkTranscriptionStatus.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

TranscriptAssembly TranscriptAssembly::make(const SessionMetadata& session, QString key,
                                            std::vector<TranscriptEntry> chunkEntries, QDateTime now)
{
    TranscriptAssembly assembly;
    assembly.sessionID = session.sessionID;
    assembly.sessionStartTime = session.startTime;
    assembly.sessionEndTime = session.endTime;
    assembly.sessionDuration = session.duration;
    assembly.appVersion = session.appVersion;
    assembly.threadKey = std::move(key);
    assembly.generatedAt = std::move(now);
    assembly.entries = std::move(chunkEntries);
    for (const TranscriptEntry& entry : assembly.entries) {
        if (!assembly.collectionID && entry.chunk.collectionID)
            assembly.collectionID = entry.chunk.collectionID;
        const auto status = entry.chunk.transcriptionStatus
                                ? chunkTranscriptionStatus(*entry.chunk.transcriptionStatus)
                                : std::nullopt;
        if (status == ChunkTranscriptionStatus::uploadFailed ||
            status == ChunkTranscriptionStatus::pollingFailed ||
            status == ChunkTranscriptionStatus::completeMissingTranscript)
            ++assembly.failedCount;
        if (status == ChunkTranscriptionStatus::completeEmpty)
            ++assembly.emptyCount;
        if (entry.text)
            ++assembly.withTextCount;
    }
    return assembly;
}

QString TranscriptAssembly::status() const
{
    return failedCount > 0 || withTextCount == 0 ? u"partial"_s : u"ready"_s;
}

} // namespace ebbcast
