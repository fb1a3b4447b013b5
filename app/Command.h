#pragma once

#include "app/UsageError.h"
#include "shell/StopSignals.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>

#include <optional>

namespace ebbcast {

struct CommandContext;

// One command of the executable ("record", "settings"; later "transcribe", "upload"): its name, its help, how
// it reads its arguments and what it runs. The dispatcher has the arguments read before anything else is
// built, so a usage error or a help request touches no file; run() then gets the components the composition
// root built and runs as one coroutine under the application's event loop. Its result is the exit status.
// Main thread.
class Command {
public:
    // A run() result: end the process by the stop signal that came before the command did anything worth
    // keeping, as the signal would have without being caught, so the caller (a shell) sees the interruption.
    static constexpr int endedBySignal = StopSignals::endedBySignal;

    virtual ~Command() = default;

    virtual QString name() const = 0;
    // The command's lines in "ebbcast --help", each starting with two spaces.
    virtual QString summary() const = 0;
    // "ebbcast NAME --help": how to call it, what it does, its options and exit statuses.
    virtual QString usage() const = 0;
    // The arguments after the name (-h and --help are answered before). Keeps what it read for run().
    virtual std::optional<UsageError> parse(const QStringList& arguments) = 0;
    // Whether SIGINT and SIGTERM are caught while it runs, rather than ending the process at once. Asked
    // after parse(), before anything is built.
    virtual bool catchesStopSignals() const { return false; }
    virtual QCoro::Task<int> run(CommandContext& context) = 0;
};

} // namespace ebbcast
