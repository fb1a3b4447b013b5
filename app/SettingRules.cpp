#include "app/SettingRules.h"

#include "app/SettingValueText.h"
#include "core/base/ServiceURL.h"
#include "core/settings/SettingDefinitions.h"

#include <QUrl>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

SettingForm formOf(const QString& key)
{
    const SettingDefinition* setting = SettingDefinitions::find(key);
    return setting == nullptr ? SettingForm::any : setting->form;
}

} // namespace

bool SettingRules::isSecret(const QString& key)
{
    const SettingDefinition* setting = SettingDefinitions::find(key);
    return setting != nullptr && setting->secret;
}

QString SettingRules::expectation(const QString& key, QMetaType type)
{
    switch (formOf(key)) {
    case SettingForm::any:
        break;
    case SettingForm::fraction:
        return u"a number from 0 to 1"_s;
    case SettingForm::positiveSeconds:
        return u"a number of seconds above 0"_s;
    case SettingForm::seconds:
        return u"a number of seconds, 0 or more"_s;
    case SettingForm::displayID:
        return u"a display id, a whole number from 0 to 4294967295 (0: the main display)"_s;
    case SettingForm::folderPath:
        return u"an absolute folder, or one under a home folder written with ~"_s;
    case SettingForm::webAddress:
        return u"an http:// or https:// URL, or nothing to turn it off"_s;
    case SettingForm::gatewayAddress:
        return u"local (the offline gateway, started when needed), an http:// or https:// URL, or nothing to "
               u"turn it off"_s;
    }
    return SettingValueText::expectation(type);
}

std::optional<QString> SettingRules::problem(const QString& key, const QVariant& value)
{
    bool acceptable = true;
    switch (formOf(key)) {
    case SettingForm::any:
    case SettingForm::displayID: // every whole number of the kind names a display
        break;
    case SettingForm::fraction:
        acceptable = value.toDouble() >= 0 && value.toDouble() <= 1;
        break;
    case SettingForm::positiveSeconds:
        acceptable = value.toDouble() > 0;
        break;
    case SettingForm::seconds:
        acceptable = value.toDouble() >= 0;
        break;
    case SettingForm::folderPath:
        acceptable = value.toString().startsWith(u'/') || value.toString().startsWith(u'~');
        break;
    case SettingForm::webAddress:
        acceptable = value.toString().isEmpty() || isWebAddress(QUrl(value.toString(), QUrl::StrictMode));
        break;
    case SettingForm::gatewayAddress:
        acceptable = value.toString().isEmpty() || isLocalGatewayAddress(value.toString()) ||
                     isWebAddress(QUrl(value.toString(), QUrl::StrictMode));
        break;
    }
    return acceptable ? std::nullopt : std::optional(expectation(key, value.metaType()));
}

} // namespace ebbcast
