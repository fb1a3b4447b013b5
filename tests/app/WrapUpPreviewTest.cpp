#include "app/CameraPreviewView.h"
#include "app/WrapUpPreviewWindowController.h"
#include "capture/CameraPreviewFeed.h"
#include "core/base/EbbcastError.h"
#include "core/base/WallClock.h"
#include "support/ShellWindowTesting.h"
#include "support/TimingScale.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <map>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::waitUntil;
using test::X11View;

struct Yuv {
    std::uint8_t y, u, v;
};

// Pure colours in the cameras' Y'CbCr (BT.601, limited range).
constexpr Yuv red{82, 90, 240};
constexpr Yuv blue{41, 240, 110};
constexpr Yuv green{145, 54, 34};
constexpr Yuv white{235, 128, 128};

using Pattern = std::function<Yuv(int x, int y)>;

// A camera frame of the pattern, with rows longer than the picture (as cameras deliver them). Chroma is taken
// at even coordinates, so the pattern's edges should fall on them.
CameraFrame makeFrame(CameraFrame::PixelFormat format, int width, int height, const Pattern& colourAt,
                      double captureTimeSeconds = 0)
{
    CameraFrame frame;
    frame.format = format;
    frame.width = width;
    frame.height = height;
    frame.captureTimeSeconds = captureTimeSeconds;
    if (format == CameraFrame::PixelFormat::yuyv422) {
        const int stride = width * 2 + 64;
        auto buffer = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(stride * height));
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = buffer->data() + y * stride;
            for (int x = 0; x < width; x += 2) {
                const Yuv first = colourAt(x, y);
                row[x * 2] = first.y;
                row[x * 2 + 1] = first.u;
                row[x * 2 + 2] = colourAt(x + 1, y).y;
                row[x * 2 + 3] = first.v;
            }
        }
        frame.planes = {buffer->data(), nullptr, nullptr};
        frame.bytesPerLine = {stride, 0, 0};
        frame.owner = buffer;
        return frame;
    }
    const int lumaStride = width + 32;
    const int chromaStride = width / 2 + 16;
    const std::size_t lumaSize = static_cast<std::size_t>(lumaStride * height);
    const std::size_t chromaSize = static_cast<std::size_t>(chromaStride * (height / 2));
    auto buffer = std::make_shared<std::vector<std::uint8_t>>(lumaSize + 2 * chromaSize);
    std::uint8_t* luma = buffer->data();
    std::uint8_t* u = luma + lumaSize;
    std::uint8_t* v = u + chromaSize;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            luma[y * lumaStride + x] = colourAt(x, y).y;
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width / 2; ++x) {
            const Yuv colour = colourAt(x * 2, y * 2);
            u[y * chromaStride + x] = colour.u;
            v[y * chromaStride + x] = colour.v;
        }
    frame.planes = {luma, u, v};
    frame.bytesPerLine = {lumaStride, chromaStride, chromaStride};
    frame.owner = buffer;
    return frame;
}

Pattern uniform(Yuv colour)
{
    return [colour](int, int) {
        return colour;
    };
}

// Top left red, top right blue, bottom left green, bottom right white.
Pattern quadrants(int width, int height)
{
    return [width, height](int x, int y) {
        if (y < height / 2)
            return x < width / 2 ? red : blue;
        return x < width / 2 ? green : white;
    };
}

QString colourName(QRgb pixel)
{
    const int r = qRed(pixel);
    const int g = qGreen(pixel);
    const int b = qBlue(pixel);
    if (r > 200 && g > 200 && b > 200)
        return u"white"_s;
    if (r < 40 && g < 40 && b < 40)
        return u"black"_s;
    if (r > 170 && g < 80 && b < 80)
        return u"red"_s;
    if (b > 170 && r < 80 && g < 80)
        return u"blue"_s;
    if (g > 170 && r < 80 && b < 80)
        return u"green"_s;
    return u"rgb(%1, %2, %3)"_s.arg(r).arg(g).arg(b);
}

// How many pixels of the picture, on a 4-pixel grid, are of each colour.
std::map<QString, int> colourCounts(const QImage& picture)
{
    std::map<QString, int> counts;
    for (int y = 0; y < picture.height(); y += 4)
        for (int x = 0; x < picture.width(); x += 4)
            ++counts[colourName(picture.pixel(x, y))];
    return counts;
}

// Above other windows and on every workspace, as far as the window manager (if any) says so: it owns the
// properties of a mapped window and rewrites them in its own time. Openbox, for one, drops
// _NET_WM_STATE_STICKY (which it does not support) but keeps _NET_WM_DESKTOP at all desktops.
void expectAboveOnAllWorkspaces(const X11View& x11, xcb_window_t window)
{
    const auto states = [&] {
        return x11.atomNames(window, "_NET_WM_STATE");
    };
    const auto hasState = [&](const char* state) {
        return states().contains(QString::fromLatin1(state));
    };
    if (x11.kept("_NET_WM_STATE_ABOVE")) {
        EXPECT_TRUE(waitUntil([&] { return hasState("_NET_WM_STATE_ABOVE"); }))
            << states().join(u' ').toStdString();
    }
    if (x11.kept("_NET_WM_STATE_STICKY")) {
        EXPECT_TRUE(waitUntil([&] { return hasState("_NET_WM_STATE_STICKY"); }))
            << states().join(u' ').toStdString();
    }
    if (x11.kept("_NET_WM_DESKTOP")) {
        EXPECT_TRUE(waitUntil([&] {
            return x11.values(window, "_NET_WM_DESKTOP") == std::vector<std::uint32_t>{0xFFFFFFFFu};
        }));
    }
}

class WrapUpPreviewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::onXDisplay())
            GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    }

    void showAndWait(CameraPreviewFeed& feed)
    {
        controller_.show(feed);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(controller_.window()));
    }

    // Waits until the view has painted the frame captured at that time.
    bool waitForPainted(const QSignalSpy& painted, double captureTime)
    {
        return waitUntil([&] {
            return std::any_of(painted.begin(), painted.end(), [&](const QList<QVariant>& arguments) {
                return arguments.at(0) == captureTime;
            });
        });
    }

    xcb_window_t windowId() const { return static_cast<xcb_window_t>(controller_.window()->winId()); }

    // What the X server shows of the window (the picture fills all of it).
    QImage onScreen() const { return X11View::windowPixels(controller_.window()->winId()); }

    WrapUpPreviewWindowController controller_;
};

TEST_F(WrapUpPreviewTest, WindowIsASmallStickyAlwaysOnTopWindowCentredOnThePrimaryScreen)
{
    CameraPreviewFeed feed;
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    QWidget* window = controller_.window();
    const X11View x11;
    const xcb_window_t id = windowId();

    EXPECT_EQ(window->windowTitle(), u"Wrap Up Preview"_s);
    EXPECT_TRUE(window->isWindow());
    EXPECT_EQ(window->size(), QSize(520, 340));
    EXPECT_EQ(controller_.view()->size(), QSize(520, 340));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable";
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));

    // What a window manager reads: the functions and decorations (no maximizing), the states, the desktop.
    const std::vector<std::uint32_t> motif = x11.values(id, "_MOTIF_WM_HINTS");
    ASSERT_GE(motif.size(), 3u);
    EXPECT_EQ(motif[1] & (1u << 4), 0u) << "maximize function offered";
    EXPECT_EQ(motif[2] & (1u << 6), 0u) << "maximize button offered";
    EXPECT_NE(motif[1] & (1u << 5), 0u) << "close function missing";
    EXPECT_NE(motif[1] & (1u << 3), 0u) << "minimize function missing";
    expectAboveOnAllWorkspaces(x11, id);

    // The content on the screen: 520 × 340, centred (a window manager's frame may move it a little).
    const QRect content = x11.contentOnScreen(id);
    EXPECT_EQ(content.size(), QSize(520, 340));
    const QPoint offCentre =
        content.center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    const int tolerance = x11.windowManagerRuns() ? 64 : 1;
    EXPECT_LE(std::abs(offCentre.x()), tolerance) << content.x() << "," << content.y();
    EXPECT_LE(std::abs(offCentre.y()), tolerance) << content.x() << "," << content.y();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));

    // Hidden, then shown again: unmapped in between, and everything still asked for afterwards.
    controller_.hide();
    EXPECT_FALSE(controller_.isShown());
    EXPECT_TRUE(waitUntil([&] { return !x11.isViewable(id); }));
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    EXPECT_EQ(windowId(), id) << "the same window is reused";
    EXPECT_TRUE(waitUntil([&] { return x11.isViewable(id); }));
    expectAboveOnAllWorkspaces(x11, id);
}

TEST_F(WrapUpPreviewTest, ShowingAgainRaisesTheWindowAboveOthers)
{
    CameraPreviewFeed feed;
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    // Another window above the others (so that a window manager lets it cover this one too).
    QWidget other;
    other.setWindowFlag(Qt::WindowStaysOnTopHint);
    other.setGeometry(600, 300, 700, 500);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    const X11View x11;
    const auto otherId = static_cast<xcb_window_t>(other.winId());
    ASSERT_TRUE(waitUntil([&] { return x11.isAbove(otherId, windowId()); }));

    controller_.show(feed);
    EXPECT_TRUE(waitUntil([&] { return x11.isAbove(windowId(), otherId); }));
    EXPECT_TRUE(QTest::qWaitForWindowActive(controller_.window()));
}

TEST_F(WrapUpPreviewTest, PictureIsMirroredLeftToRightButNotUpsideDown)
{
    for (const auto format : {CameraFrame::PixelFormat::yuyv422, CameraFrame::PixelFormat::i420}) {
        SCOPED_TRACE(format == CameraFrame::PixelFormat::yuyv422 ? "yuyv422" : "i420");
        CameraPreviewFeed feed;
        ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
        QSignalSpy painted(controller_.view(), &CameraPreviewView::framePainted);
        const double captureTime = monotonicSeconds();
        feed.publish(makeFrame(format, 640, 480, quadrants(640, 480), captureTime));
        ASSERT_TRUE(waitForPainted(painted, captureTime));

        const QImage screen = onScreen();
        ASSERT_EQ(screen.size(), QSize(520, 340));
        EXPECT_EQ(colourName(screen.pixel(130, 85)), u"blue"_s);
        EXPECT_EQ(colourName(screen.pixel(390, 85)), u"red"_s);
        EXPECT_EQ(colourName(screen.pixel(130, 255)), u"white"_s);
        EXPECT_EQ(colourName(screen.pixel(390, 255)), u"green"_s);
        // The widget paints the same when asked directly.
        const QImage painting = controller_.view()->grab().toImage();
        EXPECT_EQ(colourName(painting.pixel(20, 20)), u"blue"_s);
        EXPECT_EQ(colourName(painting.pixel(500, 20)), u"red"_s);
        controller_.hide();
    }
}

TEST_F(WrapUpPreviewTest, PictureCoversTheWholeViewCroppingTheCentredOverflow)
{
    // A 4:3 picture is cut at the top and bottom, a 16:9 one at the sides (by 30 and 89 source pixels): white
    // bands inside those margins must be cut off, and no black bar may remain.
    struct Case {
        int width, height;
        Pattern pattern;
    };
    const std::vector<Case> cases = {
        {640, 480,
         [](int, int y) {
             return y < 20 || y >= 460 ? white : green;
         }},
        {1280, 720,
         [](int x, int) {
             return x < 60 || x >= 1220 ? white : green;
         }},
    };
    for (const auto format : {CameraFrame::PixelFormat::yuyv422, CameraFrame::PixelFormat::i420})
        for (const Case& picture : cases) {
            SCOPED_TRACE(picture.width);
            CameraPreviewFeed feed;
            ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
            QSignalSpy painted(controller_.view(), &CameraPreviewView::framePainted);
            const double captureTime = monotonicSeconds();
            feed.publish(makeFrame(format, picture.width, picture.height, picture.pattern, captureTime));
            ASSERT_TRUE(waitForPainted(painted, captureTime));

            const QImage screen = onScreen();
            ASSERT_EQ(screen.size(), QSize(520, 340));
            const std::map<QString, int> counts = colourCounts(screen);
            EXPECT_EQ(counts.size(), 1u) << "first colour: " << counts.begin()->first.toStdString();
            EXPECT_EQ(counts.begin()->first, u"green"_s);
            // And the edge pixels themselves.
            for (const QPoint corner : {QPoint(0, 0), QPoint(519, 0), QPoint(0, 339), QPoint(519, 339)})
                EXPECT_EQ(colourName(screen.pixel(corner)), u"green"_s) << corner.x() << "," << corner.y();
            controller_.hide();
        }
}

TEST_F(WrapUpPreviewTest, BlackWithoutAPictureAndNothingLeftOverFromAnEarlierFeed)
{
    CameraPreviewFeed empty;
    ASSERT_NO_FATAL_FAILURE(showAndWait(empty));
    EXPECT_EQ(colourCounts(onScreen()), (std::map<QString, int>{{u"black"_s, 130 * 85}}));

    CameraPreviewFeed earlier;
    const double captureTime = monotonicSeconds();
    earlier.publish(makeFrame(CameraFrame::PixelFormat::yuyv422, 640, 480, uniform(red), captureTime));
    QSignalSpy painted(controller_.view(), &CameraPreviewView::framePainted);
    controller_.show(earlier);
    ASSERT_TRUE(waitForPainted(painted, captureTime));
    EXPECT_EQ(colourName(onScreen().pixel(260, 170)), u"red"_s);

    controller_.hide();
    CameraPreviewFeed later;
    ASSERT_NO_FATAL_FAILURE(showAndWait(later));
    QTest::qWait(100);
    EXPECT_EQ(colourCounts(onScreen()), (std::map<QString, int>{{u"black"_s, 130 * 85}}));
}

TEST_F(WrapUpPreviewTest, ShownAgainWithAnotherFeedItShowsThatFeedOnly)
{
    CameraPreviewFeed first;
    ASSERT_NO_FATAL_FAILURE(showAndWait(first));
    QSignalSpy painted(controller_.view(), &CameraPreviewView::framePainted);
    const double firstTime = monotonicSeconds();
    first.publish(makeFrame(CameraFrame::PixelFormat::i420, 640, 480, uniform(red), firstTime));
    ASSERT_TRUE(waitForPainted(painted, firstTime));

    controller_.hide();
    EXPECT_EQ(controller_.view()->feed(), nullptr);
    CameraPreviewFeed second;
    const double secondTime = monotonicSeconds();
    second.publish(makeFrame(CameraFrame::PixelFormat::yuyv422, 320, 240, uniform(blue), secondTime));
    ASSERT_NO_FATAL_FAILURE(showAndWait(second));
    ASSERT_TRUE(waitForPainted(painted, secondTime));
    EXPECT_EQ(colourName(onScreen().pixel(260, 170)), u"blue"_s);

    // The first feed goes on (another note's camera, say): the window does not follow it any more.
    const int paintedSoFar = static_cast<int>(painted.count());
    first.publish(makeFrame(CameraFrame::PixelFormat::i420, 640, 480, uniform(green), monotonicSeconds()));
    QTest::qWait(200);
    EXPECT_EQ(painted.count(), paintedSoFar);
    EXPECT_EQ(colourName(onScreen().pixel(260, 170)), u"blue"_s);
}

TEST_F(WrapUpPreviewTest, ClosingTheWindowOnlyHidesItAndStopsFollowingTheFeed)
{
    CameraPreviewFeed feed;
    const double captureTime = monotonicSeconds();
    feed.publish(makeFrame(CameraFrame::PixelFormat::yuyv422, 640, 480, uniform(green), captureTime));
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    QWidget* window = controller_.window();
    QSignalSpy closed(&controller_, &WrapUpPreviewWindowController::closedByUser);

    EXPECT_TRUE(window->close());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(controller_.isShown());
    EXPECT_EQ(controller_.view()->feed(), nullptr);

    QSignalSpy painted(controller_.view(), &CameraPreviewView::framePainted);
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    EXPECT_EQ(controller_.window(), window);
    // Qt replaces the X window of a closed one: the new one is asked for every workspace too.
    expectAboveOnAllWorkspaces(X11View(), windowId());
    ASSERT_TRUE(waitForPainted(painted, captureTime));
    EXPECT_EQ(colourName(onScreen().pixel(260, 170)), u"green"_s);
}

TEST_F(WrapUpPreviewTest, AFastCameraReachesTheViewAtMostThirtyTimesASecondEndingWithItsLastFrame)
{
    CameraPreviewFeed feed;
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    std::vector<double> deliveries;
    QObject::connect(&feed, &CameraPreviewFeed::frameReady, &feed,
                     [&deliveries] { deliveries.push_back(monotonicSeconds()); });
    std::vector<std::pair<double, double>> paints; // capture time, paint time
    QObject::connect(controller_.view(), &CameraPreviewView::framePainted, controller_.view(),
                     [&paints](double captureTime) { paints.emplace_back(captureTime, monotonicSeconds()); });

    const CameraFrame redFrame = makeFrame(CameraFrame::PixelFormat::yuyv422, 640, 480, uniform(red));
    const CameraFrame blueFrame = makeFrame(CameraFrame::PixelFormat::yuyv422, 640, 480, uniform(blue));
    constexpr int frameCount = 120;
    std::atomic<bool> done = false;
    double firstPublished = 0;
    double lastPublished = 0;
    std::thread camera([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int index = 0; index < frameCount; ++index) {
            std::this_thread::sleep_until(start + index * std::chrono::microseconds(1'000'000 / frameCount));
            CameraFrame frame = index == frameCount - 1 ? blueFrame : redFrame;
            frame.captureTimeSeconds = monotonicSeconds();
            if (index == 0)
                firstPublished = frame.captureTimeSeconds;
            lastPublished = frame.captureTimeSeconds;
            feed.publish(frame);
        }
        done = true;
    });
    const bool finished = waitUntil([&] { return done.load(); }, 10000);
    camera.join();
    ASSERT_TRUE(finished);

    // The last frame is the one finally shown.
    ASSERT_TRUE(waitUntil([&] { return !paints.empty() && paints.back().first == lastPublished; }))
        << "last painted frame was captured " << (paints.empty() ? 0 : lastPublished - paints.back().first)
        << " s before the last one";
    EXPECT_EQ(colourName(onScreen().pixel(260, 170)), u"blue"_s);

    // At least a thirtieth of a second between deliveries: at most one per started thirtieth while the camera
    // published, and one more for the last frame (31 for the second of 120 frames).
    const int allowed = 2 + static_cast<int>(std::floor((lastPublished - firstPublished) * 30));
    EXPECT_LE(static_cast<int>(deliveries.size()), allowed)
        << "published over " << lastPublished - firstPublished << " s";
    EXPECT_GE(static_cast<int>(deliveries.size()), std::max(2, static_cast<int>(10 / test::timingScale())));
    for (std::size_t index = 1; index < deliveries.size(); ++index)
        EXPECT_GE(deliveries[index] - deliveries[index - 1], 1.0 / 30 - 0.010) << "delivery " << index;

    std::vector<double> latencies;
    for (const auto& [captureTime, paintTime] : paints)
        latencies.push_back(paintTime - captureTime);
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies[latencies.size() / 2];
    std::cout << "frameReady " << deliveries.size() << " times for " << frameCount << " frames in "
              << lastPublished - firstPublished << " s; capture to paint: median " << median * 1000
              << " ms, longest " << latencies.back() * 1000 << " ms\n";
    EXPECT_LT(median, 0.2 * test::timingScale());
}

TEST_F(WrapUpPreviewTest, ConvertingAndPaintingA720pFrameIsCheap)
{
    CameraPreviewFeed feed;
    ASSERT_NO_FATAL_FAILURE(showAndWait(feed));
    CameraPreviewView* view = controller_.view();
    for (const auto format : {CameraFrame::PixelFormat::yuyv422, CameraFrame::PixelFormat::i420}) {
        const CameraFrame frame = makeFrame(format, 1280, 720, quadrants(1280, 720));
        view->showFrame(frame);
        view->repaint(); // the buffers are made once
        // Medians of single rounds, so that a moment of a busy machine does not count.
        constexpr int rounds = 101;
        const auto medianMilliseconds = [&](const std::function<void()>& round) {
            std::vector<double> times;
            QElapsedTimer timer;
            for (int index = 0; index < rounds; ++index) {
                timer.start();
                round();
                times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
            }
            std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
            return times[rounds / 2];
        };
        const double perFrame = medianMilliseconds([&] {
            view->showFrame(frame);
            view->repaint();
        });
        const double perRepaint = medianMilliseconds([&] { view->repaint(); });
        std::cout << (format == CameraFrame::PixelFormat::yuyv422 ? "yuyv422" : "i420")
                  << " 1280x720 into 520x340: convert and paint " << perFrame
                  << " ms per frame, repaint of the same " << perRepaint << " ms\n";
        EXPECT_LT(perFrame, 20 * test::timingScale());
        EXPECT_LT(perRepaint, perFrame) << "a repaint without a new frame converts nothing";
        EXPECT_EQ(colourName(onScreen().pixel(390, 85)), u"red"_s);
    }
}

// Whether a window can be shown is decided per process: a run without a QApplication, or on a platform
// without a screen, refuses with the reason (each checked in a process of its own).
TEST(WrapUpPreviewDisplay, RefusedWithoutADisplayToShowItOn)
{
    struct Case {
        QString mode;
        QString platform;
        QString expected;
    };
    const std::vector<Case> cases = {
        {u"core"_s, QString(), u"refused: No display to show the wrap-up preview on.\n"_s},
        {u"gui"_s, u"offscreen"_s,
         u"refused: No display to show the wrap-up preview on (the Qt platform \"offscreen\" shows no windows).\n"_s},
        {u"gui"_s, u"minimal"_s,
         u"refused: No display to show the wrap-up preview on (the Qt platform \"minimal\" shows no windows).\n"_s},
    };
    for (const Case& run : cases) {
        SCOPED_TRACE(run.platform.isEmpty() ? run.mode.toStdString() : run.platform.toStdString());
        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!run.platform.isEmpty())
            environment.insert(u"QT_QPA_PLATFORM"_s, run.platform);
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(EBBCAST_WRAPUP_PREVIEW_PROBE), {run.mode});
        ASSERT_TRUE(probe.waitForFinished(30000));
        EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(probe.exitCode(), 2) << probe.readAllStandardError().toStdString();
        EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()), run.expected);
    }
}

TEST(WrapUpPreviewDisplay, ShownOnAnXDisplay)
{
    if (!test::onXDisplay())
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    EXPECT_EQ(WrapUpPreviewWindowController::displayUnavailableReason(), std::nullopt);
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(EBBCAST_WRAPUP_PREVIEW_PROBE), {u"gui"_s});
    ASSERT_TRUE(probe.waitForFinished(30000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()), u"shown\n"_s);
}

} // namespace
} // namespace ebbcast
