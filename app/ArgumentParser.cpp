#include "app/ArgumentParser.h"

#include "app/ClosestMatch.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {

bool ArgumentParser::looksLikeOption(const QString& word)
{
    if (word.size() < 2 || !word.startsWith(u'-'))
        return false;
    const QChar next = word.at(1);
    const bool negativeNumber = next.isDigit() || (next == u'.' && word.size() > 2 && word.at(2).isDigit());
    return !negativeNumber;
}

std::optional<double> ArgumentParser::positiveSeconds(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value > 0) || value > 1e7)
        return std::nullopt;
    return value;
}

bool ArgumentParser::asksForHelp(const QStringList& arguments)
{
    for (const QString& argument : arguments) {
        if (argument == u"--")
            return false;
        if (argument == u"-h" || argument == u"--help")
            return true;
    }
    return false;
}

std::variant<ArgumentParser::Parsed, UsageError> ArgumentParser::parse(const QStringList& arguments,
                                                                       const QList<Option>& options)
{
    Parsed parsed;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        if (optionsEnded || !looksLikeOption(word)) {
            parsed.arguments.append(word);
            continue;
        }
        if (word == u"--") {
            optionsEnded = true;
            continue;
        }
        const qsizetype equals = word.startsWith(u"--") ? word.indexOf(u'=') : -1;
        const QString name = equals < 0 ? word : word.left(equals);
        const auto option = std::find_if(options.cbegin(), options.cend(),
                                         [&name](const Option& known) { return known.name == name; });
        if (option == options.cend()) {
            QStringList names;
            for (const Option& known : options)
                names.append(known.name);
            const auto suggestion = closestMatch(name, names);
            QString message = u"unknown option "_s + name;
            if (suggestion)
                message += u"; did you mean "_s + *suggestion + u'?';
            else if (!name.startsWith(u"--"))
                message += u" (write -- before an argument that begins with '-')"_s;
            return UsageError{message};
        }
        if (!option->takesValue) {
            if (equals >= 0)
                return UsageError{name + u" takes no value"_s};
            parsed.values.insert(name, QString());
        } else if (equals >= 0) {
            parsed.values.insert(name, word.mid(equals + 1));
        } else if (i + 1 < arguments.size()) {
            parsed.values.insert(name, arguments[++i]);
        } else {
            return UsageError{name + u" needs a value"_s};
        }
    }
    return parsed;
}

} // namespace ebbcast
