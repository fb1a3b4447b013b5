#include "core/settings/SettingsFile.h"

#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cerrno>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// The settings folder is private to the user when this creates it; an existing one is left as it is.
void ensureFolder(const QString& folder)
{
    if (QFileInfo(folder).isDir())
        return;
    QDir().mkpath(QFileInfo(folder).absolutePath());
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        throw FileError::fromErrno(FileError::Code::createDirectoryFailed, folder);
}

// A null member means nothing is stored for the key; the document encoder would refuse to write it.
void dropNulls(QJsonObject& settings)
{
    for (auto member = settings.begin(); member != settings.end();) {
        if (member.value().isNull())
            member = settings.erase(member);
        else
            ++member;
    }
}

JsonDocumentFile::ReadResult readSettings(const QString& path)
{
    auto result = JsonDocumentFile::read(path, JsonDocumentFile::IllegalNumbers::readAsNull);
    dropNulls(result.object);
    return result;
}

} // namespace

SettingsFile::SettingsFile(QString path, Logger& logger)
    : path_(std::move(path))
    , logger_(logger)
{}

QJsonObject SettingsFile::load() const
{
    const auto result = readSettings(path_);
    if (result.status == JsonDocumentFile::ReadResult::Status::unreadable) {
        logger_.error(u"Failed to read settings: \""_s + path_ +
                      u"\" is not a readable settings document ("_s + result.problem +
                      u"); defaults are used and the file is kept aside at the next change"_s);
    }
    // Only key names: a value may be a secret.
    if (!result.membersWithIllegalNumbers.isEmpty()) {
        logger_.error(u"Failed to read settings: \""_s + path_ + u"\" holds numbers out of range for "_s +
                      result.membersWithIllegalNumbers.join(u", "_s) +
                      u"; their defaults are used and the next change drops them"_s);
    }
    return result.object;
}

void SettingsFile::setValue(const QString& key, const QJsonValue& value)
{
    change([&](QJsonObject& settings) { settings.insert(key, value); });
}

void SettingsFile::removeValue(const QString& key)
{
    change([&](QJsonObject& settings) { settings.remove(key); });
}

void SettingsFile::change(const std::function<void(QJsonObject&)>& edit)
{
    ensureFolder(QFileInfo(path_).absolutePath());
    const FileLock lock(path_ + u".lock"_s);
    auto current = readSettings(path_);
    if (current.status == JsonDocumentFile::ReadResult::Status::unreadable)
        keepCorruptCopy();
    edit(current.object);
    dropNulls(current.object);
    JsonDocumentFile::write(path_, current.object, ownerOnly);
}

void SettingsFile::keepCorruptCopy() const
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd'T'HHmmss'Z'"_s);
    QString backup = path_ + u".corrupt-"_s + stamp;
    for (int n = 1; QFileInfo::exists(backup); ++n)
        backup = path_ + u".corrupt-"_s + stamp + u'-' + QString::number(n);
    struct stat status {};
    const QByteArray original = QFile::encodeName(path_);
    if (::stat(original.constData(), &status) == 0 && !S_ISREG(status.st_mode)) {
        // Copying a FIFO or a device could block or never end; the entry itself is moved aside instead.
        if (::rename(original.constData(), QFile::encodeName(backup).constData()) != 0)
            throw FileError::fromErrno(FileError::Code::writeFailed, backup);
    } else {
        QFile file(path_);
        if (!file.copy(backup))
            throw FileError(FileError::Code::writeFailed, backup, file.errorString());
        QFile::setPermissions(backup, ownerOnly);
    }
    logger_.info(u"Unreadable settings file kept as \""_s + backup + u"\" before it is replaced"_s);
}

} // namespace ebbcast
