#include "app/Console.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A file descriptor as a write-only device: every byte is written (short writes and EINTR are retried),
// and a failure keeps the system's reason. The descriptor stays open.
class DescriptorDevice : public QIODevice {
public:
    explicit DescriptorDevice(int descriptor)
        : descriptor_(descriptor)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }

    qint64 writeData(const char* data, qint64 size) override
    {
        qint64 written = 0;
        while (written < size) {
            const ssize_t n = ::write(descriptor_, data + written, static_cast<size_t>(size - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                setErrorString(QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO)));
                return -1;
            }
            written += n;
        }
        return written;
    }

private:
    int descriptor_;
};

} // namespace

Console::Console()
    : Console(std::make_unique<DescriptorDevice>(STDOUT_FILENO),
              std::make_unique<DescriptorDevice>(STDERR_FILENO), STDIN_FILENO, ::isatty(STDERR_FILENO) == 1)
{}

Console::Console(QIODevice& out, QIODevice& err, int input, bool errorIsTerminal)
    : out_(&out)
    , err_(&err)
    , input_(input)
    , errorIsTerminal_(errorIsTerminal)
{}

Console::Console(std::unique_ptr<QIODevice> out, std::unique_ptr<QIODevice> err, int input,
                 bool errorIsTerminal)
    : ownOut_(std::move(out))
    , ownErr_(std::move(err))
    , out_(ownOut_.get())
    , err_(ownErr_.get())
    , input_(input)
    , errorIsTerminal_(errorIsTerminal)
{}

Console::~Console()
{
    endStatus();
    out_.flush();
    err_.flush();
}

bool Console::inputIsTerminal() const
{
    return ::isatty(input_) == 1;
}

void Console::error(const QString& message)
{
    write(u"ebbcast: "_s + message + u'\n');
}

void Console::write(const QString& text)
{
    out_.flush(); // what came before on standard output comes before this on a shared terminal
    const bool hadStatus = !status_.isEmpty();
    clearStatus();
    err_ << text;
    if (hadStatus && text.endsWith(u'\n'))
        err_ << status_;
    else
        status_.clear();
    err_.flush();
}

void Console::showStatus(const QString& text)
{
    if (!errorIsTerminal_)
        return;
    // A shorter line is padded over the longer one before it.
    err_ << u'\r' << text.leftJustified(status_.size(), u' ');
    err_.flush();
    status_ = text;
}

void Console::endStatus()
{
    if (status_.isEmpty())
        return;
    err_ << u'\n';
    err_.flush();
    status_.clear();
}

void Console::clearStatus()
{
    if (status_.isEmpty())
        return;
    err_ << u'\r' << QString(status_.size(), u' ') << u'\r';
}

std::optional<QString> Console::outputFailure()
{
    out_.flush();
    if (out_.status() == QTextStream::Ok)
        return std::nullopt;
    const QString reason = out_.device() != nullptr ? out_.device()->errorString() : QString();
    return reason.isEmpty() ? u"the write failed"_s : reason;
}

} // namespace ebbcast
