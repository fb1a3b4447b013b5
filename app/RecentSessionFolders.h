#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>
#include <vector>

namespace ebbcast {

// A session folder as the dashboard lists it.
struct SessionFolderEntry {
    QString path; // absolute
    QString name; // the folder's name
    // The session start its name gives, in local time; absent for a name of another form.
    std::optional<QDateTime> start;
    int suffix = 0; // the number after the start for a later session of the same second
};

struct RecentSessionFolders {
    // At most the limit, newest first.
    std::vector<SessionFolderEntry> sessions;
    // Folders without "metadata.json" yet that would be listed once it appears (a session being created):
    // watching them tells when it does.
    QStringList awaitingMetadata;
};

// The newest session folders directly under `recordingsFolder` that hold a regular "metadata.json": newest
// session start first (by the folder's name, not its modification time); a later suffix of the same second
// first; names of another form after all others, in reverse name order. Symbolic links are not followed.
// Empty when the folder cannot be listed.
RecentSessionFolders recentSessionFolders(const QString& recordingsFolder, std::size_t limit = 5);

// The newest session folder in the same order whose document says the session ended (it has an end time),
// leaving out the absolute paths `excluded` (a session being recorded, a note's target). A folder the
// recording still writes has no end time, so its half-written files are never taken for a finished session.
std::optional<QString> newestCompletedSessionFolder(const QString& recordingsFolder,
                                                    const QStringList& excluded = {});

} // namespace ebbcast
