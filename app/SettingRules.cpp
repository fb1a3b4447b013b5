#include "app/SettingRules.h"

#include "app/SettingValueText.h"

#include <QStringList>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QStringList& secrets()
{
    static const QStringList keys{u"glossenGatewayToken"_s, u"googleClientSecret"_s, u"webhookURL"_s};
    return keys;
}

const QStringList& addresses()
{
    static const QStringList keys{u"googleDriveFolderURL"_s, u"webhookURL"_s, u"clockSyncURL"_s,
                                  u"glossenGatewayBaseURL"_s, u"updateFeedURL"_s};
    return keys;
}

const QStringList& durations()
{
    static const QStringList keys{u"autoStopSilenceSeconds"_s, u"microphonePromptCooldownSeconds"_s};
    return keys;
}

bool isWebAddress(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == u"http" || url.scheme() == u"https") && !url.host().isEmpty();
}

} // namespace

bool SettingRules::isSecret(const QString& key)
{
    return secrets().contains(key);
}

QString SettingRules::expectation(const QString& key, QMetaType type)
{
    if (key == u"silenceThreshold")
        return u"a number from 0 to 1"_s;
    if (durations().contains(key))
        return u"a number of seconds above 0"_s;
    if (key == u"defaultDisplayID")
        return u"a display id, a whole number from 0 to 4294967295 (0: the main display)"_s;
    if (key == u"recordingFolderPath")
        return u"an absolute folder, or one under a home folder written with ~"_s;
    if (addresses().contains(key))
        return u"an http:// or https:// URL, or nothing to turn it off"_s;
    return SettingValueText::expectation(type);
}

std::optional<QString> SettingRules::problem(const QString& key, const QVariant& value)
{
    const QString expected = expectation(key, value.metaType());
    if (key == u"silenceThreshold") {
        const double number = value.toDouble();
        return number >= 0 && number <= 1 ? std::nullopt : std::optional(expected);
    }
    if (durations().contains(key))
        return value.toDouble() > 0 ? std::nullopt : std::optional(expected);
    if (key == u"recordingFolderPath") {
        const QString path = value.toString();
        return path.startsWith(u'/') || path.startsWith(u'~') ? std::nullopt : std::optional(expected);
    }
    if (addresses().contains(key)) {
        const QString address = value.toString();
        return address.isEmpty() || isWebAddress(address) ? std::nullopt : std::optional(expected);
    }
    return std::nullopt;
}

} // namespace ebbcast
