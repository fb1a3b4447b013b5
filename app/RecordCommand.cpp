#include "RecordCommand.h"

#include "EbbcastError.h"
#include "LinuxRecorderFactory.h"
#include "RecordingProcessLock.h"
#include "RecordingSession.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::atomic<bool> interrupted{false};

void requestStop(int)
{
    interrupted = true;
}

std::optional<double> positiveSeconds(const QString& text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value > 0) || value > 1e7)
        return std::nullopt;
    return value;
}

} // namespace

RecordCommand::RecordCommand(RecordingSession& session, LinuxRecorderFactory& recorders,
                             RecordingProcessLock& processLock, QTextStream& out, QTextStream& err)
    : session_(session)
    , recorders_(recorders)
    , processLock_(processLock)
    , out_(out)
    , err_(err)
{}

QString RecordCommand::usage()
{
    return u"  ebbcast record [--duration SECONDS] [--chunk-seconds SECONDS]\n"
           "                                     record a session until the duration has passed or Ctrl-C;\n"
           "                                     --chunk-seconds shortens the 300 s audio chunks (for\n"
           "                                     demonstrations and tests)\n"
           "  ebbcast recover                    repair a session cut short by a crash\n"_s;
}

int RecordCommand::usageError(const QString& message)
{
    err_ << "ebbcast: " << message << '\n';
    err_.flush();
    return 2;
}

int RecordCommand::record(const QStringList& arguments)
{
    std::optional<double> duration;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& option = arguments[i];
        if ((option == u"--duration" || option == u"--chunk-seconds") && i + 1 < arguments.size()) {
            const auto seconds = positiveSeconds(arguments[++i]);
            if (!seconds)
                return usageError(option + u" takes a number of seconds above 0"_s);
            if (option == u"--duration")
                duration = seconds;
            else
                recorders_.setChunkSeconds(*seconds);
        } else {
            return usageError(u"usage: ebbcast record [--duration SECONDS] [--chunk-seconds SECONDS]"_s);
        }
    }

    // Signals are caught before anything is created: an early Ctrl-C or SIGTERM ends in a stopped session or
    // in nothing at all, never in a killed process that leaves half a folder.
    interrupted = false;
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    const int status = recordSession(duration);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    return status;
}

int RecordCommand::recordSession(std::optional<double> duration)
{
    try {
        if (const auto holder = processLock_.acquire()) {
            err_ << "ebbcast: already recording"
                 << (holder->sessionFolder.isEmpty() ? QString() : u" to "_s + holder->sessionFolder)
                 << " (pid " << holder->pid << ")\n";
            err_.flush();
            return 3;
        }
    } catch (const EbbcastError& error) {
        err_ << "ebbcast: " << error.description() << '\n';
        err_.flush();
        return 1;
    }

    if (const auto repaired = session_.recoverInterruptedSessionIfNeeded()) {
        out_ << "Repaired interrupted session: " << *repaired << '\n';
        out_.flush();
    }

    QCoro::waitFor(session_.start(false));
    const std::optional<QString> folder = session_.currentSessionFolder();
    if (!session_.isRecording() || !folder) {
        processLock_.release();
        return 1; // the reason is on standard error already
    }
    processLock_.noteSessionFolder(*folder);
    out_ << *folder << '\n';
    out_.flush();

    if (!interrupted) {
        QEventLoop loop;
        QElapsedTimer elapsed;
        elapsed.start();
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (interrupted || (duration && static_cast<double>(elapsed.elapsed()) >= *duration * 1000.0))
                loop.quit();
        });
        check.start(50);
        loop.exec();
    }

    QCoro::waitFor(session_.stop(false));
    processLock_.release();
    const auto& outcome = session_.lastStopOutcome();
    if (!outcome)
        return 1;
    for (const QString& track : outcome->endedTracks)
        err_ << "ebbcast: " << track << '\n';
    err_.flush();
    if (!outcome->documentCompleted)
        return 1; // the alert is on standard error already
    return outcome->endedTracks.isEmpty() ? 0 : 4;
}

int RecordCommand::recover()
{
    const RecoveryOutcome outcome = session_.recoverInterruptedSession();
    switch (outcome.kind) {
    case RecoveryOutcome::Kind::repaired:
        out_ << "Repaired interrupted session: " << outcome.folder << '\n';
        break;
    case RecoveryOutcome::Kind::nothingToRepair:
        out_ << "No interrupted session to repair\n";
        break;
    case RecoveryOutcome::Kind::failed:
        err_ << "ebbcast: could not repair " << outcome.folder << ": " << outcome.description << '\n';
        err_.flush();
        return 1;
    }
    out_.flush();
    return 0;
}

} // namespace ebbcast
