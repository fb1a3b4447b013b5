#include "drive/UnfinishedUploads.h"

#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace ebbcast {

QStringList sessionsWithUnfinishedUploads(const QString& recordingsFolder, const QString& activeMarkerName,
                                          Logger& logger)
{
    QStringList sessions;
    const QDir recordings(recordingsFolder);
    const QFileInfoList entries =
        recordings.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString folder = entry.absoluteFilePath();
        const QFileInfo state(folder + u'/' + UploadStateFile::fileName);
        if (!state.isFile() || state.isSymLink() || QFileInfo::exists(folder + u'/' + activeMarkerName))
            continue;
        const UploadState recorded = UploadStateFile(folder, logger).load();
        const QStringList files = UploadRules::sessionFiles(folder);
        const bool missing = std::any_of(files.cbegin(), files.cend(), [&](const QString& file) {
            return !recorded.uploadedFiles.contains(UploadRules::uploadKey(folder, file));
        });
        if (missing)
            sessions.append(folder);
    }
    std::reverse(sessions.begin(), sessions.end());
    return sessions;
}

} // namespace ebbcast
