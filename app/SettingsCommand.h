#pragma once

#include "app/Command.h"

#include <QTextStream>
#include <QVariant>

#include <optional>
#include <variant>

namespace ebbcast {

class PreferencesStore;
struct SettingDefinition;

// "ebbcast settings list|get|set|reset": the settings of SettingDefinitions from a terminal. Keys match
// without regard to case, and a mistyped one is answered with the closest. "set" checks the value's kind and,
// where a setting has them, its range and form, all before anything is built; "-" as the value reads it from
// a line of standard input (hidden on a terminal for a secret), so a secret stays out of the process list and
// the shell history. Values are read and written through the store, so the file gets exactly the typed values
// the application itself writes.
class SettingsCommand : public Command {
public:
    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    // Only while a value is read from standard input: Ctrl-C then restores the terminal before it ends.
    bool catchesStopSignals() const override;
    // 0 done, 1 the file (or standard input) could not be used, 2 a value refused; nothing is written then.
    QCoro::Task<int> run(CommandContext& context) override;

    // "key = value" for every setting, in declaration order, one line each (control characters and
    // backslashes escaped); secrets are shown only as set or empty.
    static void printAll(const PreferencesStore& preferences, QTextStream& out);
    // The setting a key names, compared without regard to case; nothing for an unknown key.
    static const SettingDefinition* setting(const QString& key);
    // The value `text` stands for, or why the setting refuses it.
    static std::variant<QVariant, UsageError> value(const SettingDefinition& setting, const QString& text);

private:
    enum class Verb { list, get, set, reset };

    std::optional<UsageError> parseSetting(const QString& key);
    QCoro::Task<int> set(CommandContext& context);
    int store(CommandContext& context, const QVariant& value);

    Verb verb_ = Verb::list;
    const SettingDefinition* setting_ = nullptr;
    QString key_;
    QVariant value_;
    bool valueFromInput_ = false;
};

} // namespace ebbcast
