#pragma once

#include <QStringList>
#include <QTextStream>

namespace ebbcast {

class AppPaths;
class PreferencesStore;
class RecordCommand;
class SettingsFile;

// The command line of the ebbcast executable: --help, --version, the settings commands, recording and repair,
// and, without arguments, an overview of the effective settings and where the application keeps its files.
class CommandLineInterface {
public:
    // Without a record command, "record" and "recover" are not offered (the settings face alone).
    CommandLineInterface(const AppPaths& paths, PreferencesStore& preferences, SettingsFile& settingsFile,
                         RecordCommand* recordCommand, QTextStream& out, QTextStream& err);

    // `arguments` without the program name. Returns the exit status (2 for usage errors).
    int run(const QStringList& arguments);

private:
    void printHelp();
    void printOverview();

    const AppPaths& paths_;
    PreferencesStore& preferences_;
    SettingsFile& settingsFile_;
    RecordCommand* recordCommand_;
    QTextStream& out_;
    QTextStream& err_;
};

} // namespace ebbcast
