#include "app/SettingsFileCheck.h"

#include "app/SettingValueText.h"
#include "core/settings/SettingDefinitions.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

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
    for (const SettingDefinition& setting : SettingDefinitions::all()) {
        const QJsonValue value = stored.object.value(setting.key);
        if (value.isUndefined() || value.isNull() || setting.load(value))
            continue;
        found.append(u"the settings file "_s + path + u" holds a value for "_s + setting.key +
                     u" that is not "_s + SettingValueText::expectation(setting.type()) +
                     u"; its default is used"_s);
    }
    return found;
}

} // namespace ebbcast
