#pragma once

#include "drive/UploadState.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace ebbcast {

// Where each local file of a session folder goes on Drive, and under which key it is remembered. Pure rules:
// nothing here talks to Drive.
namespace UploadRules {

// The file's path relative to the session folder ("chunks/mic_chunk_0001.wav"), from the absolute, cleaned
// paths of both; symbolic links are not resolved. A file outside the folder is keyed by its name alone.
QString uploadKey(const QString& sessionFolder, const QString& file);

// The Drive folder of the session's day: the date part of the session folder's name ("2026-12-06" of
// "2026-12-06_08-21-20"), or the whole name when it is shorter than a date.
QString dayFolderName(const QString& sessionFolder);
// For display: day folder name + " / " + session folder name.
QString driveArchivePath(const QString& sessionFolder);

// The Drive folder id named by the folder setting: a bare id, or a folder link (".../folders/<id>...").
// Throws GoogleDriveError::invalidFolderURL for an empty text, a link without an id, or an id of other
// characters than letters, digits, "_" and "-".
QString folderID(const QString& setting);

// The subfolder a file goes to, or nothing for the session folder itself.
std::optional<DriveSubfolderKey> uploadDestination(const QString& key);

struct DriveTarget {
    QString folderID;
    QString folderLabel; // the subfolder's Drive name, or "session root"
    QString fileName;    // the file's name on Drive

    bool operator==(const DriveTarget&) const = default;
};
// Throws GoogleDriveError::invalidFolderURL while the state has no session folder id. A destination whose
// folder id is not in the state falls back to the session folder.
DriveTarget driveTarget(const QString& sessionFolder, const QString& key, const UploadState& state);

// Files of the session's own bookkeeping (".ebbcast_..."), including the hidden leftovers of an interrupted
// atomic write of one ("..ebbcast_....XXXXXX"), the documents' lock (".metadata.json.lock") and the
// temporary of any atomic write in progress (".<name>.XXXXXX") are never uploaded.
bool isExcludedFromUpload(const QString& fileName);

// Upload keys in the order files are sent: ascending by code point.
bool uploadKeyLess(const QString& a, const QString& b);

// The files to upload from a session folder, as absolute paths in upload-key order: every regular file at any
// depth, hidden ones included, except the excluded names. Symbolic links are never followed (neither a linked
// file nor a linked folder is listed); entries that cannot be examined are skipped.
QStringList sessionFiles(const QString& sessionFolder);

} // namespace UploadRules
} // namespace ebbcast
