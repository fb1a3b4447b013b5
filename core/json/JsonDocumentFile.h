#pragma once

#include <QDateTime>
#include <QFileDevice>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace ebbcast {

// Reads and writes one stored JSON document. Writing goes through DocumentEncoder and AtomicFile.
class JsonDocumentFile {
public:
    // Larger files are not read at all: no document of ours comes near this.
    static constexpr qint64 maximumSize = 16 * 1024 * 1024;

    // What happens to a number Qt's JSON parser refuses (one that overflows a double, such as 1e309).
    enum class IllegalNumbers {
        makeUnreadable, // the whole document is unreadable
        readAsNull,     // the number reads as null and the rest of the document loads
    };

    struct ReadResult {
        enum class Status { ok, missing, unreadable };
        Status status = Status::missing;
        QJsonObject object;
        QString problem; // why an unreadable document could not be read
        // Top-level members whose value held an illegal number that was read as null (in document order).
        QStringList membersWithIllegalNumbers;
    };

    // Only a regular file of at most maximumSize bytes is read; anything else (a FIFO, a device, a folder)
    // is unreadable without blocking.
    static ReadResult read(const QString& path,
                           IllegalNumbers illegalNumbers = IllegalNumbers::makeUnreadable);
    // The document's top-level object, or nothing when the file is missing or not a readable JSON object.
    static std::optional<QJsonObject> readObject(const QString& path);

    // Moves an unreadable document aside, beside it as "<name>.corrupt-<UTC time>" (with "-N" added when that
    // name is taken). The new path, or the system's reason why the file could not be moved.
    struct KeptAside {
        QString path;
        QString failure; // empty on success
    };
    static KeptAside keepAside(const QString& path, const QDateTime& now);

    // Reads a state document that its owner replaces as a whole, for an update. `decode` takes the object and
    // says whether it decoded. A document that reads but does not decode is kept aside (keepAside), so that
    // the owner starts afresh without destroying it; a file whose bytes cannot be read at all, or that cannot
    // be kept aside, is unreadable, and the owner must write nothing. `what` names the document in the
    // messages ("relay state").
    struct StateRead {
        enum class Outcome { missing, decoded, keptAside, unreadable };
        Outcome outcome = Outcome::missing;
        // keptAside: the error line to log (names both paths and the problem, never the content);
        // unreadable: the error's description.
        QString message;
    };
    static StateRead readState(const QString& path, const QString& what,
                               const std::function<bool(const QJsonObject&)>& decode, const QDateTime& now);

    // Throws DocumentError or FileError; the old file stays as it was on failure.
    static void write(const QString& path, const QJsonObject& document,
                      std::optional<QFileDevice::Permissions> permissions = std::nullopt);
};

} // namespace ebbcast
