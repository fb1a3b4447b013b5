#include "app/RecentSessionFolders.h"

#include "core/documents/SessionFolder.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <tuple>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Folders without a document yet are watched only up to this many (the newest), so that a recordings folder
// full of other folders does not use up the watches.
constexpr qsizetype maximumAwaited = 16;

struct Candidate {
    SessionFolderEntry entry;
    bool hasMetadata = false;
};

// Newest first: a start before none, a later start, a higher suffix, then the reverse name order.
bool newerThan(const Candidate& left, const Candidate& right)
{
    const bool leftDated = left.entry.start.has_value();
    const bool rightDated = right.entry.start.has_value();
    if (leftDated != rightDated)
        return leftDated;
    if (leftDated && *left.entry.start != *right.entry.start)
        return *left.entry.start > *right.entry.start;
    return std::tie(left.entry.suffix, left.entry.name) > std::tie(right.entry.suffix, right.entry.name);
}

} // namespace

RecentSessionFolders recentSessionFolders(const QString& recordingsFolder, std::size_t limit)
{
    RecentSessionFolders result;
    if (recordingsFolder.isEmpty() || limit == 0)
        return result;
    const QFileInfoList folders =
        QDir(recordingsFolder)
            .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    std::vector<Candidate> candidates;
    candidates.reserve(static_cast<std::size_t>(folders.size()));
    for (const QFileInfo& folder : folders) {
        Candidate candidate;
        candidate.entry.path = folder.absoluteFilePath();
        candidate.entry.name = folder.fileName();
        if (const auto parsed = SessionFolder::parseName(candidate.entry.name)) {
            candidate.entry.start = parsed->start;
            candidate.entry.suffix = parsed->suffix;
        }
        candidate.hasMetadata = QFileInfo(QDir(candidate.entry.path).filePath(u"metadata.json"_s)).isFile();
        candidates.push_back(std::move(candidate));
    }
    std::sort(candidates.begin(), candidates.end(), newerThan);
    for (Candidate& candidate : candidates) {
        if (result.sessions.size() >= limit)
            break;
        if (candidate.hasMetadata)
            result.sessions.push_back(std::move(candidate.entry));
        else if (result.awaitingMetadata.size() < maximumAwaited)
            result.awaitingMetadata.append(candidate.entry.path);
    }
    return result;
}

std::optional<QString> newestCompletedSessionFolder(const QString& recordingsFolder,
                                                    const QStringList& excluded)
{
    const RecentSessionFolders folders =
        recentSessionFolders(recordingsFolder, std::numeric_limits<std::size_t>::max());
    for (const SessionFolderEntry& entry : folders.sessions) {
        if (excluded.contains(entry.path))
            continue;
        const std::optional<QJsonObject> stored =
            JsonDocumentFile::readObject(QDir(entry.path).filePath(u"metadata.json"_s));
        const std::optional<SessionMetadata> session =
            stored ? SessionMetadata::fromJson(*stored) : std::nullopt;
        if (session && session->endTime)
            return entry.path;
    }
    return std::nullopt;
}

} // namespace ebbcast
