#include "transcription/TranscriptFinalizationGate.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

TranscriptFinalizationGate::TranscriptFinalizationGate()
    : TranscriptFinalizationGate(SessionFolderGate::Options{})
{}

TranscriptFinalizationGate::TranscriptFinalizationGate(SessionFolderGate::Options options)
    : folderLocks_(QString(lockFileName), u"the final transcript"_s, std::move(options))
{}

QString TranscriptFinalizationGate::key(const QString& sessionFolder)
{
    return SessionFolderGate::normalizedPath(sessionFolder);
}

bool TranscriptFinalizationGate::enter(const QString& key, int attempt)
{
    if (!activeSessions_.contains(key)) {
        activeSessions_.insert(key);
        return true;
    }
    auto [found, inserted] = pendingSessions_.emplace(key, attempt);
    if (!inserted && found->second < attempt)
        found->second = attempt;
    return false;
}

std::optional<int> TranscriptFinalizationGate::leave(const QString& key)
{
    const auto found = pendingSessions_.find(key);
    if (found != pendingSessions_.end()) {
        const int attempt = found->second;
        pendingSessions_.erase(found);
        return attempt;
    }
    activeSessions_.remove(key);
    return std::nullopt;
}

QCoro::Task<SessionFolderGate::Lease> TranscriptFinalizationGate::lockFolder(QString sessionFolder)
{
    co_return co_await folderLocks_.acquire(std::move(sessionFolder));
}

} // namespace ebbcast
