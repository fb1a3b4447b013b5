#include "support/FakeServerProcess.h"

#include "support/FakeHttpServer.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

std::atomic<int> stopPipe{-1};

void noteStop(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe.load(), &byte, 1);
    errno = savedErrno;
}

// SIGTERM and SIGINT end the event loop: the handler writes to a pipe that the loop watches.
class StopOnSignals {
public:
    StopOnSignals()
    {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error("pipe2 failed");
        stopPipe = fds_[1];
        notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
        struct sigaction action {};
        action.sa_handler = noteStop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    }
    ~StopOnSignals()
    {
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        stopPipe = -1;
        notifier_.reset();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace

void say(const QString& line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

int serveUntilStopped(QCoreApplication& application, FakeHttpServer& server, const QString& name,
                      const QString& portFile, const QUrl& address)
{
    StopOnSignals stop;
    if (!portFile.isEmpty()) {
        QSaveFile file(portFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::number(server.port()) + '\n') < 0 ||
            !file.commit()) {
            say(u"%1: cannot write %2: %3"_s.arg(name, file.fileName(), file.errorString()));
            return 2;
        }
    }
    say(u"%1: listening on %2"_s.arg(name, address.toString()));

    application.exec();

    say(u"%1: %2 requests, %3 violations"_s.arg(name)
            .arg(server.requests().size())
            .arg(server.violations().size()));
    for (const QString& violation : server.violations())
        say(u"violation: "_s + violation);
    return 0;
}

} // namespace ebbcast::test
