#pragma once

#include "core/base/WallClock.h"

#include <QString>

#include <functional>
#include <optional>

namespace ebbcast {

class Logger;

// What a repair run came to.
struct RecoveryOutcome {
    enum class Kind { nothingToRepair, repaired, failed };

    Kind kind = Kind::nothingToRepair;
    QString folder;      // the session repaired, or the one that could not be
    QString description; // why it could not be (failed only)

    static RecoveryOutcome repaired(const QString& folder) { return {Kind::repaired, folder, {}}; }
    static RecoveryOutcome failed(const QString& folder, const QString& description)
    {
        return {Kind::failed, folder, description};
    }
};

// Completes the newest session a crash left unfinished: a folder under the recordings root whose
// "metadata.json" has no end time and which has the active-recording marker or media files.
// - A folder whose session lock another process holds belongs to a live recording and is skipped; with the
//   lock taken the repair keeps it and removes the lock file at the end. Folders of older versions have none.
// - Only regular files (no symbolic links) whose real location is inside the session folder are read or
//   changed: the media the document names and the chunk files in "chunks/".
// - WAV headers are made to cover the audio the files hold. A chunk that has audio but no chunk document (the
//   one open at the crash) gets its document and an entry in "live_chunks": it starts where the previous
//   chunk of its kind ended (the session start for the first) and lasts as long as its audio.
// - The document gets its end time (the newest media modification time, not before the start, or now
//   without media), duration and interruption note; members this version does not know are kept.
// - An unreadable document beside a marker is logged and its folder skipped. A repair that cannot
//   complete the document fails and leaves the marker, so the next launch tries again.
// Main thread, at launch; blocks on file I/O (and reads whole system-audio chunks to measure them).
class SessionRecovery {
public:
    // Seconds of audio in a media file that is not WAV; nothing when unknown.
    using AudioSeconds = std::function<std::optional<double>(const QString& path)>;

    SessionRecovery(QString recordingsRoot, Logger& logger, WallClock clock, AudioSeconds audioSeconds);

    RecoveryOutcome run();

    static QString interruptionNote();

private:
    struct Candidate;

    std::optional<Candidate> candidateIn(const QString& folder);
    RecoveryOutcome repair(const QString& folder, Candidate& candidate);

    QString root_;
    Logger& logger_;
    WallClock clock_;
    AudioSeconds audioSeconds_;
};

} // namespace ebbcast
