#pragma once

#include <QList>
#include <QObject>

#include <csignal>
#include <vector>

class QSocketNotifier;

namespace ebbcast {

// Signals that ask the process to stop (SIGINT and SIGTERM for the command line; SIGINT, SIGTERM and SIGHUP
// for the application, `quitSignals()`) as events of the event loop: the handler, installed with
// sigaction(2), only notes the signal and writes its number into a pipe, whose read end a QSocketNotifier
// watches, so the stop is handled on the main thread like any other event. No signal is blocked (a blocked
// mask, as signalfd needs, would be inherited by every child process, xdg-open included). Until install()
// (and after destruction) the signals keep their previous handling. One installed instance per process. Main
// thread.
class StopSignals : public QObject {
    Q_OBJECT

public:
    // An exit status for exitStatus(): end the process by the signal caught.
    static constexpr int endedBySignal = -1;

    // SIGINT and SIGTERM.
    static QList<int> commandLineSignals();
    // SIGINT, SIGTERM and SIGHUP (the terminal or the session went away).
    static QList<int> quitSignals();

    explicit StopSignals(QList<int> signalNumbers = commandLineSignals());
    ~StopSignals() override;

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    const QList<int>& signalNumbers() const noexcept { return signalNumbers_; }

    // Catches the signals from now on. Throws std::system_error when the pipe cannot be made.
    void install();
    bool isInstalled() const { return notifier_ != nullptr; }
    // The first signal caught since install(), 0 before any. Known as soon as the handler ran, even before
    // the event loop reports it.
    int received() const;

    // The exit status to return: `status` itself, unless it is endedBySignal, in which case the process ends
    // here by the signal caught (SIGTERM if none was), with its default handling.
    int exitStatus(int status);

Q_SIGNALS:
    // From the event loop, once per batch of signals that arrived: the last of the batch.
    void caught(int signal);

private:
    void drain();

    QList<int> signalNumbers_;
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    std::vector<struct sigaction> previous_; // one per signal number, in the same order
};

} // namespace ebbcast
