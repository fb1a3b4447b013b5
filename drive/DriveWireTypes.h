#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// The JSON bodies exchanged with the Drive REST interface. Requests are written compactly with exactly their
// keys; replies are read strictly for what is used (a missing or mistyped member makes the reply unusable,
// GoogleDriveError::requestFailed) and unknown members are ignored.

inline constexpr auto driveFolderMimeType = "application/vnd.google-apps.folder";

// Body of a folder creation.
struct DriveCreateFolderRequest {
    QString name;
    QString parentID;

    QByteArray toJson() const; // {"name", "mimeType": folder, "parents": [parentID]}
};

// The metadata part of an upload.
struct DriveUploadMetadata {
    QString name;
    QString parentID;

    QByteArray toJson() const; // {"name", "parents": [parentID]}
};

// Reply of a creation and of a finished upload.
struct DriveFileResponse {
    QString id;

    static DriveFileResponse decode(const QByteArray& body);
};

// One entry of a file search ("files(id,size,md5Checksum)"). Drive writes the size as a decimal string;
// files without content (such as Google documents) have neither size nor checksum.
struct DriveFileEntry {
    QString id;
    std::optional<qint64> size;
    std::optional<QString> md5Checksum;

    bool operator==(const DriveFileEntry&) const = default;
};

// Reply of a search.
struct DriveFileListResponse {
    std::vector<DriveFileEntry> files;

    static DriveFileListResponse decode(const QByteArray& body);
};

// Reply of the metadata fetch. Only the presence of "videoMediaMetadata" matters.
struct DriveFileMetadata {
    QString id;
    std::optional<QString> name;
    std::optional<QString> mimeType;
    std::optional<QString> thumbnailLink;
    bool hasVideoMediaMetadata = false;

    static DriveFileMetadata decode(const QByteArray& body);
    // Drive has finished with the video: it reports video metadata, or at least a thumbnail.
    bool isProcessed() const { return hasVideoMediaMetadata || thumbnailLink.has_value(); }
};

// The signed-in account, from GET about?fields=user(displayName,emailAddress).
struct DriveAccountInfo {
    QString displayName;
    QString emailAddress;

    static DriveAccountInfo decode(const QByteArray& body);
    bool operator==(const DriveAccountInfo&) const = default;
};

// The MIME type an upload is declared with, by the file name's extension (case-insensitive): mov, m4a, wav,
// txt, md, json; anything else "application/octet-stream".
QString driveMimeType(const QString& fileName);

} // namespace ebbcast
