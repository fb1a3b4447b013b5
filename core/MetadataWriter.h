#pragma once

#include "RecordingChunkMetadata.h"
#include "SessionMetadata.h"

#include <QString>

namespace ebbcast {

// Writes the session and chunk documents with the document encoding, replacing the file atomically.
class MetadataWriter {
public:
    MetadataWriter() = delete;

    // Throws DocumentError or FileError; on failure the old file stays as it was.
    static void write(const SessionMetadata& metadata, const QString& path);
    static void write(const RecordingChunkMetadata& chunk, const QString& path);

    // The chunk document's path: the audio file's path with the extension replaced by "json".
    static QString chunkDocumentPath(const QString& chunkAudioPath);
};

} // namespace ebbcast
