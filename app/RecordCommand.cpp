#include "RecordCommand.h"

#include "LinuxRecorderFactory.h"
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

RecordCommand::RecordCommand(RecordingSession& session, LinuxRecorderFactory& recorders, QTextStream& out,
                             QTextStream& err)
    : session_(session)
    , recorders_(recorders)
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

    if (const auto repaired = session_.recoverInterruptedSessionIfNeeded()) {
        out_ << "Repaired interrupted session: " << *repaired << '\n';
        out_.flush();
    }

    QString folder;
    session_.onSessionStarted = [&folder](const QString& started) {
        folder = started;
    };
    QCoro::waitFor(session_.start(false));
    if (!session_.isRecording())
        return 1; // the reason is on standard error already
    out_ << folder << '\n';
    out_.flush();

    interrupted = false;
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
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
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    QCoro::waitFor(session_.stop(false));
    const bool completed = !QFile::exists(folder + u'/' + RecordingSession::markerFileName());
    return completed ? 0 : 1;
}

int RecordCommand::recover()
{
    if (const auto repaired = session_.recoverInterruptedSessionIfNeeded())
        out_ << "Repaired interrupted session: " << *repaired << '\n';
    else
        out_ << "No interrupted session to repair\n";
    out_.flush();
    return 0;
}

} // namespace ebbcast
