#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <optional>

namespace ebbcast {

// The command-line text of a setting's value: strings as they are, true/false, numbers in shortest form,
// lists as a JSON array of strings, the audio format as its raw value. parse() reads what format() prints.
class SettingValueText {
public:
    static QString format(const QVariant& value);
    // The value for a setting of the given type, or nothing when the text is not of that kind.
    static std::optional<QVariant> parse(QMetaType type, const QString& text);
    // What parse() expects for the type, for error messages ("a number", "true or false", ...).
    static QString expectation(QMetaType type);
};

} // namespace ebbcast
