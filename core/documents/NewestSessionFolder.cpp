#include "core/documents/NewestSessionFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace ebbcast {

std::optional<QString> newestSessionFolderHolding(const QString& recordingsFolder, const QString& fileName)
{
    if (recordingsFolder.isEmpty())
        return std::nullopt;
    const QFileInfoList folders =
        QDir(recordingsFolder)
            .entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    std::optional<QFileInfo> newest;
    QDateTime newestDate;
    for (const QFileInfo& folder : folders) {
        if (!QFileInfo(QDir(folder.filePath()).filePath(fileName)).isFile())
            continue;
        const QDateTime modified = folder.lastModified();
        if (!newest || (modified.isValid() && (!newestDate.isValid() || modified > newestDate))) {
            newest = folder;
            newestDate = modified;
        }
    }
    if (!newest)
        return std::nullopt;
    return newest->absoluteFilePath();
}

} // namespace ebbcast
