#pragma once

#include "core/documents/RecordingChunkMetadata.h"

#include <QString>

#include <optional>

namespace ebbcast {

// The per-chunk transcript file: "<kind>_chunk_<index, four digits at least>.txt" in the session folder's
// "transcripts" directory, holding the trimmed transcript in UTF-8. A kind gives a name only when it is
// letters, digits and "_" (a stored kind such as "../x" would point outside the folder): no name otherwise.
class ChunkTranscriptFile {
public:
    static constexpr QLatin1StringView directoryName{"transcripts"};

    // The writer's name: the chunk's kind exactly as stored.
    static std::optional<QString> writerFileName(const RecordingChunkMetadata& chunk);
    // The readers' name: "mic"/"microphone" and "system"/"system_audio" (in any case) map to "microphone" and
    // "system_audio"; any other kind is used as stored.
    static std::optional<QString> readerFileName(const RecordingChunkMetadata& chunk);
    static QString readerKindName(const QString& kind);

    // "<session folder>/transcripts/<file name>"
    static QString path(const QString& sessionFolder, const QString& fileName);

private:
    static std::optional<QString> fileName(const QString& kind, qint64 index);
};

} // namespace ebbcast
