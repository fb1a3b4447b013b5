#pragma once

#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

namespace ebbcast {

// The kind of a setting: the type of its value in the store, how the settings file holds it, and its loading
// rule, which reads a stored value that is absent, null, of another kind or out of range as the default.
enum class SettingKind {
    string,      // QString; a JSON string, an empty one too
    boolean,     // bool; a JSON boolean only (1 or "true" load the default)
    number,      // double; any JSON number
    displayID,   // quint32; a JSON number from 0 to below 2^32, its fraction cut off
    stringList,  // QStringList; a JSON array of strings only, an empty one too
    audioFormat, // RecordingAudioFormat; the JSON string "m4a" or "wav" exactly
};

// What the command line accepts for a setting beyond its kind (app/SettingRules has the checks and texts).
enum class SettingForm {
    any,
    fraction,        // a number from 0 to 1
    positiveSeconds, // a number of seconds above 0
    seconds,         // a number of seconds, 0 or more
    displayID,       // a display id, 0 being the main display
    folderPath,      // an absolute folder, or one under a home folder written with ~
    webAddress,      // an http:// or https:// URL, or nothing to turn it off
    gatewayAddress,  // a web address, nothing, or "local" (any case, spaces around): the offline gateway
};

// A default that follows the current value of another setting: while the file holds no value of its own for
// the setting, the store gives it `value(<the other setting's value>)` and changes it (with its change
// signal) whenever the other one changes. The other setting's default must not itself follow a third one.
struct DependentDefault {
    QString key;
    std::function<QVariant(const QVariant& followed)> value; // of the dependent setting's type()
};

// One user setting: its key in the settings file (and the name of its property in the store), kind, default
// (fixed, or following another setting), command-line form and whether it is a secret. Secrets are masked
// where settings are listed, never repeated in an error, and not echoed when typed at a terminal.
struct SettingDefinition {
    QString key;
    SettingKind kind;
    QVariant defaultValue; // of type()
    SettingForm form = SettingForm::any;
    bool secret = false;
    std::optional<DependentDefault> dependentDefault{}; // when set, the default in place of defaultValue

    // The type of the setting's values: QString, bool, double, quint32, QStringList or RecordingAudioFormat.
    QMetaType type() const;
    // The value the store loads from what the file holds for the key (undefined when absent), or nothing when
    // the loading rule falls back to the default.
    std::optional<QVariant> load(const QJsonValue& stored) const;
    // What the file holds for a value of type(): a number for a display id, the raw value of a format.
    QJsonValue stored(const QVariant& value) const;
};

} // namespace ebbcast
