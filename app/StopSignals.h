#pragma once

#include <QCoro/QCoroTask>
#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace ebbcast {

// SIGINT and SIGTERM as events of the event loop: the handler only notes the signal and writes its number
// into a pipe, whose read end a QSocketNotifier watches, so the stop is handled on the main thread like any
// other event. Until install() (and after destruction) the signals keep their previous handling. One
// installed instance per process.
// Main thread.
class StopSignals : public QObject {
    Q_OBJECT

public:
    StopSignals();
    ~StopSignals() override;

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Catches SIGINT and SIGTERM from now on. Throws std::system_error when the pipe cannot be made.
    void install();
    bool isInstalled() const { return notifier_ != nullptr; }
    // The first signal caught since install(), 0 before any. Known as soon as the handler ran, even before
    // the event loop reports it.
    int received() const;

    // The exit status to return: `status` itself, unless it is Command::endedBySignal, in which case the
    // process ends here by the signal caught, with its default handling.
    int exitStatus(int status);

Q_SIGNALS:
    // From the event loop, once per batch of signals that arrived.
    void caught(int signal);

private:
    void drain();

    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};

// A request to end something that runs until told, from whichever source comes first: a stop signal, a time
// limit. Main thread.
class StopRequest : public QObject {
    Q_OBJECT

public:
    bool isRequested() const { return requested_; }
    void request();
    // Resumes once the stop is requested (at once when it already is).
    QCoro::Task<> requested();

Q_SIGNALS:
    void stopRequested();

private:
    bool requested_ = false;
};

} // namespace ebbcast
