#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <termios.h>

class QSocketNotifier;

namespace ebbcast {

// One line from an input file descriptor (standard input), read as the event loop reports data, so a stop
// signal can end the wait: up to a line feed (a carriage return before it is dropped) or the end of the
// input. The descriptor's own mode is left as it is (it is shared with the shell).
// Main thread.
class InputLineReader : public QObject {
    Q_OBJECT

public:
    enum class Outcome { reading, line, noInput, tooLong, failed, cancelled };
    static constexpr qsizetype maximumLength = 64 * 1024;

    explicit InputLineReader(int descriptor);
    ~InputLineReader() override;

    Outcome outcome() const { return outcome_; }
    // The line without its line ending, once outcome() is `line`.
    const QString& line() const { return line_; }
    // Why reading failed, once outcome() is `failed`.
    const QString& problem() const { return problem_; }

    // Resumes once the outcome is known.
    QCoro::Task<> finished();
    void cancel();

Q_SIGNALS:
    void done();

private:
    void readAvailable();
    void finish(Outcome outcome);

    int descriptor_;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray bytes_;
    Outcome outcome_ = Outcome::reading;
    QString line_;
    QString problem_;
};

// Hides what is typed on a terminal for as long as it lives (for a secret); does nothing when the descriptor
// is not a terminal. The terminal's settings are restored as they were.
class HiddenTerminalInput {
public:
    explicit HiddenTerminalInput(int descriptor);
    ~HiddenTerminalInput();

    HiddenTerminalInput(const HiddenTerminalInput&) = delete;
    HiddenTerminalInput& operator=(const HiddenTerminalInput&) = delete;

    bool isHiding() const { return hiding_; }

private:
    int descriptor_;
    bool hiding_ = false;
    termios saved_{};
};

} // namespace ebbcast
