#pragma once

#include "core/base/WallClock.h"
#include "drive/UploadState.h"

#include <QString>

#include <optional>

namespace ebbcast {

class DriveWebLinks;
class Logger;

// Where a session's file is on Drive, as the session's upload state records it.
struct DriveInfo {
    std::optional<QString> fileID;    // the file's Drive id
    std::optional<QString> driveURL;  // the file's web page ("/file/d/<id>/view")
    std::optional<QString> folderURL; // the session folder's web page ("/drive/folders/<id>")

    bool operator==(const DriveInfo&) const = default;
};

// The Drive id and links of `file` of the session `folder`: looked up under its upload key, else under its
// bare file name (how earlier versions keyed some files). The state is `known` when given, else read from
// the folder's upload state file (UploadStateFile::load, with its logging); without a state file nothing is
// known. The folder link needs the state's session folder id.
DriveInfo readDriveInfo(const QString& folder, const QString& file, const DriveWebLinks& links,
                        Logger& logger, const std::optional<UploadState>& known = std::nullopt,
                        WallClock clock = systemTime);

} // namespace ebbcast
