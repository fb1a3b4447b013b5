#pragma once

#include "app/Command.h"
#include "core/base/AppPaths.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace ebbcast {

class Console;
struct CommandContext;

// The command line of the ebbcast executable. parse() reads the arguments before anything else is built and
// either picks a command or the application (the tray without arguments, or "--headless") or decides the
// answer itself: the program's help, a command's help (-h/--help anywhere before "--", or "help COMMAND"),
// the version, or a usage error with the closest command or option suggested. run() then runs the command as
// one coroutine under the application's event loop; its result is the exit status. Main thread.
class CommandDispatcher {
public:
    // The application itself: in the tray (no arguments) or without tray and windows ("--headless").
    enum class Application { none, tray, headless };

    // What the arguments ask for.
    struct Invocation {
        Command* command = nullptr; // the command to build for and run; otherwise the answer below
        int status = 0;
        QString output;                              // for standard output (help, version)
        QString error;                               // for standard error (a usage error)
        Application application = Application::none; // the application to run instead of a command
        std::optional<double> chunkSeconds;          // the application's chunk length (--chunk-seconds)

        static Invocation of(Command& command)
        {
            return {&command, 0, QString(), QString(), Application::none, std::nullopt};
        }
        static Invocation answer(int status, const QString& output, const QString& error = QString())
        {
            return {nullptr, status, output, error, Application::none, std::nullopt};
        }
        static Invocation run(Application application)
        {
            return {nullptr, 0, QString(), QString(), application, std::nullopt};
        }
    };

    // `paths`, when known, name the settings and log files in the help.
    CommandDispatcher(Console& console, std::vector<Command*> commands,
                      std::optional<AppPaths> paths = std::nullopt);

    // `arguments` without the program name. Prints nothing.
    Invocation parse(const QStringList& arguments);
    // Prints an invocation's answer and returns its exit status.
    int answer(const Invocation& invocation);
    // Says what is wrong with the settings file (once), runs the command under QCoreApplication::exec() and
    // returns its exit status; a failed write to standard output turns a success into 1.
    int run(Command& command, CommandContext& context);
    // Runs a command that needs none of the application's components ("ctl") the same way: `start` makes
    // its coroutine once the event loop runs.
    int runAlone(const std::function<QCoro::Task<int>()>& start);

    QString help() const;

private:
    QCoro::Task<> runToEnd(std::function<QCoro::Task<int>()> start, int& status);
    Command* find(const QString& name) const;
    Invocation usageError(const QString& message, const QString& helpCommand) const;
    // "--headless" and "--chunk-seconds S", in any order.
    Invocation parseApplication(const QStringList& words) const;
    int finish(int status);

    Console& console_;
    std::vector<Command*> commands_;
    std::optional<AppPaths> paths_;
};

} // namespace ebbcast
