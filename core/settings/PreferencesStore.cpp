#include "core/settings/PreferencesStore.h"

#include "core/base/AppPaths.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/settings/SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QMetaProperty>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
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
    const QString absolute = QFileInfo(AppPaths::expandHome(recordingFolderPath())).absoluteFilePath();
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
