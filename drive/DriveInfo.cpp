#include "drive/DriveInfo.h"

#include "core/base/DriveWebLinks.h"
#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"

#include <QDir>
#include <QFileInfo>

namespace ebbcast {

DriveInfo readDriveInfo(const QString& folder, const QString& file, const DriveWebLinks& links,
                        Logger& logger, const std::optional<UploadState>& known, WallClock clock)
{
    std::optional<UploadState> state = known;
    if (!state) {
        if (!QFileInfo::exists(QDir(folder).filePath(QString(UploadStateFile::fileName))))
            return {};
        state = UploadStateFile(folder, logger, std::move(clock)).load();
    }
    DriveInfo info;
    auto found = state->uploadedFiles.find(UploadRules::uploadKey(folder, file));
    if (found == state->uploadedFiles.end())
        found = state->uploadedFiles.find(QFileInfo(file).fileName());
    if (found != state->uploadedFiles.end()) {
        info.fileID = found->second.driveFileID;
        info.driveURL = links.fileLink(found->second.driveFileID);
    }
    if (state->driveFolderID)
        info.folderURL = links.folderLink(*state->driveFolderID);
    return info;
}

} // namespace ebbcast
