#pragma once

#include "core/base/SessionFolderGate.h"

#include <QCoro/QCoroTask>
#include <QSet>
#include <QString>

#include <map>

namespace ebbcast {

// At most one finalization per session at a time. In this process: a session whose finalization runs is
// active; calls arriving meanwhile only mark it pending, and however many arrive they collapse into one more
// run, which keeps the highest retry attempt among them (so a retry that met a busy session still counts
// towards the limit). Across processes: each run holds the advisory lock ".ebbcast_transcript_state.lock" in
// the session folder, waited for without blocking the event loop, so the application and a command-line run
// never write one set and one state file together.
// Sessions are keyed by their canonical folder path. Main thread.
class TranscriptFinalizationGate {
public:
    static constexpr QLatin1StringView lockFileName{".ebbcast_transcript_state.lock"};

    TranscriptFinalizationGate();
    explicit TranscriptFinalizationGate(SessionFolderGate::Options options);

    static QString key(const QString& sessionFolder);

    // Marks the session active and returns true, or, when it already is, marks it pending with `attempt`
    // (keeping a higher attempt already pending) and returns false.
    bool enter(const QString& key, int attempt);
    // Ends the active run. When calls arrived meanwhile, the session stays active and the attempt of the
    // run that must follow is returned; otherwise the session is released.
    std::optional<int> leave(const QString& key);

    // The cross-process turn for one run. Throws SessionFolderGateError when the folder cannot be locked.
    QCoro::Task<SessionFolderGate::Lease> lockFolder(QString sessionFolder);

    bool isActive(const QString& key) const { return activeSessions_.contains(key); }
    bool isPending(const QString& key) const { return pendingSessions_.contains(key); }
    bool isIdle() const { return activeSessions_.isEmpty(); }

private:
    QSet<QString> activeSessions_;
    std::map<QString, int> pendingSessions_; // key -> attempt of the run to follow
    SessionFolderGate folderLocks_;
};

} // namespace ebbcast
