#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

// What a user does on an X display, done with the X tools: windows found by class or title, the active
// window set as a window manager would (Xvfb runs none), the tray icon's menu and windows driven by xdotool.

namespace ebbcast::test {

using namespace Qt::StringLiterals;

// The id of the first window whose WM_CLASS class is `className` on $DISPLAY, or nothing.
inline QString windowWithClass(const QString& className)
{
    QProcess tree;
    tree.start(u"xwininfo"_s, {u"-root"_s, u"-tree"_s});
    tree.waitForFinished(5000);
    static const QRegularExpression line(u"^\\s*(0x[0-9a-f]+) .*\\(\"[^\"]*\" \"([^\"]*)\"\\)"_s);
    for (const QString& text : QString::fromLocal8Bit(tree.readAllStandardOutput()).split(u'\n')) {
        const auto match = line.match(text);
        if (match.hasMatch() && match.captured(2) == className)
            return match.captured(1);
    }
    return {};
}

// Makes `window` the active window of $DISPLAY ("0x0": none), as a window manager would.
inline void makeActive(const QString& window)
{
    QProcess::execute(u"xprop"_s, {u"-root"_s, u"-f"_s, u"_NET_ACTIVE_WINDOW"_s, u"32x"_s, u"-set"_s,
                                   u"_NET_ACTIVE_WINDOW"_s, window});
}

// Drives the tray icon's menu on a display with xdotool: a right click on the icon opens it, then keys
// choose.
class TrayMenu {
public:
    explicit TrayMenu(QString display)
        : display_(std::move(display))
    {}

    // The icon's window, once the tray shows it (empty when none came).
    QString icon() const
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 30000) {
            const QString found = xdotool({u"search"_s, u"--onlyvisible"_s, u"--classname"_s, u"ebbcast"_s});
            if (!found.isEmpty())
                return found.split(u'\n').first();
            QThread::msleep(100);
        }
        return {};
    }

    // Opens the menu and presses `keys`, then Return (Down: the first enabled entry; Up: the last, Quit). The
    // first click after another of the application's windows went away may open nothing: clicked again then.
    void choose(const QStringList& keys) const
    {
        const QString window = icon();
        ASSERT_FALSE(window.isEmpty());
        const auto visibleWindows = [this] {
            return xdotool({u"search"_s, u"--onlyvisible"_s, u"--classname"_s, u"ebbcast"_s})
                .split(u'\n', Qt::SkipEmptyParts)
                .size();
        };
        const qsizetype before = visibleWindows();
        for (int attempt = 0; attempt < 5; ++attempt) {
            xdotool({u"mousemove"_s, u"--window"_s, window, u"10"_s, u"10"_s, u"click"_s, u"3"_s});
            QThread::msleep(700);
            if (visibleWindows() > before)
                break;
        }
        xdotool(QStringList{u"key"_s} + keys + QStringList{u"Return"_s});
    }

    // The visible window titled `title`, waited for up to `milliseconds` (empty when none came).
    QString window(const QString& title, int milliseconds = 30000) const
    {
        QElapsedTimer waited;
        waited.start();
        do {
            const QString found =
                xdotool({u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"^"_s + title + u"$"_s});
            if (!found.isEmpty())
                return found.split(u'\n').first();
            QThread::msleep(100);
        } while (waited.elapsed() < milliseconds);
        return {};
    }

    // Presses `key` in `window`.
    void press(const QString& window, const QString& key) const
    {
        xdotool({u"windowfocus"_s, u"--sync"_s, window});
        xdotool({u"key"_s, key});
    }

private:
    QString xdotool(const QStringList& arguments) const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, display_);
        process.setProcessEnvironment(environment);
        process.start(u"xdotool"_s, arguments);
        process.waitForFinished(10000);
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    }

    QString display_;
};

} // namespace ebbcast::test
