#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMarker.h"
#include "core/documents/SessionMetadata.h"
#include "core/documents/SystemAudioCaptureMetadata.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace ebbcast {

class Logger;

// The "metadata.json" of the running session: the copy the session keeps in memory and every write of it.
// Each change is one locked read-modify-write of the stored document (SessionDocumentFile), so what a second
// process wrote into it (transcription outcomes, members of newer versions) stays. The in-memory copy is the
// fallback: a change that could not be stored is logged, and the completion adds it again.
// Main thread: chunk reports reach it there, after the recorders' threads posted them.
class SessionDocument {
public:
    SessionDocument(SessionMetadata initial, Logger& logger);

    // Writes the first version. Throws FileError.
    void create();
    const SessionMetadata& metadata() const { return metadata_; }
    // The session folder the document lies in.
    QString folder() const;

    // A finished chunk, its session members filled in from the document; returns the completed chunk.
    RecordingChunkMetadata appendChunk(const RecordingChunkMetadata& chunk);
    void addMarker(const SessionMarker& marker);
    // Completes the stored document with the stop's members; when the stored one is gone or unreadable, the
    // in-memory copy is written instead. Returns the description of the failure when neither could be
    // written.
    std::optional<QString> complete(const QDateTime& endTime, double durationSeconds,
                                    const std::function<void(SessionMetadata&)>& completeTracks);

    // One locked change of the document in any session folder (the wrap-up states of an earlier session); a
    // failure is logged.
    static void update(const QString& sessionFolder, Logger& logger,
                       const std::function<void(SessionMetadata&)>& change);

private:
    SessionMetadata metadata_;
    Logger& logger_;
};

} // namespace ebbcast
