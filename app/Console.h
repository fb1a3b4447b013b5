#pragma once

#include <QIODevice>
#include <QString>
#include <QTextStream>

#include <memory>
#include <optional>

namespace ebbcast {

// The standard streams of a command. Standard output carries results only (what scripts read: a folder, a
// value); messages, prompts and progress go to standard error. A failed write to standard output is kept, so
// the command ends with a failure rather than a silent loss. On a terminal a status line (the elapsed time of
// a recording) stays at the bottom of standard error, and messages appear above it.
// Main thread.
class Console {
public:
    // The process's own: file descriptors 0, 1 and 2.
    Console();
    // Other streams, for tests: `input` is the file descriptor lines are read from; `errorIsTerminal` tells
    // whether standard error counts as a terminal (status lines are shown only there).
    Console(QIODevice& out, QIODevice& err, int input, bool errorIsTerminal);
    ~Console();

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    QTextStream& out() { return out_; }
    // One line on standard error: "ebbcast: MESSAGE".
    void error(const QString& message);
    // Text on standard error as it is: whole lines, or a prompt.
    void write(const QString& text);

    bool errorIsTerminal() const { return errorIsTerminal_; }
    int input() const { return input_; }
    bool inputIsTerminal() const;

    // A line at the bottom of standard error that the next one replaces; shown only on a terminal.
    void showStatus(const QString& text);
    // Keeps the last status line as it is and goes on below it.
    void endStatus();

    // Flushes standard output and tells why a write to it failed, if one did.
    std::optional<QString> outputFailure();

private:
    Console(std::unique_ptr<QIODevice> out, std::unique_ptr<QIODevice> err, int input, bool errorIsTerminal);
    void clearStatus();

    std::unique_ptr<QIODevice> ownOut_;
    std::unique_ptr<QIODevice> ownErr_;
    QTextStream out_;
    QTextStream err_;
    int input_;
    bool errorIsTerminal_;
    QString status_;
};

} // namespace ebbcast
