#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <optional>

namespace ebbcast {

// What the command line accepts for a setting beyond its kind (see SettingValueText): the checks and texts of
// the forms SettingDefinitions gives the settings, and which settings are secrets. Values of a secret are
// printed only by "settings get" and never named in an error.
class SettingRules {
public:
    static bool isSecret(const QString& key);
    // What a value of the setting must be, for help and error texts: "a number from 0 to 1".
    static QString expectation(const QString& key, QMetaType type);
    // Nothing when the parsed value is acceptable for the key, else what it should be.
    static std::optional<QString> problem(const QString& key, const QVariant& value);
};

} // namespace ebbcast
