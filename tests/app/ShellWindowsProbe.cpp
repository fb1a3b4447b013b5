// Shows the mini controller and the recording overlay in a process of its own, at the scale the environment
// asks for (QT_SCALE_FACTOR), and prints what they measure, one "name value" line each:
//   scale F                       the windows' device pixel ratio
//   mini-logical WxH              the mini controller in logical pixels, and on the X server:
//   mini-native WxH
//   mini-icon WxH                 a button's icon as drawn (device pixels)
//   overlay-windows N
//   overlay-logical WxH / overlay-screen WxH / overlay-native WxH   the first overlay window, its screen
//   frame-native N                how many device pixels of the screen's middle row are frame red, from the
//   left level-native N of M           mic level pixels (device) of its track's width, at level 0.5
// Usage: ebbcast_shell_windows_probe SCREENSHOT_FOLDER (it saves mini-controller-scaled.png and
// recording-overlay-scaled.png there). Exits 0, or 2 when a window did not appear.

#include "app/MiniRecorderWindowController.h"
#include "app/RecordingOverlayController.h"
#include "app/RecordingOverlayWindow.h"
#include "capture/linux/XcbHandles.h"
#include "model/EbbcastAppModel.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cmath>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QSize nativeSize(QWidget* window)
{
    xcb_connection_t* connection =
        qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    const auto geometry = ebbcast::ownedReply(xcb_get_geometry_reply(
        connection, xcb_get_geometry(connection, static_cast<xcb_window_t>(window->winId())), nullptr));
    return geometry ? QSize(geometry->width, geometry->height) : QSize();
}

void print(const char* name, QSize size)
{
    std::printf("%s %dx%d\n", name, size.width(), size.height());
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc < 2 || QGuiApplication::platformName() != u"xcb"_s)
        return 2;
    const QDir screenshots(QString::fromLocal8Bit(argv[1]));
    ebbcast::EbbcastAppModel model(QUrl(u"http://127.0.0.1:9"_s));
    model.setState(ebbcast::EbbcastRunState::recording);
    ebbcast::MiniRecorderWindowController mini(model, {});
    ebbcast::RecordingOverlayController overlay;
    overlay.updateMicLevel(0.5);
    overlay.show();
    mini.show();
    if (!QTest::qWaitForWindowExposed(mini.window()) || overlay.windows().empty() ||
        !QTest::qWaitForWindowExposed(overlay.windows().front()))
        return 2;
    QTest::qWait(200);

    QWidget* window = mini.window();
    const qreal scale = window->devicePixelRatioF();
    std::printf("scale %g\n", scale);
    print("mini-logical", window->size());
    print("mini-native", nativeSize(window));
    auto* record = window->findChild<QToolButton*>(u"record"_s);
    print("mini-icon", record->icon().pixmap(record->iconSize(), scale).size());
    QScreen* screen = QGuiApplication::primaryScreen();
    screen->grabWindow(window->winId()).save(screenshots.absoluteFilePath(u"mini-controller-scaled.png"_s));

    ebbcast::RecordingOverlayWindow* first = overlay.windows().front();
    std::printf("overlay-windows %d\n", static_cast<int>(overlay.windows().size()));
    print("overlay-logical", first->size());
    print("overlay-screen", first->targetScreen()->geometry().size());
    print("overlay-native", nativeSize(first));

    const QImage pixels = screen->grabWindow(0).toImage();
    pixels.save(screenshots.absoluteFilePath(u"recording-overlay-scaled.png"_s));
    const QColor frameRed(0xe5, 0x39, 0x35);
    int frame = 0;
    while (frame < pixels.width() && pixels.pixelColor(frame, pixels.height() / 2) == frameRed)
        ++frame;
    std::printf("frame-native %d\n", frame);
    const QRect track = ebbcast::RecordingOverlayWindow::levelTrack(first->micPill());
    const int row = static_cast<int>(std::lround((track.y() + track.height() / 2.0) * scale));
    int level = 0;
    for (int x = static_cast<int>(track.x() * scale);
         x < static_cast<int>((track.x() + track.width()) * scale); ++x)
        level += pixels.pixelColor(x, row) == QColor(0x2e, 0xa0, 0x43) ? 1 : 0;
    std::printf("level-native %d of %d\n", level, static_cast<int>(std::lround(track.width() * scale)));
    return 0;
}
