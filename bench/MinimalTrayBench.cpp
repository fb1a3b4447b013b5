// The least a Qt 6 tray program can be: a QApplication, one QSystemTrayIcon with an icon drawn at start and a
// menu holding Quit, no windows. bench/idle_footprint.sh measures it idle as the baseline of what any Qt tray
// costs, beside ebbcast's tray. Runs until Quit, SIGTERM or SIGINT (each ends it normally, so the tray loses
// its icon the way it does for a real program). Usage: ebbcast_bench_minimal_tray
//   exit status: 0 after a stop, 1 when there is no system tray to hold the icon (after 10 s of waiting)

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// A filled circle on a transparent square, so the icon has real pixels to draw like any tray icon.
QIcon drawnIcon()
{
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0xd0, 0x30, 0x30));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(8, 8, 48, 48);
    return QIcon(pixmap);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ebbcast-bench-minimal-tray"));
    QApplication::setQuitOnLastWindowClosed(false);

    // SIGTERM and SIGINT through a pipe: the handler only writes a byte, the event loop quits.
    if (::pipe(signalPipe) != 0) {
        std::perror("pipe");
        return 1;
    }
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &application, &QApplication::quit);
    for (const int number : std::array{SIGTERM, SIGINT})
        std::signal(number, onStopSignal);

    QMenu menu;
    QAction* quit = menu.addAction(QStringLiteral("Quit"));
    QObject::connect(quit, &QAction::triggered, &application, &QApplication::quit);

    QSystemTrayIcon tray(drawnIcon());
    tray.setToolTip(QStringLiteral("Minimal tray"));
    tray.setContextMenu(&menu);

    // A tray that appears a moment after the program starts still gets the icon; none at all is an error.
    int waited = 0;
    QTimer trayCheck;
    trayCheck.setInterval(100);
    QObject::connect(&trayCheck, &QTimer::timeout, &application, [&] {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            trayCheck.stop();
            tray.show();
        } else if (++waited >= 100) {
            std::fputs("no system tray to hold the icon\n", stderr);
            QApplication::exit(1);
        }
    });
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray.show();
    else
        trayCheck.start();
    return QApplication::exec();
}
