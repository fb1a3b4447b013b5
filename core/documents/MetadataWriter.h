#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

#include <QJsonObject>
#include <QString>

namespace ebbcast {

// Writes the session and chunk documents with the document encoding, replacing the file atomically.
class MetadataWriter {
public:
    MetadataWriter() = delete;

    // Throws DocumentError or FileError; on failure the old file stays as it was.
    static void write(const SessionMetadata& metadata, const QString& path);
    static void write(const RecordingChunkMetadata& chunk, const QString& path);

    // For a read-modify-write of a stored session document: writes `metadata` without losing what the typed
    // document cannot hold. `original` is the stored object `metadata` was decoded from.
    // - Every member of `original` that SessionMetadata does not know is kept with its stored value, at the
    //   top level and inside each "live_chunks" entry. An entry keeps the unknown members of the first
    //   original entry with the same "file_path"; original entries that `metadata` no longer has stay gone.
    // - Members the type knows always take the value in `metadata`: one that `metadata` leaves out (an
    //   optional reset, an entry removed) stays out, even though `original` had it.
    // - "Known" means produced when `original` is decoded and encoded again. When `original` does not decode,
    //   every member of it that `metadata` does not produce is kept.
    // - Nulls are left out of kept members (documents hold none; a known optional holding null reads as
    //   absent).
    // Members inside the other nested objects ("recorder", "clock_sync", ...) are the typed document's only.
    // Throws like write().
    static void write(const SessionMetadata& metadata, const QJsonObject& original, const QString& path);
    // The same for a chunk document: members of `original` the type does not know are kept.
    static void write(const RecordingChunkMetadata& chunk, const QJsonObject& original, const QString& path);
    // The object the write above stores.
    static QJsonObject mergedWithUnknownMembers(const SessionMetadata& metadata, const QJsonObject& original);

    // The chunk document's path: the audio file's path with the extension replaced by "json".
    static QString chunkDocumentPath(const QString& chunkAudioPath);
};

} // namespace ebbcast
