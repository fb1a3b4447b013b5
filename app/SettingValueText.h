#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <optional>

namespace ebbcast {

// The command-line text of a setting's value: strings as they are, true/false, numbers in shortest form,
// lists as a JSON array of strings, the audio format as its raw value. parse() reads what format() prints.
// Nothing printed holds a control character, so one value is one line and a settings file cannot drive the
// terminal: lists escape them the JSON way (\u001b), and a string holding one is printed escaped (see
// escaped()); only such a string does not read back as itself.
class SettingValueText {
public:
    static QString format(const QVariant& value);
    // For showing rather than reading back ("settings list", the overview): like format(), but every string
    // is escaped, so a backslash followed by "n" and a real line break never look alike.
    static QString display(const QVariant& value);
    // C0 and C1 controls, DEL and the Unicode line and paragraph separators.
    static bool holdsControlCharacters(const QString& text);
    // Backslash as \\, line feed, tab and carriage return as \n, \t, \r, other controls as \xHH or \uHHHH.
    static QString escaped(const QString& text);
    // The value for a setting of the given type, or nothing when the text is not of that kind.
    static std::optional<QVariant> parse(QMetaType type, const QString& text);
    // What parse() expects for the type, for error messages ("a number", "true or false", ...).
    static QString expectation(QMetaType type);
};

} // namespace ebbcast
