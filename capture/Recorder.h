#pragma once

#include "capture/TrackInterruption.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace ebbcast {

// One track of a session (the microphone, the system audio, the screen; a camera note later), as the session
// drives it: prepare, start, stop. The session treats its tracks as peers: one that fails while recording
// ends alone, and says so through interruption(). Threads: the coroutines are started on the main thread and
// run their blocking parts on worker threads. Chunk reports and levels come from the recorder's own threads;
// receivers copy what they need and hop.
class Recorder {
public:
    using ChunkHandler = std::function<void(const RecordingChunkMetadata& chunk, const QString& chunkPath)>;

    virtual ~Recorder() = default;

    // "the microphone": how messages about the track name it.
    virtual QString trackName() const = 0;
    // Sets up the device and writes what the session document records of the track into `document`. Throws
    // when the track cannot record; nothing is left open then.
    virtual QCoro::Task<> prepare(SessionMetadata& document) = 0;
    // Starts recording; the track's files begin at `timelineStart` (the session's start). Throws when the
    // session cannot go on without this track.
    virtual QCoro::Task<> start(const QDateTime& timelineStart) = 0;
    // Stops and finishes the files; every chunk report has been made when it returns. Never throws; safe when
    // the start failed or never came.
    virtual QCoro::Task<> stop() = 0;
    // After stop(): what the completed document records of the track.
    virtual void complete(SessionMetadata& document) const { Q_UNUSED(document); }
    // Why the track stopped before stop(), if it did and did not recover. Read after stop().
    virtual std::optional<TrackInterruption> interruption() const = 0;
    // Whether the track's files hold any media (a failed start leaves an empty folder behind otherwise).
    virtual bool hasRecorded() const = 0;

    // Set before start(). A finished chunk file and its metadata (session members not yet filled in).
    ChunkHandler onChunkCompleted;
    // Set before start(). The track's level as it records.
    std::function<void(float level)> onLevel;
};

} // namespace ebbcast
