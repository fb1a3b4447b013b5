#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// One chunk of a session with the text resolved for it (nothing when it has none).
struct TranscriptEntry {
    RecordingChunkMetadata chunk;
    std::optional<QString> text;
};

// Everything the final transcript documents are made from: the session's values, the chunks with their
// texts in the order given (never re-sorted, merged or deduplicated), the counts and the overall status.
struct TranscriptAssembly {
    QString sessionID;
    QDateTime sessionStartTime;
    std::optional<QDateTime> sessionEndTime;
    std::optional<double> sessionDuration;
    QString appVersion;
    QString threadKey;
    std::optional<QString> collectionID; // the first one among the chunks, in their order
    QDateTime generatedAt;
    std::vector<TranscriptEntry> entries;

    int failedCount = 0;   // "upload_failed", "polling_failed", "complete_missing_transcript"
    int emptyCount = 0;    // "complete_empty"
    int withTextCount = 0; // chunks whose resolved text exists

    // Fills the counts and the collection id from the entries.
    static TranscriptAssembly make(const SessionMetadata& session, QString key,
                                   std::vector<TranscriptEntry> chunkEntries, QDateTime now);

    // "partial" when a chunk failed or no chunk has text, "ready" otherwise.
    QString status() const;
};

} // namespace ebbcast
