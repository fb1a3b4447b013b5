#include "app/CommandDispatcher.h"

#include "app/ArgumentParser.h"
#include "app/ClosestMatch.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/SettingValueText.h"
#include "app/SettingsFileCheck.h"
#include "core/base/AppPaths.h"
#include "core/base/BuildInfo.h"
#include "core/base/EbbcastError.h"

#include <QCoreApplication>

#include <exception>

using namespace Qt::StringLiterals;

namespace ebbcast {

CommandDispatcher::CommandDispatcher(Console& console, std::vector<Command*> commands,
                                     std::optional<AppPaths> paths)
    : console_(console)
    , commands_(std::move(commands))
    , paths_(std::move(paths))
{}

QString CommandDispatcher::help() const
{
    QString text = u"Usage: ebbcast [--headless] [--chunk-seconds SECONDS]\n"
                   "       ebbcast COMMAND [ARGUMENTS]\n\n"
                   "Ebbcast records the screen, the microphone and the computer's own sound, and keeps\n"
                   "each session in a folder of its own.\n\n"
                   "Without a command, Ebbcast runs as a tray application until you quit it from its menu\n"
                   "(or it gets SIGINT, SIGTERM or SIGHUP); with --headless it runs the same without a tray\n"
                   "or windows (no display needed) and shows alerts and notifications on standard error.\n"
                   "\nCommands:\n"_s;
    for (const Command* command : commands_)
        text += command->summary();
    text += u"  help [COMMAND]             this help, or a command's own\n\n"
            "Options:\n"
            "  --headless       run without a tray or windows\n"
            "  --chunk-seconds SECONDS\n"
            "                   cut the audio chunks at this length instead of 300 s\n"
            "  -h, --help       show this help; after a command, that command's help\n"
            "  -V, --version    show the version\n\n"
            "Files:\n"_s;
    if (paths_) {
        text += u"  "_s + SettingValueText::escaped(paths_->settingsFilePath()) + u"   settings\n  "_s +
                SettingValueText::escaped(paths_->logFilePath()) + u"   log\n"_s;
    } else {
        text += u"  $XDG_CONFIG_HOME/Tavilon/settings.json   settings (default ~/.config)\n"
                "  $XDG_STATE_HOME/Tavilon/app.log          log (default ~/.local/state)\n"_s;
    }
    text += u"  Recordings go to the folder of the setting recordingFolderPath; 'ebbcast settings list'\n"
            "  shows every setting.\n\n"
            "'ebbcast COMMAND --help' tells more about a command.\n"_s;
    return text;
}

Command* CommandDispatcher::find(const QString& name) const
{
    for (Command* command : commands_) {
        if (command->name() == name)
            return command;
    }
    return nullptr;
}

CommandDispatcher::Invocation CommandDispatcher::usageError(const QString& message,
                                                            const QString& helpCommand) const
{
    const QString tryHelp =
        helpCommand.isEmpty() ? u"ebbcast --help"_s : u"ebbcast "_s + helpCommand + u" --help"_s;
    return Invocation::answer(2, QString(), u"ebbcast: "_s + message + u"\nTry '"_s + tryHelp + u"'.\n"_s);
}

CommandDispatcher::Invocation CommandDispatcher::parse(const QStringList& arguments)
{
    QStringList words = arguments;
    if (words.value(0) == u"--")
        words.removeFirst();
    if (words.isEmpty())
        return Invocation::run(Application::tray);

    const QString first = words.first();
    if (first == u"--headless" || first.startsWith(u"--chunk-seconds"))
        return parseApplication(words);
    if (first == u"-h" || first == u"--help" || (first == u"help" && words.size() == 1))
        return Invocation::answer(0, help());
    if (first == u"-V" || first == u"--version")
        return Invocation::answer(0, u"ebbcast "_s + QString::fromLatin1(BuildInfo::version) + u" (build "_s +
                                         QString::fromLatin1(BuildInfo::buildNumber) + u")\n"_s);

    QStringList names;
    for (const Command* command : commands_)
        names.append(command->name());
    const bool asksForHelp = first == u"help";
    const QString name = asksForHelp ? words.at(1) : first;
    if (!asksForHelp && ArgumentParser::looksLikeOption(name)) {
        const auto suggestion =
            closestMatch(name, {u"--help"_s, u"--version"_s, u"--headless"_s, u"--chunk-seconds"_s});
        return usageError(u"unknown option "_s + SettingValueText::escaped(name) +
                              (suggestion ? u"; did you mean "_s + *suggestion + u'?' : QString()),
                          QString());
    }
    Command* const command = find(name);
    if (command == nullptr) {
        const auto suggestion = closestMatch(name, asksForHelp ? names : names + QStringList{u"help"_s});
        return usageError(u"unknown command \""_s + SettingValueText::escaped(name) + u'"' +
                              (suggestion ? u"; did you mean "_s + *suggestion + u'?' : QString()),
                          QString());
    }

    const QStringList rest = words.mid(1);
    if (asksForHelp || ArgumentParser::asksForHelp(rest))
        return Invocation::answer(0, command->usage());
    if (const auto error = command->parse(rest)) {
        if (error->pointToHelp)
            return usageError(error->message, command->name());
        return Invocation::answer(2, QString(), u"ebbcast: "_s + error->message + u'\n');
    }
    return Invocation::of(*command);
}

CommandDispatcher::Invocation CommandDispatcher::parseApplication(const QStringList& words) const
{
    if (ArgumentParser::asksForHelp(words))
        return Invocation::answer(0, help());
    const auto parsed =
        ArgumentParser::parse(words, {{u"--headless"_s, false}, {u"--chunk-seconds"_s, true}});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return usageError(error->message, QString());
    const auto& options = std::get<ArgumentParser::Parsed>(parsed);
    if (!options.arguments.isEmpty()) {
        return usageError(options.has(u"--headless"_s) ? u"--headless takes no arguments"_s
                                                       : u"the application takes no arguments"_s,
                          QString());
    }
    Invocation invocation =
        Invocation::run(options.has(u"--headless"_s) ? Application::headless : Application::tray);
    if (options.has(u"--chunk-seconds"_s)) {
        invocation.chunkSeconds = ArgumentParser::positiveSeconds(options.values.value(u"--chunk-seconds"_s));
        if (!invocation.chunkSeconds)
            return usageError(u"--chunk-seconds takes a number of seconds above 0"_s, QString());
    }
    return invocation;
}

int CommandDispatcher::answer(const Invocation& invocation)
{
    console_.out() << invocation.output;
    if (!invocation.error.isEmpty())
        console_.write(invocation.error);
    return finish(invocation.status);
}

int CommandDispatcher::run(Command& command, CommandContext& context)
{
    for (const QString& problem : SettingsFileCheck::problems(context.paths.settingsFilePath()))
        console_.error(u"warning: "_s + problem);
    return runAlone([&command, &context] { return command.run(context); });
}

int CommandDispatcher::runAlone(const std::function<QCoro::Task<int>()>& start)
{
    // The coroutine starts once the event loop runs, so that its end, even a synchronous one, can end the
    // loop.
    int status = 1;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { runToEnd(start, status); }, Qt::QueuedConnection);
    QCoreApplication::exec();
    return finish(status);
}

QCoro::Task<> CommandDispatcher::runToEnd(std::function<QCoro::Task<int>()> start, int& status)
{
    QString failure;
    try {
        auto running = start();
        status = co_await running;
    } catch (const EbbcastError& error) {
        failure = error.description();
    } catch (const std::exception& error) {
        failure = QString::fromLocal8Bit(error.what());
    }
    if (!failure.isEmpty()) {
        console_.error(failure);
        status = 1;
    }
    QCoreApplication::exit(0);
}

int CommandDispatcher::finish(int status)
{
    if (const auto failure = console_.outputFailure()) {
        console_.error(u"could not write to standard output: "_s + *failure);
        return status == 0 ? 1 : status;
    }
    return status;
}

} // namespace ebbcast
