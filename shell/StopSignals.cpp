#include "shell/StopSignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace ebbcast {
namespace {

std::atomic<int> pipeWriteEnd{-1};
std::atomic<int> firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free atomic");

// Async-signal-safe: atomics and write(2) only.
void noteSignal(int number)
{
    const int savedErrno = errno;
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    const int fd = pipeWriteEnd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1); // a full pipe has enough already
    }
    errno = savedErrno;
}

} // namespace

QList<int> StopSignals::commandLineSignals()
{
    return {SIGINT, SIGTERM};
}

QList<int> StopSignals::quitSignals()
{
    return {SIGINT, SIGTERM, SIGHUP};
}

StopSignals::StopSignals(QList<int> signalNumbers)
    : signalNumbers_(std::move(signalNumbers))
{}

StopSignals::~StopSignals()
{
    if (!isInstalled())
        return;
    for (qsizetype i = 0; i < signalNumbers_.size(); ++i)
        ::sigaction(signalNumbers_[i], &previous_[static_cast<std::size_t>(i)], nullptr);
    pipeWriteEnd = -1;
    firstSignal = 0;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void StopSignals::install()
{
    if (isInstalled())
        return;
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    firstSignal = 0;
    pipeWriteEnd = pipe_[1];
    notifier_ = new QSocketNotifier(static_cast<qintptr>(pipe_[0]), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::drain);

    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    previous_.assign(static_cast<std::size_t>(signalNumbers_.size()), {});
    for (qsizetype i = 0; i < signalNumbers_.size(); ++i)
        ::sigaction(signalNumbers_[i], &action, &previous_[static_cast<std::size_t>(i)]);
}

int StopSignals::received() const
{
    return isInstalled() ? firstSignal.load() : 0;
}

int StopSignals::exitStatus(int status)
{
    if (status != endedBySignal)
        return status;
    const int number = received() != 0 ? received() : SIGTERM;
    ::signal(number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, number);
    ::sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    ::raise(number);
    return 128 + number; // not reached
}

void StopSignals::drain()
{
    unsigned char bytes[64];
    int last = 0;
    ssize_t n = 0;
    while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0)
        last = bytes[n - 1];
    if (last != 0)
        Q_EMIT caught(last);
}

} // namespace ebbcast
