#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace ebbcast {

// Names and creates session folders under the recordings root. A folder is named by the session's start time
// in the local time zone, "yyyy-MM-dd_HH-mm-ss"; when that name is taken "-1", "-2", ... are appended.
class SessionFolder {
public:
    SessionFolder() = delete;

    // The session identifier: the unsuffixed formatted start time.
    static QString sessionID(const QDateTime& startTime);

    // Creates the recordings root with its parents, then the first free session folder inside it (without
    // parents), and returns its absolute path. Throws FileError. Creating is the test for "free", so two
    // processes starting in the same second still get different folders.
    static QString create(const QString& recordingsRoot, const QString& sessionID);

    // The folder of a session document: the parent of its "metadata.json" path.
    static QString ofMetadataPath(const QString& metadataPath);

    // What a folder's name says: the session start (local time) and the number appended for a later session
    // of the same second (0 for none). Nothing for a name of another form.
    struct Name {
        QDateTime start;
        int suffix = 0;
    };
    static std::optional<Name> parseName(const QString& folderName);
};

} // namespace ebbcast
