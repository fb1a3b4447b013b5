#pragma once

#include "app/UsageError.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace ebbcast {

// One command's arguments read the way GNU tools read them: "--name VALUE" and "--name=VALUE" for options
// that take a value, "--" ends the options, "-" alone and negative numbers ("-0.5") are arguments. An
// unknown option is refused with the closest known one suggested. -h and --help are the dispatcher's.
class ArgumentParser {
public:
    struct Option {
        QString name; // with its dashes: "--duration"
        bool takesValue = false;
    };

    struct Parsed {
        QStringList arguments;          // everything that is not an option, in order
        QHash<QString, QString> values; // option name -> its last value ("" for a flag)

        bool has(const QString& option) const { return values.contains(option); }
    };

    static std::variant<Parsed, UsageError> parse(const QStringList& arguments, const QList<Option>& options);

    // -h or --help before a "--".
    static bool asksForHelp(const QStringList& arguments);
    // Whether the word would be read as an option rather than as an argument.
    static bool looksLikeOption(const QString& word);
    // A number of seconds above 0 (at most 10^7, about 116 days), as options like --duration take them.
    static std::optional<double> positiveSeconds(const QString& text);
};

} // namespace ebbcast
