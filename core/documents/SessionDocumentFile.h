#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

#include <QString>

#include <functional>

namespace ebbcast {

// The one read-modify-write of a session folder's "metadata.json": under an exclusive advisory lock (flock)
// on the hidden ".metadata.json.lock" beside it, the stored document is read and decoded, changed, and
// replaced atomically, keeping the members this version does not know. The recording process and a second
// process working on the same session (a repair, a transcription or upload run) never lose each other's
// writes, and a crash never leaves a partial document.
// Any thread; the lock also serialises threads of one process.
class SessionDocumentFile {
public:
    static QString lockFileName();

    // Throws FileError (missing, unreadable or not a session document; a write that failed) or DocumentError;
    // the stored document is unchanged on failure.
    static void update(const QString& metadataPath, const std::function<void(SessionMetadata&)>& change);
    // The same for a chunk's document ("chunks/<name>.json"), under the lock of the session folder that holds
    // its "chunks" folder, so the session's and the chunk's documents are changed under one lock.
    static void updateChunk(const QString& chunkDocumentPath,
                            const std::function<void(RecordingChunkMetadata&)>& change);
};

} // namespace ebbcast
