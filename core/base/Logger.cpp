#include "core/base/Logger.h"

#include "core/base/Iso8601.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

void reportToStandardError(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

QString errnoDescription()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

Logger::Logger(QString logFilePath, Clock clock, FailureSink failureSink)
    : logFilePath_(std::move(logFilePath))
    , clock_(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); }))
    , failureSink_(failureSink ? std::move(failureSink) : FailureSink(reportToStandardError))
    , queue_("Tavilon.Logger")
{
    QDir().mkpath(QFileInfo(logFilePath_).absolutePath());
}

Logger::~Logger()
{
    flush();
}

void Logger::info(const QString& message)
{
    enqueue("INFO", message);
}

void Logger::error(const QString& message)
{
    enqueue("ERROR", message);
}

void Logger::flush()
{
    queue_.sync();
}

void Logger::enqueue(const char* level, const QString& message)
{
    queue_.async([this, level, message] { writeLine(level, message); });
}

void Logger::writeLine(const char* level, const QString& message)
{
    if (!message.isValidUtf16())
        return; // text that cannot be encoded as UTF-8 is dropped
    const QByteArray line =
        Iso8601::format(clock_()).toUtf8() + " [" + level + "] " + message.toUtf8() + '\n';

    const QByteArray path = QFile::encodeName(logFilePath_);
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        failureSink_(u"Tavilon log write failed: "_s + errnoDescription());
        return;
    }
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + written, static_cast<size_t>(line.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failureSink_(u"Tavilon log write failed: "_s + errnoDescription());
            ::close(fd);
            return;
        }
        written += n;
    }
    if (::close(fd) != 0)
        failureSink_(u"Tavilon log write failed: "_s + errnoDescription());
}

} // namespace ebbcast
