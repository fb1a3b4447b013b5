#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

class QTimer;

namespace ebbcast {

class Logger;
class QuitTarget;
class ShutdownInhibitor;
class StopSignals;

// Why the application quits.
class QuitReason {
public:
    enum class Kind { menu, signal, sessionEnd, systemShutdown };

    static QuitReason menu() { return QuitReason(Kind::menu, 0); }
    static QuitReason signal(int number) { return QuitReason(Kind::signal, number); }
    // The desktop session ends (X session management asks the application to save its data).
    static QuitReason sessionEnd() { return QuitReason(Kind::sessionEnd, 0); }
    // logind announced a shutdown or reboot.
    static QuitReason systemShutdown() { return QuitReason(Kind::systemShutdown, 0); }

    Kind kind() const noexcept { return kind_; }
    // The signal's number for Kind::signal, else 0.
    int signalNumber() const noexcept { return signalNumber_; }
    // "menu", "signal SIGTERM", "session end", "system shutdown".
    QString describe() const;

    bool operator==(const QuitReason&) const = default;

private:
    QuitReason(Kind kind, int signalNumber)
        : kind_(kind)
        , signalNumber_(signalNumber)
    {}

    Kind kind_;
    int signalNumber_;
};

struct QuitCoordinatorOptions {
    // How long a recording may take to stop before the quit goes ahead without it.
    std::chrono::milliseconds stopLimit = std::chrono::seconds(30);
    // Ends the event loop with the exit status; QCoreApplication::exit when empty.
    std::function<void(int)> exit;
};

// The one path by which the application quits, whatever asks for it (the menu, a signal, the end of the
// desktop session, a system shutdown), and only once.
//
// The first request logs "Quit requested: <reason>" and goes on from the event loop (never inside the
// caller's stack): with nothing recording, starting or stopping, the target tears down and the process exits
// with 0 at once; otherwise the recording is stopped first (QuitTarget::stopForQuit), then the target tears
// down and the process exits with 0. Every later request only logs "Quit already in progress (<reason>)".
// A stop that has not finished within the stop limit is given up: an error line, exit status 1 and no
// teardown, because the stop still uses the components (the next launch repairs the session); its late
// end changes nothing. A stop that throws is logged; the target tears down and the process exits with 1.
// The teardown may destroy the coordinator itself.
//
// Session end: QGuiApplication::commitDataRequest is connected to sessionEnding() by the application (this
// library stays free of Qt GUI, so the command line links no GUI).
// Main thread.
class QuitCoordinator : public QObject {
    Q_OBJECT

public:
    using Options = QuitCoordinatorOptions;

    QuitCoordinator(QuitTarget& target, Logger& logger, Options options = {}, QObject* parent = nullptr);
    ~QuitCoordinator() override;

    QuitCoordinator(const QuitCoordinator&) = delete;
    QuitCoordinator& operator=(const QuitCoordinator&) = delete;

    void requestQuit(QuitReason reason);
    // Each signal `stopSignals` catches becomes a quit request (install them with StopSignals::quitSignals()).
    void quitOn(StopSignals& stopSignals);
    // A system shutdown logind announces becomes a quit request.
    void quitOn(ShutdownInhibitor& inhibitor);

    bool isQuitting() const noexcept { return state_ != State::idle; }

public Q_SLOTS:
    // requestQuit(QuitReason::sessionEnd()), for QGuiApplication::commitDataRequest.
    void sessionEnding();

private:
    enum class State { idle, requested, stopping, finished };

    void proceed();
    QCoro::Task<void> stopThenQuit();
    void stopLimitReached();
    void finish(int status, bool tearDown);

    QuitTarget& target_;
    Logger& logger_;
    Options options_;
    State state_ = State::idle;
    QTimer* stopLimitTimer_;
};

} // namespace ebbcast
