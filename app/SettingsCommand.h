#pragma once

#include <QMetaProperty>
#include <QStringList>
#include <QTextStream>

#include <optional>

namespace ebbcast {

class PreferencesStore;
class SettingsFile;

// "ebbcast settings list|get|set|reset": the settings from a terminal. Values are read and written through
// the store, so the file gets exactly the typed values the application itself writes.
class SettingsCommand {
public:
    SettingsCommand(PreferencesStore& preferences, SettingsFile& file, QTextStream& out, QTextStream& err);

    // Arguments after "settings". Returns the exit status: 0 done, 1 the file could not be written,
    // 2 a usage error (unknown key, value of the wrong kind); nothing is written on 2.
    int run(const QStringList& arguments);

    // "key = value" for every setting, in declaration order, one line each (control characters and
    // backslashes escaped); secrets are shown only as set or empty.
    void printAll();

    static QString usage();

private:
    int list(const QStringList& arguments);
    int get(const QStringList& arguments);
    int set(const QStringList& arguments);
    int reset(const QStringList& arguments);

    std::optional<QMetaProperty> property(const QString& key);
    int usageError(const QString& message);

    PreferencesStore& preferences_;
    SettingsFile& file_;
    QTextStream& out_;
    QTextStream& err_;
};

} // namespace ebbcast
