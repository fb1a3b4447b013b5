#include "core/documents/SessionFolder.h"

#include "core/base/FileError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>

#include <cerrno>

using namespace Qt::StringLiterals;

namespace ebbcast {

QString SessionFolder::sessionID(const QDateTime& startTime)
{
    // Format strings in Qt 6 use the C locale: ASCII digits, no locale-specific separators.
    return startTime.toLocalTime().toString(u"yyyy-MM-dd_HH-mm-ss"_s);
}

QString SessionFolder::create(const QString& recordingsRoot, const QString& sessionID)
{
    if (!QDir().mkpath(recordingsRoot)) {
        throw FileError(FileError::Code::createDirectoryFailed, recordingsRoot,
                        u"the folder or one of its parents could not be created"_s);
    }
    const QString root = QDir(recordingsRoot).absolutePath();
    constexpr int maximumSuffix = 100000;
    for (int suffix = 0; suffix <= maximumSuffix; ++suffix) {
        const QString name = suffix == 0 ? sessionID : sessionID + u'-' + QString::number(suffix);
        const QString path = root + u'/' + name;
        if (::mkdir(QFile::encodeName(path).constData(), 0755) == 0)
            return path;
        if (errno != EEXIST)
            throw FileError::fromErrno(FileError::Code::createDirectoryFailed, path);
    }
    throw FileError(FileError::Code::createDirectoryFailed, root + u'/' + sessionID,
                    u"every suffixed name is taken"_s);
}

QString SessionFolder::ofMetadataPath(const QString& metadataPath)
{
    return QFileInfo(metadataPath).absolutePath();
}

std::optional<SessionFolder::Name> SessionFolder::parseName(const QString& folderName)
{
    static const QRegularExpression pattern(
        u"^(\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2})(?:-(\\d{1,9}))?$"_s);
    const QRegularExpressionMatch match = pattern.match(folderName);
    if (!match.hasMatch())
        return std::nullopt;
    // Format strings use the C locale: ASCII digits, as the name was written.
    const QDateTime start = QDateTime::fromString(match.captured(1), u"yyyy-MM-dd_HH-mm-ss"_s);
    if (!start.isValid())
        return std::nullopt;
    return Name{start, match.captured(2).toInt()};
}

} // namespace ebbcast
