#include "CommandLineInterface.h"

#include "AppPaths.h"
#include "BuildInfo.h"
#include "PreferencesStore.h"
#include "RecordCommand.h"
#include "SettingValueText.h"
#include "SettingsCommand.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

CommandLineInterface::CommandLineInterface(const AppPaths& paths, PreferencesStore& preferences,
                                           SettingsFile& settingsFile, RecordCommand* recordCommand,
                                           QTextStream& out, QTextStream& err)
    : paths_(paths)
    , preferences_(preferences)
    , settingsFile_(settingsFile)
    , recordCommand_(recordCommand)
    , out_(out)
    , err_(err)
{}

int CommandLineInterface::run(const QStringList& arguments)
{
    const QString command = arguments.value(0);
    if (command.isEmpty()) {
        printOverview();
        return 0;
    }
    if (command == u"--help" || command == u"-h" || command == u"help") {
        printHelp();
        return 0;
    }
    if (command == u"--version" || command == u"-V") {
        out_ << u"ebbcast "_s << QString::fromLatin1(BuildInfo::version) << u'\n';
        out_.flush();
        return 0;
    }
    if (command == u"settings")
        return SettingsCommand(preferences_, settingsFile_, out_, err_).run(arguments.mid(1));
    if (command == u"record" && recordCommand_ != nullptr)
        return recordCommand_->record(arguments.mid(1));
    if (command == u"recover" && arguments.size() == 1 && recordCommand_ != nullptr)
        return recordCommand_->recover();

    err_ << u"ebbcast: unknown command \""_s << command << u"\"\nTry 'ebbcast --help'.\n"_s;
    err_.flush();
    return 2;
}

void CommandLineInterface::printHelp()
{
    out_ << u"Usage: ebbcast [COMMAND]\n\n"
            "Ebbcast records the screen, the microphone and the computer's own sound, and keeps\n"
            "each session in a folder of its own.\n\n"
            "Without a command, ebbcast shows its settings and where it keeps its files.\n\n"
            "Commands:\n"_s
         << RecordCommand::usage() << SettingsCommand::usage()
         << u"\nOptions:\n"
            "  -h, --help       show this help\n"
            "  -V, --version    show the version\n\n"
            "Files:\n"
            "  $XDG_CONFIG_HOME/Tavilon/settings.json   settings (default ~/.config)\n"
            "  $XDG_STATE_HOME/Tavilon/app.log          log (default ~/.local/state)\n"_s;
    out_.flush();
}

void CommandLineInterface::printOverview()
{
    out_ << u"Ebbcast "_s << QString::fromLatin1(BuildInfo::version) << u"\n\n"_s << u"Settings file:    "_s
         << SettingValueText::escaped(paths_.settingsFilePath()) << u'\n' << u"Log file:         "_s
         << SettingValueText::escaped(paths_.logFilePath()) << u'\n' << u"Recordings:       "_s
         << SettingValueText::escaped(preferences_.recordingFolderURL().toLocalFile()) << u"\n\n"_s;
    out_.flush();
    SettingsCommand(preferences_, settingsFile_, out_, err_).printAll();
}

} // namespace ebbcast
