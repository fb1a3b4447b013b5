#pragma once

#include "core/base/SerialQueue.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace ebbcast {

// The application's diagnostic log: one line per event, "<UTC time> [LEVEL] message".
// Thread-safe: info() and error() may be called from any thread and only queue the line; the file is opened,
// appended to and closed for each line on the serial queue "Tavilon.Logger", so a deleted log is recreated.
class Logger {
public:
    using Clock = std::function<QDateTime()>;
    using FailureSink = std::function<void(const QString&)>;

    // Creates the log folder; a failure shows up later as failed writes.
    explicit Logger(QString logFilePath, Clock clock = {}, FailureSink failureSink = {});
    ~Logger();

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    const QString& logFilePath() const noexcept { return logFilePath_; }

    void info(const QString& message);
    void error(const QString& message);

    // Waits until every line queued so far is on disk (or reported as lost).
    void flush();

private:
    void enqueue(const char* level, const QString& message);
    void writeLine(const char* level, const QString& message);

    QString logFilePath_;
    Clock clock_;
    FailureSink failureSink_;
    SerialQueue queue_;
};

} // namespace ebbcast
