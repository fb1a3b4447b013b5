#include "app/RecoverCommand.h"

#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "session/RecordingSession.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

QString RecoverCommand::name() const
{
    return u"recover"_s;
}

QString RecoverCommand::summary() const
{
    return u"  recover                    repair a session cut short by a crash\n"_s;
}

QString RecoverCommand::usage() const
{
    return u"Usage: ebbcast recover\n\n"
           "Repairs the newest session that a crash left unfinished: fixes the audio file headers,\n"
           "documents the chunk that was open and completes the session document. A session that\n"
           "another process still records is never touched. 'ebbcast record' does the same first.\n\n"
           "Options:\n"
           "  -h, --help    show this help\n\n"
           "Exit status: 0 repaired, or nothing to repair; 1 the repair failed; 2 usage error;\n"
           "3 the application or 'ebbcast record' runs (they repair at their start themselves).\n"_s;
}

std::optional<UsageError> RecoverCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(arguments, {});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    if (!std::get<ArgumentParser::Parsed>(parsed).arguments.isEmpty())
        return UsageError{u"recover takes no arguments"_s};
    return std::nullopt;
}

QCoro::Task<int> RecoverCommand::run(CommandContext& context)
{
    const RecoveryOutcome outcome = context.session.recoverInterruptedSession();
    switch (outcome.kind) {
    case RecoveryOutcome::Kind::repaired:
        context.console.out() << u"Repaired interrupted session: "_s << outcome.folder << u'\n';
        break;
    case RecoveryOutcome::Kind::nothingToRepair:
        context.console.out() << u"No interrupted session to repair\n"_s;
        break;
    case RecoveryOutcome::Kind::failed:
        context.console.error(u"could not repair "_s + outcome.folder + u": "_s + outcome.description);
        co_return 1;
    }
    context.console.out().flush();
    co_return 0;
}

} // namespace ebbcast
