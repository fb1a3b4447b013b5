#include "app/SettingsCommand.h"

#include "app/ArgumentParser.h"
#include "app/ClosestMatch.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/InputLine.h"
#include "app/MissingDisplayNote.h"
#include "app/PlatformBackends.h"
#include "app/SettingRules.h"
#include "app/SettingValueText.h"
#include "capture/ScreenFrameSource.h"
#include "core/base/EbbcastError.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingDefinitions.h"
#include "core/settings/SettingsFile.h"
#include "shell/StopSignals.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QStringList verbs{u"list"_s, u"get"_s, u"set"_s, u"reset"_s};

} // namespace

QString SettingsCommand::name() const
{
    return u"settings"_s;
}

QString SettingsCommand::summary() const
{
    return u"  settings list              every setting and its value\n"
           "  settings get KEY           one value, in the form 'set' accepts\n"
           "  settings set KEY VALUE     store a value ('-' reads it from standard input)\n"
           "  settings reset KEY         forget a stored value; the default applies again\n"_s;
}

QString SettingsCommand::usage() const
{
    QString text = u"Usage: ebbcast settings list\n"
                   "       ebbcast settings get KEY\n"
                   "       ebbcast settings set KEY VALUE\n"
                   "       ebbcast settings set KEY -\n"
                   "       ebbcast settings reset KEY\n\n"
                   "Shows and changes the settings in $XDG_CONFIG_HOME/Tavilon/settings.json.\n\n"
                   "  list     every setting as \"key = value\"; secrets only as set or empty\n"
                   "  get      one value, printed in the form 'set' accepts (secrets too)\n"
                   "  set      store a value; VALUE '-' reads one line of standard input, so a secret\n"
                   "           stays out of the process list and the shell history (on a terminal a\n"
                   "           secret is not shown as it is typed)\n"
                   "  reset    forget a stored value; the default applies again\n\n"
                   "Keys match without regard to case. Write -- before a value that begins with '-'.\n"
                   "true/false also accept yes/no, on/off and 1/0.\n\n"
                   "Settings and their values:\n"_s;
    for (const SettingDefinition& setting : SettingDefinitions::all()) {
        text += u"  "_s + setting.key.leftJustified(32, u' ') +
                SettingRules::expectation(setting.key, setting.type()) +
                (setting.secret ? u" (secret)"_s : QString()) + u'\n';
    }
    text += u"\nExit status: 0 done, 1 the settings file or standard input could not be used, 2 a usage\n"
            "error or a value refused (nothing is written then).\n"_s;
    return text;
}

std::optional<UsageError> SettingsCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(arguments, {});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    const QStringList words = std::get<ArgumentParser::Parsed>(parsed).arguments;
    if (words.isEmpty())
        return UsageError{u"missing command; use list, get, set or reset"_s};

    const QString verb = words.first();
    if (!verbs.contains(verb)) {
        const auto suggestion = closestMatch(verb, verbs);
        return UsageError{
            u"unknown settings command \""_s + SettingValueText::escaped(verb) + u"\"; "_s +
            (suggestion ? u"did you mean "_s + *suggestion + u'?' : u"use list, get, set or reset"_s)};
    }
    verb_ = static_cast<Verb>(verbs.indexOf(verb));
    switch (verb_) {
    case Verb::list:
        if (words.size() != 1)
            return UsageError{u"'settings list' takes no arguments"_s};
        return std::nullopt;
    case Verb::get:
    case Verb::reset:
        if (words.size() != 2)
            return UsageError{u"usage: ebbcast settings "_s + verb + u" KEY"_s};
        return parseSetting(words.at(1));
    case Verb::set:
        break;
    }
    if (words.size() != 3)
        return UsageError{
            u"usage: ebbcast settings set KEY VALUE (or - to read VALUE from standard input)"_s};
    if (auto error = parseSetting(words.at(1)))
        return error;
    valueFromInput_ = words.at(2) == u"-";
    if (valueFromInput_)
        return std::nullopt;
    auto checked = value(*setting_, words.at(2));
    if (auto* error = std::get_if<UsageError>(&checked))
        return *error;
    value_ = std::get<QVariant>(checked);
    return std::nullopt;
}

std::optional<UsageError> SettingsCommand::parseSetting(const QString& key)
{
    const SettingDefinition* found = setting(key);
    if (found == nullptr) {
        const auto suggestion = closestMatch(key, SettingDefinitions::keys());
        return UsageError{u"unknown setting \""_s + SettingValueText::escaped(key) + u"\"; "_s +
                              (suggestion ? u"did you mean "_s + *suggestion + u'?'
                                          : u"'ebbcast settings list' shows every setting"_s),
                          false};
    }
    setting_ = found;
    key_ = found->key;
    return std::nullopt;
}

bool SettingsCommand::catchesStopSignals() const
{
    return verb_ == Verb::set && valueFromInput_;
}

const SettingDefinition* SettingsCommand::setting(const QString& key)
{
    return SettingDefinitions::find(key, Qt::CaseInsensitive);
}

std::variant<QVariant, UsageError> SettingsCommand::value(const SettingDefinition& setting,
                                                          const QString& text)
{
    const auto parsed = SettingValueText::parse(setting.type(), text);
    const auto problem = parsed ? SettingRules::problem(setting.key, *parsed)
                                : std::optional(SettingRules::expectation(setting.key, setting.type()));
    if (!problem)
        return *parsed;
    // A secret's value is never repeated: the message may end up in a terminal log or a bug report.
    const QString shown = setting.secret ? QString() : u" \""_s + SettingValueText::escaped(text) + u'"';
    return UsageError{u"invalid value"_s + shown + u" for "_s + setting.key + u": expected "_s + *problem,
                      false};
}

void SettingsCommand::printAll(const PreferencesStore& preferences, QTextStream& out)
{
    for (const SettingDefinition& setting : SettingDefinitions::all()) {
        QString value = SettingValueText::display(preferences.value(setting.key));
        if (setting.secret && !value.isEmpty())
            value = u"(set; shown by 'ebbcast settings get "_s + setting.key + u"')"_s;
        out << setting.key << u" = "_s << value << u'\n';
    }
    out.flush();
}

QCoro::Task<int> SettingsCommand::run(CommandContext& context)
{
    Console& console = context.console;
    switch (verb_) {
    case Verb::list:
        printAll(context.preferences, console.out());
        co_return 0;
    case Verb::get: {
        const QVariant value = context.preferences.value(key_);
        console.out() << SettingValueText::format(value) << u'\n';
        console.out().flush();
        if (value.metaType() == QMetaType::fromType<QString>() &&
            SettingValueText::holdsControlCharacters(value.toString())) {
            console.error(key_ + u" holds control characters; they are shown escaped "_s
                                 u"(\\n, \\t, \\xHH, \\\\ for a backslash)"_s);
        }
        co_return 0;
    }
    case Verb::set: {
        auto setting = set(context);
        co_return co_await setting;
    }
    case Verb::reset:
        try {
            context.settingsFile.removeValue(key_);
        } catch (const EbbcastError& error) {
            console.error(u"could not reset "_s + key_ + u": "_s + error.description());
            co_return 1;
        }
        co_return 0;
    }
    co_return 2;
}

QCoro::Task<int> SettingsCommand::set(CommandContext& context)
{
    Console& console = context.console;
    if (!valueFromInput_)
        co_return store(context, value_);

    if (context.stopSignals.received() != 0)
        co_return Command::endedBySignal;
    const bool secret = setting_->secret;
    const bool prompt = console.inputIsTerminal();
    InputLineReader reader(console.input());
    QObject::connect(&context.stopSignals, &StopSignals::caught, &reader, &InputLineReader::cancel);
    {
        std::optional<HiddenTerminalInput> hidden;
        if (secret && prompt)
            hidden.emplace(console.input());
        if (prompt)
            console.write(key_ + (hidden && hidden->isHiding() ? u" (not shown): "_s : u": "_s));
        auto read = reader.finished();
        co_await read;
        if (reader.outcome() == InputLineReader::Outcome::cancelled && prompt)
            console.write(u"\n"_s);
    }

    switch (reader.outcome()) {
    case InputLineReader::Outcome::line:
        break;
    case InputLineReader::Outcome::cancelled:
        co_return Command::endedBySignal;
    case InputLineReader::Outcome::noInput:
        console.error(u"no value for "_s + key_ + u" on standard input"_s);
        co_return 2;
    case InputLineReader::Outcome::tooLong:
        console.error(u"the value for "_s + key_ + u" on standard input is longer than "_s +
                      QString::number(InputLineReader::maximumLength) + u" bytes"_s);
        co_return 2;
    case InputLineReader::Outcome::failed:
    case InputLineReader::Outcome::reading:
        console.error(u"could not read standard input: "_s + reader.problem());
        co_return 1;
    }
    auto checked = value(*setting_, reader.line());
    if (const auto* error = std::get_if<UsageError>(&checked)) {
        console.error(error->message);
        co_return 2;
    }
    co_return store(context, std::get<QVariant>(checked));
}

int SettingsCommand::store(CommandContext& context, const QVariant& value)
{
    QString failure;
    const auto connection =
        QObject::connect(&context.preferences, &PreferencesStore::saveFailed,
                         [&failure](const QString&, const QString& description) { failure = description; });
    context.preferences.setValue(key_, value);
    QObject::disconnect(connection);
    if (!failure.isEmpty()) {
        context.console.error(u"could not save "_s + key_ + u": "_s + failure);
        return 1;
    }
    if (key_ == u"defaultDisplayID" && value.toUInt() != 0) {
        if (const auto note = missingDisplayNote(*context.backends.screens, value.toUInt()))
            context.console.error(*note);
    }
    return 0;
}

} // namespace ebbcast
