#include "SettingsCommand.h"

#include "EbbcastError.h"
#include "PreferencesStore.h"
#include "SettingValueText.h"
#include "SettingsFile.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

bool isSecret(const QString& key)
{
    return key == u"glossenGatewayToken" || key == u"googleClientSecret";
}

} // namespace

SettingsCommand::SettingsCommand(PreferencesStore& preferences, SettingsFile& file, QTextStream& out,
                                 QTextStream& err)
    : preferences_(preferences)
    , file_(file)
    , out_(out)
    , err_(err)
{}

QString SettingsCommand::usage()
{
    return u"  ebbcast settings list              every setting and its value\n"
           "  ebbcast settings get KEY           one value, printed in the form 'set' accepts\n"
           "  ebbcast settings set KEY VALUE     store a value (true/false, a number, text,\n"
           "                                     or a JSON array of strings for lists)\n"
           "  ebbcast settings reset KEY         forget a stored value; the default applies again\n"_s;
}

int SettingsCommand::run(const QStringList& arguments)
{
    const QString verb = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    if (verb == u"list")
        return list(rest);
    if (verb == u"get")
        return get(rest);
    if (verb == u"set")
        return set(rest);
    if (verb == u"reset")
        return reset(rest);
    if (verb.isEmpty())
        return usageError(u"missing command; use list, get, set or reset"_s);
    return usageError(u"unknown settings command \""_s + verb + u"\"; use list, get, set or reset"_s);
}

void SettingsCommand::printAll()
{
    const QMetaObject* meta = preferences_.metaObject();
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty setting = meta->property(i);
        const QString key = QString::fromLatin1(setting.name());
        QString value = SettingValueText::display(setting.read(&preferences_));
        if (isSecret(key) && !value.isEmpty())
            value = u"(set; shown by 'ebbcast settings get "_s + key + u"')"_s;
        out_ << key << u" = "_s << value << u'\n';
    }
    out_.flush();
}

int SettingsCommand::list(const QStringList& arguments)
{
    if (!arguments.isEmpty())
        return usageError(u"'settings list' takes no arguments"_s);
    printAll();
    return 0;
}

int SettingsCommand::get(const QStringList& arguments)
{
    if (arguments.size() != 1)
        return usageError(u"usage: ebbcast settings get KEY"_s);
    const auto setting = property(arguments.first());
    if (!setting)
        return 2;
    const QVariant value = setting->read(&preferences_);
    out_ << SettingValueText::format(value) << u'\n';
    out_.flush();
    if (value.metaType() == QMetaType::fromType<QString>() &&
        SettingValueText::holdsControlCharacters(value.toString())) {
        err_
            << u"ebbcast: "_s << arguments.first()
            << u" holds control characters; they are shown escaped (\\n, \\t, \\xHH, \\\\ for a backslash)\n"_s;
        err_.flush();
    }
    return 0;
}

int SettingsCommand::set(const QStringList& arguments)
{
    if (arguments.size() != 2)
        return usageError(u"usage: ebbcast settings set KEY VALUE"_s);
    const auto setting = property(arguments.first());
    if (!setting)
        return 2;
    const auto value = SettingValueText::parse(setting->metaType(), arguments.at(1));
    if (!value) {
        return usageError(u"invalid value \""_s + arguments.at(1) + u"\" for "_s + arguments.first() +
                          u": expected "_s + SettingValueText::expectation(setting->metaType()));
    }
    QString failure;
    const auto connection =
        QObject::connect(&preferences_, &PreferencesStore::saveFailed,
                         [&failure](const QString&, const QString& description) { failure = description; });
    setting->write(&preferences_, *value);
    QObject::disconnect(connection);
    if (!failure.isEmpty()) {
        err_ << u"ebbcast: could not save "_s << arguments.first() << u": "_s << failure << u'\n';
        err_.flush();
        return 1;
    }
    return 0;
}

int SettingsCommand::reset(const QStringList& arguments)
{
    if (arguments.size() != 1)
        return usageError(u"usage: ebbcast settings reset KEY"_s);
    if (!property(arguments.first()))
        return 2;
    try {
        file_.removeValue(arguments.first());
    } catch (const EbbcastError& error) {
        err_ << u"ebbcast: could not reset "_s << arguments.first() << u": "_s << error.description()
             << u'\n';
        err_.flush();
        return 1;
    }
    return 0;
}

std::optional<QMetaProperty> SettingsCommand::property(const QString& key)
{
    const QMetaObject* meta = preferences_.metaObject();
    const int index = meta->indexOfProperty(key.toLatin1().constData());
    if (index < meta->propertyOffset() || key.isEmpty()) {
        usageError(u"unknown setting \""_s + key + u"\"; 'ebbcast settings list' shows every setting"_s);
        return std::nullopt;
    }
    return meta->property(index);
}

int SettingsCommand::usageError(const QString& message)
{
    err_ << u"ebbcast: "_s << message << u'\n';
    err_.flush();
    return 2;
}

} // namespace ebbcast
