#include "app/RecentSessionFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <tuple>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Folders without a document yet are watched only up to this many (the newest), so that a recordings folder
// full of other folders does not use up the watches.
constexpr qsizetype maximumAwaited = 16;

struct Candidate {
    SessionFolderEntry entry;
    int suffix = 0;
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
    return std::tie(left.suffix, left.entry.name) > std::tie(right.suffix, right.entry.name);
}

int suffixOf(const QString& name)
{
    static const QRegularExpression pattern(u"^\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2}-(\\d{1,9})$"_s);
    const QRegularExpressionMatch match = pattern.match(name);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

} // namespace

std::optional<QDateTime> sessionStartOfFolderName(const QString& name)
{
    static const QRegularExpression pattern(u"^(\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2})(?:-\\d{1,9})?$"_s);
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    // Local time, as the folder was named (format strings use the C locale: ASCII digits).
    const QDateTime start = QDateTime::fromString(match.captured(1), u"yyyy-MM-dd_HH-mm-ss"_s);
    if (!start.isValid())
        return std::nullopt;
    return start;
}

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
        candidate.entry.start = sessionStartOfFolderName(candidate.entry.name);
        candidate.suffix = suffixOf(candidate.entry.name);
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

} // namespace ebbcast
