#include "shell/QuitCoordinator.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "shell/QuitTarget.h"
#include "shell/ShutdownInhibitor.h"
#include "shell/StopSignals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <csignal>
#include <exception>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString signalName(int number)
{
    switch (number) {
    case SIGINT:
        return u"SIGINT"_s;
    case SIGTERM:
        return u"SIGTERM"_s;
    case SIGHUP:
        return u"SIGHUP"_s;
    case SIGQUIT:
        return u"SIGQUIT"_s;
    default:
        return QString::number(number);
    }
}

// "30", "0.2": whole seconds without a fraction.
QString seconds(std::chrono::milliseconds duration)
{
    return QString::number(static_cast<double>(duration.count()) / 1000.0);
}

} // namespace

QString QuitReason::describe() const
{
    switch (kind_) {
    case Kind::menu:
        return u"menu"_s;
    case Kind::signal:
        return u"signal "_s + signalName(signalNumber_);
    case Kind::sessionEnd:
        return u"session end"_s;
    case Kind::systemShutdown:
        return u"system shutdown"_s;
    }
    return u"unknown"_s;
}

QuitCoordinator::QuitCoordinator(QuitTarget& target, Logger& logger, Options options, QObject* parent)
    : QObject(parent)
    , target_(target)
    , logger_(logger)
    , options_(std::move(options))
    , stopLimitTimer_(new QTimer(this))
{
    if (!options_.exit)
        options_.exit = [](int status) {
            QCoreApplication::exit(status);
        };
    stopLimitTimer_->setSingleShot(true);
    stopLimitTimer_->setInterval(options_.stopLimit);
    connect(stopLimitTimer_, &QTimer::timeout, this, &QuitCoordinator::stopLimitReached);
}

QuitCoordinator::~QuitCoordinator() = default;

void QuitCoordinator::requestQuit(QuitReason reason)
{
    if (state_ != State::idle) {
        logger_.info(u"Quit already in progress ("_s + reason.describe() + u')');
        return;
    }
    state_ = State::requested;
    logger_.info(u"Quit requested: "_s + reason.describe());
    // From the event loop: the caller (a menu action, a D-Bus signal) returns first, and a recording that
    // begins in the meantime is still stopped.
    QMetaObject::invokeMethod(this, &QuitCoordinator::proceed, Qt::QueuedConnection);
}

void QuitCoordinator::quitOn(StopSignals& stopSignals)
{
    connect(&stopSignals, &StopSignals::caught, this,
            [this](int number) { requestQuit(QuitReason::signal(number)); });
    // A signal that came before the connection (while the application was being built) quits too.
    if (const int number = stopSignals.received(); number != 0)
        requestQuit(QuitReason::signal(number));
}

void QuitCoordinator::quitOn(ShutdownInhibitor& inhibitor)
{
    connect(&inhibitor, &ShutdownInhibitor::shutdownStarting, this,
            [this] { requestQuit(QuitReason::systemShutdown()); });
}

void QuitCoordinator::sessionEnding()
{
    requestQuit(QuitReason::sessionEnd());
}

void QuitCoordinator::proceed()
{
    if (!target_.isRecordingOrTransitioning()) {
        finish(0, true);
        return;
    }
    state_ = State::stopping;
    logger_.info(u"Stopping the recording before quitting"_s);
    stopLimitTimer_->start();
    QCoro::Task<void> stop = stopThenQuit();
    Q_UNUSED(stop); // runs on by itself
}

QCoro::Task<void> QuitCoordinator::stopThenQuit()
{
    QPointer<QuitCoordinator> alive(this);
    std::exception_ptr failure;
    try {
        co_await target_.stopForQuit();
    } catch (...) {
        failure = std::current_exception();
    }
    // Given up on meanwhile (the stop limit), or gone with the components: nothing left to do.
    if (!alive || state_ != State::stopping)
        co_return;
    if (failure) {
        logger_.error(u"Recording did not stop cleanly before quitting: "_s + describeError(failure));
        finish(1, true);
        co_return;
    }
    logger_.info(u"Recording stopped; quitting"_s);
    finish(0, true);
}

void QuitCoordinator::stopLimitReached()
{
    if (state_ != State::stopping)
        return;
    logger_.error(
        u"Recording did not stop within %1 s; quitting anyway (the next launch repairs the session)"_s.arg(
            seconds(options_.stopLimit)));
    finish(1, false);
}

void QuitCoordinator::finish(int status, bool tearDown)
{
    state_ = State::finished;
    stopLimitTimer_->stop();
    // The teardown may destroy this coordinator with the other components.
    const std::function<void(int)> exit = options_.exit;
    if (tearDown)
        target_.tearDown();
    exit(status);
}

} // namespace ebbcast
