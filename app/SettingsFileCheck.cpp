#include "app/SettingsFileCheck.h"

#include "app/SettingValueText.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/RecordingAudioFormat.h"

#include <QJsonArray>
#include <QMetaProperty>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Whether the store reads the stored value as it is, rather than falling back to the default.
bool isOfKind(const QJsonValue& value, QMetaType type)
{
    if (type == QMetaType::fromType<bool>())
        return value.isBool();
    if (type == QMetaType::fromType<double>())
        return value.isDouble();
    if (type == QMetaType::fromType<quint32>()) {
        const double number = value.toDouble(-1);
        return value.isDouble() && number >= 0 &&
               number < static_cast<double>(std::numeric_limits<quint32>::max()) + 1;
    }
    if (type == QMetaType::fromType<QStringList>()) {
        const QJsonArray array = value.toArray();
        return value.isArray() && std::all_of(array.begin(), array.end(),
                                              [](const QJsonValue& element) { return element.isString(); });
    }
    if (type == QMetaType::fromType<RecordingAudioFormat>())
        return value.isString() && RecordingAudioFormat::fromRawValue(value.toString()).has_value();
    return value.isString();
}

} // namespace

QStringList SettingsFileCheck::problems(const QString& path)
{
    return problems(path, JsonDocumentFile::read(path, JsonDocumentFile::IllegalNumbers::readAsNull));
}

QStringList SettingsFileCheck::problems(const QString& path, const JsonDocumentFile::ReadResult& stored)
{
    using Status = JsonDocumentFile::ReadResult::Status;
    if (stored.status == Status::unreadable) {
        return {u"the settings file "_s + path + u" cannot be read ("_s + stored.problem +
                u"); the defaults are used, and the next change keeps the file aside as "_s + path +
                u".corrupt-<time>"_s};
    }
    QStringList found;
    if (!stored.membersWithIllegalNumbers.isEmpty()) {
        found.append(u"the settings file "_s + path + u" holds numbers out of range for "_s +
                     stored.membersWithIllegalNumbers.join(u", "_s) + u"; their defaults are used"_s);
    }
    const QMetaObject& meta = PreferencesStore::staticMetaObject;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        const QMetaProperty setting = meta.property(i);
        const QString key = QString::fromLatin1(setting.name());
        const QJsonValue value = stored.object.value(key);
        if (value.isUndefined() || value.isNull() || isOfKind(value, setting.metaType()))
            continue;
        found.append(u"the settings file "_s + path + u" holds a value for "_s + key + u" that is not "_s +
                     SettingValueText::expectation(setting.metaType()) + u"; its default is used"_s);
    }
    return found;
}

} // namespace ebbcast
