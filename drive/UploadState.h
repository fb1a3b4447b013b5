#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <array>
#include <map>
#include <optional>

namespace ebbcast {

// The four fixed folders inside a session's Drive folder, in the order they are created.
enum class DriveSubfolderKey { liveChunks, chunkTranscripts, finalRecording, finalTranscript };

inline constexpr std::array<DriveSubfolderKey, 4> allDriveSubfolderKeys{
    DriveSubfolderKey::liveChunks, DriveSubfolderKey::chunkTranscripts, DriveSubfolderKey::finalRecording,
    DriveSubfolderKey::finalTranscript};

// The key of the subfolder in the state file's "drive_folders" ("live_chunks").
QString rawValue(DriveSubfolderKey key);
// The folder's name on Drive ("01 Live Chunks").
QString driveFolderName(DriveSubfolderKey key);
std::optional<DriveSubfolderKey> driveSubfolderKeyFromRawValue(const QString& raw);

// A local file that is on Drive: its Drive id and when its upload finished.
struct UploadedFileState {
    QString driveFileID;
    QDateTime uploadedAt;

    static std::optional<UploadedFileState> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const UploadedFileState&) const = default;
};

// A file whose upload has begun but is not yet recorded: what the local file was when it started, and for a
// resumable upload the session address to resume it with (a credential: the state file is private).
struct PendingUpload {
    qint64 size = 0;
    QDateTime modifiedAt; // whole seconds
    QDateTime startedAt;
    std::optional<QString> sessionURL;

    // Whether a local file of this size and modification time is still the one whose upload began. Times are
    // compared at whole seconds, as stored.
    bool matches(qint64 fileSize, const QDateTime& fileModifiedAt) const;

    static std::optional<PendingUpload> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const PendingUpload&) const = default;
};

// What of one session folder is on Drive, keyed by upload key (the file's path relative to the session
// folder).
struct UploadState {
    std::optional<QString> driveFolderID;
    std::optional<QString> driveDayFolderID;
    std::map<QString, QString> driveFolders; // raw value of a DriveSubfolderKey -> Drive folder id
    std::map<QString, UploadedFileState> uploadedFiles;
    std::map<QString, PendingUpload> pendingUploads; // left out of the file while empty

    // Every member is optional: a missing id is absent, a missing map empty. A member of the wrong kind, or
    // an entry without its required members, makes the whole state unreadable.
    static std::optional<UploadState> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    std::optional<QString> driveFolder(DriveSubfolderKey key) const;

    bool operator==(const UploadState&) const = default;
};

} // namespace ebbcast
