#pragma once

#include "app/Command.h"

#include <memory>
#include <optional>

namespace ebbcast {

class Console;
class SessionDeliveryWait;

// "ebbcast record": runs the application headless, without monitors: its launch (the repair of a session cut
// short by a crash, the restores, the resumed transcription), then records a session until a duration has
// passed or a stop signal (Ctrl-C, SIGTERM) comes, and waits until the session's chunk transcripts, final
// transcript and uploads are done (unless --no-wait; Ctrl-C ends the wait). Standard output gets the session
// folder alone; on a terminal, standard error shows the elapsed time.
class RecordCommand : public Command {
public:
    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    bool catchesStopSignals() const override { return true; }
    // 0 when a complete session was recorded, 1 when it could not start or its document could not be
    // completed, 3 when another process is recording, 4 when the session was saved but a track stopped early
    // (each such track is named on standard error); endedBySignal when a stop signal came before the start.
    QCoro::Task<int> run(CommandContext& context) override;

    // "01:02:03": whole seconds as hours, minutes and seconds.
    static QString elapsedText(qint64 milliseconds);

    RecordCommand();
    ~RecordCommand() override;

private:
    QCoro::Task<> recordUntilStopped(CommandContext& context, const QString& folder);
    // After the stop: until the session's transcripts and uploads are done, unless --no-wait.
    QCoro::Task<> waitForDelivery(CommandContext& context, const QString& folder);

    std::optional<double> duration_;
    std::optional<double> chunkSeconds_;
    bool noWait_ = false;
    std::unique_ptr<SessionDeliveryWait> wait_; // kept to the end: its watchers may outlive the wait
};

} // namespace ebbcast
