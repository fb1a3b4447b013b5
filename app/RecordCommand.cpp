#include "app/RecordCommand.h"

#include "app/AppDelegate.h"
#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/InstanceLock.h"
#include "app/LinuxRecorderFactory.h"
#include "app/MissingDisplayNote.h"
#include "app/PlatformBackends.h"
#include "app/RecordingProcessLock.h"
#include "app/SessionDeliveryWait.h"
#include "app/StopRequest.h"
#include "core/base/EbbcastError.h"
#include "drive/UploadManager.h"
#include "session/RecordingSession.h"
#include "shell/StopSignals.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/TranscriptFinalizer.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr qint64 longestTimerInterval = 24 * 3600 * 1000; // a QTimer holds at most about 24 days

// Takes the recording lock: nothing when this process holds it now, else the exit status (with the reason on
// standard error).
std::optional<int> lockOrExplain(CommandContext& context)
{
    try {
        const auto holder = context.processLock.acquire();
        if (!holder)
            return std::nullopt;
        context.console.error(
            u"already recording"_s +
            (holder->sessionFolder.isEmpty() ? QString() : u" to "_s + holder->sessionFolder) + u" (pid "_s +
            QString::number(holder->pid) + u')');
        return 3;
    } catch (const EbbcastError& error) {
        context.console.error(error.description());
        return 1;
    }
}

} // namespace

RecordCommand::RecordCommand() = default;
RecordCommand::~RecordCommand() = default;

QString RecordCommand::name() const
{
    return u"record"_s;
}

QString RecordCommand::summary() const
{
    return u"  record [--duration SECONDS] [--chunk-seconds SECONDS] [--no-wait]\n"
           "                             record a session until Ctrl-C or the duration has passed,\n"
           "                             then wait for its transcripts and uploads; prints the folder\n"_s;
}

QString RecordCommand::usage() const
{
    return u"Usage: ebbcast record [--duration SECONDS] [--chunk-seconds SECONDS] [--no-wait]\n\n"
           "Records the screen, the microphone and the computer's own sound into a new session folder\n"
           "under the recording folder (setting recordingFolderPath) until the duration has passed or\n"
           "Ctrl-C (SIGINT) or SIGTERM stops it; the session is then completed. It runs the application\n"
           "without tray and monitors: a session that a crash left unfinished is repaired first, and\n"
           "unfinished transcription and uploads of earlier sessions go on. Chunks are transcribed while\n"
           "it records (setting enableLiveTranscription) and uploaded to Drive (googleUploadEnabled);\n"
           "after the stop it waits until the chunk transcripts, the final transcript and the uploads\n"
           "are done, saying what it waits for. Ctrl-C ends the wait; 'ebbcast transcribe FOLDER'\n"
           "finishes the transcripts later. Standard output gets the session folder, once it records;\n"
           "on a terminal, standard error shows the elapsed time.\n\n"
           "Options:\n"
           "  --duration SECONDS       stop after this many seconds\n"
           "  --chunk-seconds SECONDS  cut the audio chunks at this length instead of 300 s\n"
           "                           (for demonstrations and tests)\n"
           "  --no-wait                end at the stop, without waiting for transcripts and uploads\n"
           "  -h, --help               show this help\n\n"
           "Exit status: 0 recorded and completed; 1 could not start, or the session document could not\n"
           "be completed; 2 usage error; 3 another process is recording (its folder and pid are named),\n"
           "or the application or 'ebbcast recover' runs ('ebbcast ctl start' records with the "
           "application);\n"
           "4 saved, but a track stopped early (each is named on standard error).\n"_s;
}

std::optional<UsageError> RecordCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(
        arguments, {{u"--duration"_s, true}, {u"--chunk-seconds"_s, true}, {u"--no-wait"_s, false}});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    const auto& options = std::get<ArgumentParser::Parsed>(parsed);
    if (!options.arguments.isEmpty())
        return UsageError{u"record takes no arguments, only options"_s};
    noWait_ = options.has(u"--no-wait"_s);
    for (const QString& option : {u"--duration"_s, u"--chunk-seconds"_s}) {
        if (!options.has(option))
            continue;
        const auto seconds = ArgumentParser::positiveSeconds(options.values.value(option));
        if (!seconds)
            return UsageError{option + u" takes a number of seconds above 0"_s, false};
        (option == u"--duration" ? duration_ : chunkSeconds_) = seconds;
    }
    return std::nullopt;
}

QString RecordCommand::elapsedText(qint64 milliseconds)
{
    const qint64 seconds = std::max<qint64>(0, milliseconds / 1000);
    return u"%1:%2:%3"_s.arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QCoro::Task<int> RecordCommand::run(CommandContext& context)
{
    // A stop signal before anything was made ends the process as the signal would have: nothing to keep.
    if (context.stopSignals.received() != 0)
        co_return endedBySignal;
    if (const auto refused = lockOrExplain(context))
        co_return *refused;
    if (context.instanceLock != nullptr) {
        if (const auto refused =
                context.instanceLock->takeOrExplain(InstanceLock::Role::record, context.console)) {
            context.processLock.release();
            co_return *refused;
        }
    }
    // The application's launch: repair, restores, resumed transcription and uploads (no monitors).
    if (const auto repaired = context.application->start())
        context.console.write(u"Repaired interrupted session: "_s + *repaired + u'\n');
    if (context.stopSignals.received() != 0) {
        context.processLock.release();
        co_return endedBySignal;
    }

    for (const QString& note : context.backends.notes)
        context.console.error(note);
    if (const quint32 display = context.session.settings().displayID; display != 0) {
        if (const auto note = missingDisplayNote(*context.backends.screens, display))
            context.console.error(u"note: "_s + *note);
    }
    if (chunkSeconds_)
        context.backends.recorders->setChunkSeconds(*chunkSeconds_);
    auto starting = context.session.start(false);
    co_await starting;
    const std::optional<QString> folder = context.session.currentSessionFolder();
    if (!context.session.isRecording() || !folder) {
        context.processLock.release();
        co_return 1; // the reason is on standard error already
    }
    context.processLock.noteSessionFolder(*folder);
    context.console.out() << *folder << u'\n';
    context.console.out().flush();

    auto recording = recordUntilStopped(context, *folder);
    co_await recording;

    auto stopping = context.session.stop(false);
    const std::optional<RecordingSession::StopOutcome> outcome = co_await stopping;
    context.console.endStatus();
    context.processLock.release();
    if (!outcome)
        co_return 1;
    for (const QString& track : outcome->endedTracks)
        context.console.error(track);
    if (!outcome->documentCompleted)
        co_return 1; // the alert is on standard error already
    if (!noWait_) {
        auto waiting = waitForDelivery(context, *folder);
        co_await waiting;
    }
    co_return outcome->endedTracks.isEmpty() ? 0 : 4;
}

QCoro::Task<> RecordCommand::waitForDelivery(CommandContext& context, const QString& folder)
{
    AppDelegate& application = *context.application;
    wait_ = std::make_unique<SessionDeliveryWait>(*application.pipeline(), *application.finalizer(),
                                                  context.uploads, context.stopSignals, context.console);
    auto waiting = wait_->waitFor(folder);
    const bool done = co_await waiting;
    if (!done)
        context.console.error(u"Stopped waiting. To finish the transcripts later: ebbcast transcribe '"_s +
                              folder + u"'"_s);
}

// A stop signal that came during the start (or the repair) ends the wait at once: the session then stops
// properly.
QCoro::Task<> RecordCommand::recordUntilStopped(CommandContext& context, const QString& folder)
{
    Console& console = context.console;
    StopRequest stop;
    QObject::connect(&context.stopSignals, &StopSignals::caught, &stop, &StopRequest::request);
    if (context.stopSignals.received() != 0)
        stop.request();

    // The duration is one timer, armed again for what is left when it is longer than a timer holds.
    QDeadlineTimer deadline(QDeadlineTimer::Forever);
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    const auto armLimit = [&deadline, &limit, &stop] {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            stop.request();
        else
            limit.start(static_cast<int>(std::min(left, longestTimerInterval)));
    };
    QObject::connect(&limit, &QTimer::timeout, &stop, armLimit);
    if (duration_) {
        deadline.setRemainingTime(static_cast<qint64>(*duration_ * 1000.0), Qt::PreciseTimer);
        armLimit();
    }

    // On a terminal: where it records and for how long so far, once a second.
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer clock;
    const auto showElapsed = [&console, &elapsed] {
        console.showStatus(elapsedText(elapsed.elapsed()));
    };
    if (console.errorIsTerminal()) {
        console.write(u"Recording to "_s + folder + u" — Ctrl-C to stop\n"_s);
        QObject::connect(&clock, &QTimer::timeout, &stop, showElapsed);
        showElapsed();
        clock.start(1000);
    }

    auto stopped = stop.requested();
    co_await stopped;
    clock.stop();
    console.showStatus(elapsedText(elapsed.elapsed()) + u" — stopping"_s);
}

} // namespace ebbcast
