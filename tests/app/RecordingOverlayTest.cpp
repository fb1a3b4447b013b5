#include "app/RecordingOverlayController.h"
#include "app/RecordingOverlayWindow.h"
#include "app/X11WindowHints.h"
#include "support/ShellWindowTesting.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <map>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::waitUntil;
using test::X11View;

const QColor frameRed(0xe5, 0x39, 0x35);
const QColor levelGreen(0x2e, 0xa0, 0x43);
const QColor beneathColour(0x1c, 0x6e, 0x8c);

// A plain window in one colour over the whole primary screen that counts the presses it receives: what the
// overlay lies over.
class Beneath : public QWidget {
public:
    Beneath()
    {
        // Frameless, so that a window manager's decorations do not take the clicks meant for it. Focused and
        // as large as the screen, a window manager takes it for a full-screen window, which it stacks above
        // the others: the overlay must stay above it all the same.
        setWindowFlag(Qt::FramelessWindowHint);
        setGeometry(QGuiApplication::primaryScreen()->geometry());
        setAttribute(Qt::WA_QuitOnClose, false);
    }

    int presses = 0;

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), beneathColour); }
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

// How many pixels of a row, from x to x + width, have exactly this colour.
int pixelsOfColour(const QImage& image, int y, int x, int width, const QColor& colour)
{
    int count = 0;
    for (int column = x; column < x + width; ++column)
        count += image.pixelColor(column, y).rgb() == colour.rgb() ? 1 : 0;
    return count;
}

int xrandr(const QStringList& arguments)
{
    return QProcess::execute(u"xrandr"_s, arguments);
}

class RecordingOverlayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::onXDisplay())
            GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    }

    void TearDown() override
    {
        controller_.hide();
        for (const QString& name : addedMonitors_)
            xrandr({u"--delmonitor"_s, name});
        if (!addedMonitors_.isEmpty())
            waitUntil([] { return QGuiApplication::screens().size() == 1; });
    }

    void showBeneath()
    {
        beneath_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&beneath_));
        beneath_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&beneath_));
    }

    // Shows the overlay and waits until every window is on the screen.
    void showOverlay()
    {
        controller_.show();
        ASSERT_FALSE(controller_.windows().empty());
        for (RecordingOverlayWindow* window : controller_.windows())
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        QTest::qWait(50);
    }

    static xcb_window_t idOf(QWidget* window) { return static_cast<xcb_window_t>(window->winId()); }

    // Adds a monitor to the X screen as RandR describes one (how Xvfb is given a second screen); false when
    // this X server or Qt does not follow.
    bool addMonitor(const QString& geometry, qsizetype expectedScreens)
    {
        if (xrandr({u"--setmonitor"_s, monitorName, geometry, u"none"_s}) != 0)
            return false;
        addedMonitors_.append(monitorName);
        return waitUntil([&] { return QGuiApplication::screens().size() == expectedScreens; });
    }

    // Whether the windows are one per screen, each covering its screen, on the X server too.
    void expectOneWindowPerScreen() const
    {
        const X11View x11;
        const QList<QScreen*> screens = QGuiApplication::screens();
        const std::vector<RecordingOverlayWindow*> windows = controller_.windows();
        ASSERT_EQ(windows.size(), static_cast<std::size_t>(screens.size()));
        for (QScreen* screen : screens) {
            const auto covering =
                std::find_if(windows.begin(), windows.end(), [&](RecordingOverlayWindow* window) {
                    return window->targetScreen() == screen;
                });
            ASSERT_NE(covering, windows.end()) << screen->name().toStdString();
            EXPECT_EQ((*covering)->geometry(), screen->geometry()) << screen->name().toStdString();
            EXPECT_TRUE(waitUntil([&] { return x11.contentOnScreen(idOf(*covering)) == screen->geometry(); }))
                << screen->name().toStdString();
        }
    }

    static inline const QString monitorName = u"EBBCAST-TEST-B"_s;
    static inline const QString otherMonitorName = u"EBBCAST-TEST-C"_s;
    QStringList addedMonitors_;
    Beneath beneath_;
    RecordingOverlayController controller_;
};

TEST_F(RecordingOverlayTest, AShapedWindowAboveEverythingThatTakesNoFocusAndLetsClicksThrough)
{
    if (compositingManagerRuns())
        GTEST_SKIP() << "a compositing manager runs on this display: the overlay is translucent, not shaped";
    ASSERT_NO_FATAL_FAILURE(showBeneath());
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    ASSERT_NO_FATAL_FAILURE(expectOneWindowPerScreen());
    RecordingOverlayWindow* window = controller_.windows().front();
    const xcb_window_t id = idOf(window);
    const X11View x11;

    const Qt::WindowFlags flags = window->windowFlags();
    for (const Qt::WindowType flag : {Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint,
                                      Qt::WindowTransparentForInput, Qt::WindowDoesNotAcceptFocus})
        EXPECT_TRUE(flags.testFlag(flag)) << static_cast<int>(flag);
    EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_EQ(window->backdrop(), RecordingOverlayWindow::Backdrop::shaped);
    EXPECT_FALSE(window->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(window->mask(), window->drawnRegion());
    EXPECT_FALSE(window->mask().contains(window->rect().center()));

    // On every workspace, above the others, never given the keyboard (WM_HINTS input false).
    if (x11.kept("_NET_WM_STATE_STICKY")) {
        EXPECT_TRUE(waitUntil([&] {
            return x11.atomNames(id, "_NET_WM_STATE").contains(u"_NET_WM_STATE_STICKY"_s);
        })) << x11.atomNames(id, "_NET_WM_STATE").join(u' ').toStdString();
    }
    if (x11.kept("_NET_WM_DESKTOP")) {
        EXPECT_TRUE(waitUntil(
            [&] { return x11.values(id, "_NET_WM_DESKTOP") == std::vector<std::uint32_t>{0xFFFFFFFFu}; }));
    }
    const std::vector<std::uint32_t> hints = x11.values(id, "WM_HINTS");
    ASSERT_GE(hints.size(), 2u);
    EXPECT_NE(hints[0] & 1u, 0u) << "input hint not given";
    EXPECT_EQ(hints[1], 0u) << "asks for the keyboard";
    // Not managed: no window manager frames it (a frame would catch the clicks) or stacks it under others.
    const auto attributes = ownedReply(xcb_get_window_attributes_reply(
        x11.connection(), xcb_get_window_attributes(x11.connection(), id), nullptr));
    ASSERT_TRUE(attributes);
    EXPECT_TRUE(attributes->override_redirect);
    EXPECT_EQ(x11.topLevel(id), id);
    EXPECT_TRUE(x11.isAbove(id, idOf(&beneath_)));
    EXPECT_EQ(QApplication::activeWindow(), &beneath_) << "showing the overlay took the focus";
    if (x11.windowManagerRuns()) {
        // A window raised by the window manager afterwards stays under it.
        beneath_.raise();
        beneath_.activateWindow();
        QTest::qWait(200);
        EXPECT_TRUE(x11.isAbove(id, idOf(&beneath_)));
    }

    // What the screen shows: the window beneath everywhere but on the frame and the pills.
    const QImage screen = X11View::screenPixels();
    test::saveScreenshot(screen, u"recording-overlay"_s);
    EXPECT_TRUE(test::showsSomething(screen, beneathColour.rgb(), 4));
    const QRect all = QGuiApplication::primaryScreen()->geometry();
    const int middleY = all.height() / 2;
    EXPECT_EQ(screen.pixelColor(all.center()), beneathColour);
    EXPECT_EQ(screen.pixelColor(RecordingOverlayWindow::frameWidth, middleY), beneathColour);
    EXPECT_EQ(screen.pixelColor(all.width() / 4, all.height() / 4), beneathColour);
    for (const QPoint edge : {QPoint(0, middleY), QPoint(RecordingOverlayWindow::frameWidth - 1, middleY),
                              QPoint(all.width() - 1, middleY), QPoint(all.width() / 2, 0),
                              QPoint(all.width() / 2, all.height() - 1), QPoint(0, 0)})
        EXPECT_EQ(screen.pixelColor(edge), frameRed) << edge.x() << "," << edge.y();
    const QColor pillBackground = window->palette().color(QPalette::Window);
    for (const QRect& pill : {window->micPill(), window->systemPill()}) {
        EXPECT_EQ(screen.pixelColor(pill.topLeft() + QPoint(pill.height() / 2, 2)), pillBackground);
        // Just outside the pill's rounded corner: beneath.
        EXPECT_EQ(screen.pixelColor(pill.topLeft()), beneathColour);
        EXPECT_EQ(screen.pixelColor(pill.topLeft() + QPoint(0, -2)), beneathColour);
    }
    // The labels are drawn in the text colour.
    const QImage micPill = screen.copy(window->micPill());
    EXPECT_GE(test::colourCount(micPill, 1), 3);
    const QImage pills =
        screen.copy(window->micPill().united(window->systemPill()).adjusted(-12, -12, 12, 12));
    test::saveScreenshot(pills, u"recording-overlay-pills"_s);

    // Clicks on the open middle, on a pill and on the frame all reach the window beneath.
    EXPECT_TRUE(test::clickAt(all.center()));
    EXPECT_TRUE(test::clickAt(window->micPill().center()));
    EXPECT_TRUE(test::clickAt(QPoint(1, middleY)));
    EXPECT_TRUE(waitUntil([&] { return beneath_.presses == 3; })) << beneath_.presses << " presses beneath";
    EXPECT_EQ(QApplication::activeWindow(), &beneath_);
}

TEST_F(RecordingOverlayTest, PillsFillTheirBarsToTheLevels)
{
    ASSERT_NO_FATAL_FAILURE(showBeneath());
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    RecordingOverlayWindow* window = controller_.windows().front();
    const QRect micTrack = RecordingOverlayWindow::levelTrack(window->micPill());
    const QRect systemTrack = RecordingOverlayWindow::levelTrack(window->systemPill());
    ASSERT_GE(micTrack.width(), 40);
    const auto filled = [&](const QRect& track) {
        const QImage screen = X11View::screenPixels();
        return pixelsOfColour(screen, track.center().y(), track.x(), track.width(), levelGreen);
    };
    const auto levelsShown = [&](int micPixels, int systemPixels) {
        return waitUntil([&] {
            return std::abs(filled(micTrack) - micPixels) <= 1 &&
                   std::abs(filled(systemTrack) - systemPixels) <= 1;
        });
    };
    EXPECT_TRUE(levelsShown(0, 0)) << filled(micTrack) << " " << filled(systemTrack);

    controller_.updateMicLevel(0.5);
    controller_.updateSystemLevel(1.0);
    EXPECT_TRUE(levelsShown(micTrack.width() / 2, systemTrack.width()))
        << filled(micTrack) << " of " << micTrack.width() << ", " << filled(systemTrack);
    test::saveScreenshot(X11View::screenPixels().copy(window->micPill().united(window->systemPill())),
                         u"recording-overlay-levels"_s);
    // The rest of the track stays empty, and the bar keeps within it.
    const QImage screen = X11View::screenPixels();
    EXPECT_NE(screen.pixelColor(micTrack.right(), micTrack.center().y()), levelGreen);
    EXPECT_NE(screen.pixelColor(systemTrack.right() + 1, systemTrack.center().y()), levelGreen);

    // Out of range: clamped.
    controller_.updateMicLevel(7.0);
    controller_.updateSystemLevel(-1.0);
    EXPECT_DOUBLE_EQ(controller_.micLevel(), 1.0);
    EXPECT_DOUBLE_EQ(controller_.systemLevel(), 0.0);
    EXPECT_TRUE(levelsShown(micTrack.width(), 0)) << filled(micTrack) << " " << filled(systemTrack);

    // Levels that arrive while hidden are shown by the next windows.
    controller_.hide();
    controller_.updateMicLevel(0.25);
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    EXPECT_DOUBLE_EQ(controller_.windows().front()->micLevel(), 0.25);
    EXPECT_TRUE(levelsShown(static_cast<int>(std::lround(micTrack.width() * 0.25)), 0));
}

TEST_F(RecordingOverlayTest, LevelsArrivingFastAreRepaintedAtMostThirtyTimesASecond)
{
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    RecordingOverlayWindow* window = controller_.windows().front();
    test::PaintCounter counter;
    window->installEventFilter(&counter);

    // An audio callback's rate (every 2 ms) for about a second.
    QElapsedTimer timer;
    timer.start();
    int updates = 0;
    double last = 0;
    while (timer.elapsed() < 1000) {
        last = (updates % 50) / 50.0;
        controller_.updateMicLevel(last);
        controller_.updateSystemLevel(1.0 - last);
        ++updates;
        QTest::qWait(2);
    }
    const double seconds = static_cast<double>(timer.elapsed()) / 1000;
    QTest::qWait(100);
    std::cout << updates << " level updates in " << seconds << " s, " << counter.paints << " repaints\n";
    EXPECT_LE(counter.paints, static_cast<int>(std::ceil(seconds * 30)) + 1);
    EXPECT_GE(counter.paints, static_cast<int>(10 / test::timingScale()));
    EXPECT_DOUBLE_EQ(window->micLevel(), last) << "the last level is shown";
    EXPECT_DOUBLE_EQ(window->systemLevel(), 1.0 - last);
    window->removeEventFilter(&counter);
}

TEST_F(RecordingOverlayTest, RebuiltWhenScreensComeGoOrChange)
{
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    ASSERT_NO_FATAL_FAILURE(expectOneWindowPerScreen());
    ASSERT_EQ(controller_.windows().size(), 1u);
    QSignalSpy rebuilt(&controller_, &RecordingOverlayController::windowsChanged);

    if (!addMonitor(u"800/211x600/158+1120+480"_s, 2))
        GTEST_SKIP() << "this X server or Qt does not follow RandR monitors (xrandr --setmonitor)";
    EXPECT_TRUE(waitUntil([&] { return controller_.windows().size() == 2; }));
    ASSERT_NO_FATAL_FAILURE(expectOneWindowPerScreen());
    for (RecordingOverlayWindow* window : controller_.windows())
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
    // Each screen has its frame: the added one's left edge, in the middle of the X screen, is red.
    QTest::qWait(100);
    const QImage screen = X11View::screenPixels();
    test::saveScreenshot(screen, u"recording-overlay-two-screens"_s);
    EXPECT_EQ(screen.pixelColor(1121, 780), frameRed);
    EXPECT_EQ(screen.pixelColor(1120 + RecordingOverlayWindow::frameWidth + 2, 780).rgb(),
              screen.pixelColor(1000, 780).rgb())
        << "inside the added screen's frame shows what the other screen's overlay lets through";

    // The monitor is replaced by a smaller one elsewhere. (Qt 6.4 does not follow a monitor that keeps its
    // name but changes its geometry, so the new one has a name of its own; a screen's own geometry changes
    // are the next test's.)
    const int before = static_cast<int>(rebuilt.count());
    ASSERT_EQ(xrandr({u"--delmonitor"_s, monitorName}), 0);
    addedMonitors_.removeAll(monitorName);
    ASSERT_EQ(xrandr({u"--setmonitor"_s, otherMonitorName, u"640/169x480/127+0+600"_s, u"none"_s}), 0);
    addedMonitors_.append(otherMonitorName);
    EXPECT_TRUE(waitUntil([&] {
        const QList<QScreen*> screens = QGuiApplication::screens();
        return screens.size() == 2 && std::any_of(screens.begin(), screens.end(), [](QScreen* each) {
                   return each->geometry() == QRect(0, 600, 640, 480);
               });
    }));
    EXPECT_TRUE(waitUntil([&] {
        const std::vector<RecordingOverlayWindow*> windows = controller_.windows();
        return rebuilt.count() > before && std::any_of(windows.begin(), windows.end(), [](auto* window) {
                   return window->geometry() == QRect(0, 600, 640, 480);
               });
    }));
    ASSERT_NO_FATAL_FAILURE(expectOneWindowPerScreen());

    ASSERT_EQ(xrandr({u"--delmonitor"_s, otherMonitorName}), 0);
    addedMonitors_.clear();
    EXPECT_TRUE(waitUntil([] { return QGuiApplication::screens().size() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return controller_.windows().size() == 1; }));
    ASSERT_NO_FATAL_FAILURE(expectOneWindowPerScreen());
}

// The screen signals alone rebuild the windows (what a change of monitors looks like to the controller).
TEST_F(RecordingOverlayTest, ScreenGeometryChangesRebuildTheWindows)
{
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    QSignalSpy rebuilt(&controller_, &RecordingOverlayController::windowsChanged);
    QPointer<RecordingOverlayWindow> first = controller_.windows().front();
    Q_EMIT QGuiApplication::primaryScreen()->geometryChanged(QGuiApplication::primaryScreen()->geometry());
    Q_EMIT QGuiApplication::primaryScreen()->availableGeometryChanged(
        QGuiApplication::primaryScreen()->availableGeometry());
    EXPECT_TRUE(waitUntil([&] { return rebuilt.count() == 1; })) << "one rebuild for a burst of changes";
    QTest::qWait(50);
    EXPECT_EQ(rebuilt.count(), 1);
    ASSERT_EQ(controller_.windows().size(), 1u);
    EXPECT_TRUE(first.isNull()) << "the window was not made anew";
    EXPECT_TRUE(QTest::qWaitForWindowExposed(controller_.windows().front()));

    // Without windows a change makes none.
    controller_.hide();
    rebuilt.clear();
    Q_EMIT QGuiApplication::primaryScreen()->geometryChanged(QGuiApplication::primaryScreen()->geometry());
    QTest::qWait(50);
    EXPECT_EQ(rebuilt.count(), 0);
    EXPECT_TRUE(controller_.windows().empty());
}

TEST_F(RecordingOverlayTest, WindowsExistOnlyWhileRecordingAndNotHidden)
{
    const X11View x11;
    controller_.setIndicatorsHidden(false);
    EXPECT_TRUE(controller_.windows().empty()) << "nothing records yet";

    ASSERT_NO_FATAL_FAILURE(showOverlay());
    const xcb_window_t shown = idOf(controller_.windows().front());
    EXPECT_TRUE(waitUntil([&] { return x11.isViewable(shown); }));
    controller_.setIndicatorsHidden(true);
    EXPECT_TRUE(controller_.windows().empty());
    EXPECT_TRUE(waitUntil([&] { return !x11.isViewable(shown); }));
    controller_.show(); // a session records, but the indicators stay hidden
    EXPECT_TRUE(controller_.windows().empty());
    controller_.setIndicatorsHidden(false);
    ASSERT_EQ(controller_.windows().size(), 1u);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(controller_.windows().front()));

    controller_.hide();
    EXPECT_TRUE(controller_.windows().empty());
    controller_.setIndicatorsHidden(true);
    controller_.setIndicatorsHidden(false);
    EXPECT_TRUE(controller_.windows().empty()) << "the session ended";
}

// A compositing manager owns the selection _NET_WM_CM_S<screen>: the overlay is then translucent (an alpha
// channel, no shape) and shaped again once it is gone. Here a stand-in owns the selection.
TEST_F(RecordingOverlayTest, TranslucentWhileACompositingManagerRuns)
{
    if (compositingManagerRuns())
        GTEST_SKIP() << "a compositing manager already runs on this display";
    int screenNumber = 0;
    XcbConnection connection(xcb_connect(nullptr, &screenNumber));
    ASSERT_EQ(xcb_connection_has_error(connection.get()), 0);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int index = 0; index < screenNumber; ++index)
        xcb_screen_next(&screens);
    const xcb_window_t owner = xcb_generate_id(connection.get());
    xcb_create_window(connection.get(), XCB_COPY_FROM_PARENT, owner, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber);
    const auto atom = ownedReply(xcb_intern_atom_reply(
        connection.get(),
        xcb_intern_atom(connection.get(), 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    ASSERT_TRUE(atom);
    xcb_set_selection_owner(connection.get(), owner, atom->atom, XCB_CURRENT_TIME);
    xcb_flush(connection.get());
    ASSERT_TRUE(waitUntil([] { return compositingManagerRuns(); }));

    ASSERT_NO_FATAL_FAILURE(showOverlay());
    RecordingOverlayWindow* window = controller_.windows().front();
    EXPECT_EQ(window->backdrop(), RecordingOverlayWindow::Backdrop::translucent);
    EXPECT_TRUE(window->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_TRUE(window->mask().isEmpty());
    const X11View x11;
    const auto geometry = ownedReply(
        xcb_get_geometry_reply(x11.connection(), xcb_get_geometry(x11.connection(), idOf(window)), nullptr));
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->depth, 32) << "no alpha channel";
    controller_.hide();

    connection.reset(); // the stand-in goes, and the selection with it
    ASSERT_TRUE(waitUntil([] { return !compositingManagerRuns(); }));
    ASSERT_NO_FATAL_FAILURE(showOverlay());
    EXPECT_EQ(controller_.windows().front()->backdrop(), RecordingOverlayWindow::Backdrop::shaped);
    EXPECT_FALSE(controller_.windows().front()->mask().isEmpty());
}

// At scale 2 (a process of its own with QT_SCALE_FACTOR=2) the windows keep their logical sizes, drawn with
// twice the device pixels, the icons sharp.
TEST(ShellWindowsAtScaleTwo, KeepTheirLogicalSizesWithTwiceTheDevicePixels)
{
    if (!test::onXDisplay())
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    const QString folder = test::artifactsFolder();
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_SCALE_FACTOR"_s, u"2"_s);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(EBBCAST_SHELL_WINDOWS_PROBE), {folder});
    ASSERT_TRUE(probe.waitForFinished(60000));
    ASSERT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    std::map<QString, QString> measured;
    for (const QString& line :
         QString::fromUtf8(probe.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype space = line.indexOf(u' ');
        measured[line.left(space)] = line.mid(space + 1);
    }
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(measured[u"scale"_s], u"2"_s);
    EXPECT_EQ(measured[u"mini-logical"_s], u"310x54"_s);
    EXPECT_EQ(measured[u"mini-native"_s], u"620x108"_s);
    EXPECT_EQ(measured[u"mini-icon"_s], u"40x40"_s);
    EXPECT_EQ(measured[u"overlay-logical"_s], u"%1x%2"_s.arg(screen.width() / 2).arg(screen.height() / 2));
    EXPECT_EQ(measured[u"overlay-screen"_s], measured[u"overlay-logical"_s]);
    EXPECT_EQ(measured[u"overlay-native"_s], u"%1x%2"_s.arg(screen.width()).arg(screen.height()));
    EXPECT_EQ(measured[u"frame-native"_s], QString::number(2 * RecordingOverlayWindow::frameWidth));
    const QStringList level = measured[u"level-native"_s].split(u' ');
    ASSERT_EQ(level.size(), 3) << measured[u"level-native"_s].toStdString();
    EXPECT_NEAR(level[0].toInt(), level[2].toInt() / 2, 2) << "level 0.5 fills half the bar";

    for (const QString& name : {u"mini-controller-scaled.png"_s, u"recording-overlay-scaled.png"_s}) {
        const QImage image(QDir(folder).absoluteFilePath(name));
        EXPECT_TRUE(test::showsSomething(image, image.pixel(image.width() / 2, image.height() / 2), 3))
            << name.toStdString();
    }
    const QImage mini(QDir(folder).absoluteFilePath(u"mini-controller-scaled.png"_s));
    EXPECT_EQ(mini.size(), QSize(620, 108));
}

} // namespace
} // namespace ebbcast
