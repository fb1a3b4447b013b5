#include "core/settings/PreferencesStore.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/settings/SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QMetaProperty>

#include <pwd.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// "~" and "~/x" name the user's home; "~name/x" another user's home when that user exists.
QString expandTilde(const QString& path)
{
    if (!path.startsWith(u'~'))
        return path;
    const qsizetype slash = path.indexOf(u'/');
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString rest = slash < 0 ? QString() : path.mid(slash);
    if (user.isEmpty())
        return QDir::homePath() + rest;
    const QByteArray name = user.toLocal8Bit();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return path;
    return QString::fromLocal8Bit(found->pw_dir) + rest;
}

} // namespace

PreferencesStore::PreferencesStore(SettingsFile& file, Logger& logger, QObject* parent)
    : QObject(parent)
    , file_(file)
    , logger_(logger)
{
    const QJsonObject stored = file.load();
    for (const SettingDefinition& setting : SettingDefinitions::all())
        values_.append(setting.load(stored.value(setting.key)).value_or(setting.defaultValue));
}

QStringList PreferencesStore::defaultWatchList()
{
    return SettingDefinitions::find(u"enabledWatchListApps")->defaultValue.toStringList();
}

QUrl PreferencesStore::recordingFolderURL() const
{
    const QString absolute = QFileInfo(expandTilde(recordingFolderPath())).absoluteFilePath();
    return QUrl::fromLocalFile(absolute.endsWith(u'/') ? absolute : absolute + u'/');
}

QVariant PreferencesStore::value(QStringView key) const
{
    const qsizetype index = SettingDefinitions::indexOf(key);
    return index < 0 ? QVariant() : values_.at(index);
}

bool PreferencesStore::setValue(QStringView key, const QVariant& value)
{
    const QMetaObject& meta = staticMetaObject;
    const int property = meta.indexOfProperty(key.toLatin1().constData());
    return property >= meta.propertyOffset() && meta.property(property).write(this, value);
}

void PreferencesStore::persist(const SettingDefinition& setting, const QVariant& value)
{
    try {
        file_.setValue(setting.key, setting.stored(value));
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to save setting "_s + setting.key + u": "_s + error.description());
        Q_EMIT saveFailed(setting.key, error.description());
    }
}

} // namespace ebbcast
