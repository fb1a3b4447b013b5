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
    for (const SettingDefinition& setting : SettingDefinitions::all()) {
        const std::optional<QVariant> loaded = setting.load(stored.value(setting.key));
        values_.append(loaded.value_or(setting.defaultValue));
        held_.append(loaded.has_value());
    }
    // Once every setting has its value, the defaults that follow another one's.
    for (qsizetype index = 0; index < values_.size(); ++index) {
        if (!held_.at(index))
            values_[index] = defaultOf(index);
    }
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

QVariant PreferencesStore::defaultOf(qsizetype index) const
{
    const SettingDefinition& setting = SettingDefinitions::all().at(index);
    if (!setting.dependentDefault)
        return setting.defaultValue;
    return setting.dependentDefault->value(value(setting.dependentDefault->key));
}

void PreferencesStore::followDefaults(qsizetype index)
{
    const QList<SettingDefinition>& settings = SettingDefinitions::all();
    for (qsizetype dependent = 0; dependent < settings.size(); ++dependent) {
        const SettingDefinition& setting = settings.at(dependent);
        if (held_.at(dependent) || !setting.dependentDefault ||
            setting.dependentDefault->key != settings.at(index).key)
            continue;
        const QVariant renewed = defaultOf(dependent);
        if (renewed == values_.at(dependent))
            continue;
        values_[dependent] = renewed;
        // The property's own change signal, with its typed value.
        const QMetaObject& meta = staticMetaObject;
        const QMetaProperty property =
            meta.property(meta.indexOfProperty(setting.key.toLatin1().constData()));
        const bool notified = property.notifySignal().invoke(
            this, Qt::DirectConnection, QGenericArgument(renewed.metaType().name(), renewed.constData()));
        Q_ASSERT(notified);
        Q_UNUSED(notified);
    }
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
