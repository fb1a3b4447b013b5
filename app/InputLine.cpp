#include "app/InputLine.h"

#include <QCoro/QCoroSignal>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {

InputLineReader::InputLineReader(int descriptor)
    : descriptor_(descriptor)
{
    if (::fcntl(descriptor_, F_GETFL) == -1) { // not open: no input at all
        outcome_ = Outcome::noInput;
        return;
    }
    notifier_ = new QSocketNotifier(static_cast<qintptr>(descriptor_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &InputLineReader::readAvailable);
}

InputLineReader::~InputLineReader() = default;

QCoro::Task<> InputLineReader::finished()
{
    if (outcome_ == Outcome::reading) {
        auto ended = qCoro(this, &InputLineReader::done);
        co_await ended;
    }
}

void InputLineReader::cancel()
{
    finish(Outcome::cancelled);
}

void InputLineReader::readAvailable()
{
    // The notifier reports data (or the end) waiting, so one read returns without blocking.
    char buffer[4096];
    const ssize_t n = ::read(descriptor_, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return;
        problem_ = QString::fromLocal8Bit(std::strerror(errno));
        finish(Outcome::failed);
        return;
    }
    if (n == 0) {
        if (bytes_.isEmpty()) {
            finish(Outcome::noInput);
        } else {
            line_ = QString::fromUtf8(bytes_);
            finish(Outcome::line);
        }
        return;
    }
    bytes_.append(buffer, n);
    const qsizetype end = bytes_.indexOf('\n');
    if (end >= 0) {
        QByteArray line = bytes_.left(end);
        if (line.endsWith('\r'))
            line.chop(1);
        line_ = QString::fromUtf8(line);
        finish(Outcome::line);
    } else if (bytes_.size() > maximumLength) {
        finish(Outcome::tooLong);
    }
}

void InputLineReader::finish(Outcome outcome)
{
    if (outcome_ != Outcome::reading)
        return;
    outcome_ = outcome;
    bytes_.fill('\0'); // it may hold a secret
    bytes_.clear();
    if (notifier_ != nullptr)
        notifier_->setEnabled(false);
    Q_EMIT done();
}

HiddenTerminalInput::HiddenTerminalInput(int descriptor)
    : descriptor_(descriptor)
{
    if (::isatty(descriptor_) != 1 || ::tcgetattr(descriptor_, &saved_) != 0)
        return;
    termios hidden = saved_;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    hidden.c_lflag |= ECHONL;
    hiding_ = ::tcsetattr(descriptor_, TCSAFLUSH, &hidden) == 0;
}

HiddenTerminalInput::~HiddenTerminalInput()
{
    if (hiding_)
        ::tcsetattr(descriptor_, TCSAFLUSH, &saved_);
}

} // namespace ebbcast
