#pragma once

// Helpers of the tests of the shell's windows on the test X display: waiting, the X server's view of a
// window, the pointer driven through xdotool (real X input, as a user's), counting paints, and screenshots
// kept under build/test-artifacts/ui/.

#include "capture/linux/XcbHandles.h"
#include "support/TimingScale.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QObject>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QStringList>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace ebbcast::test {

// Whether the tests run on an X display (scripts/test.sh runs Xvfb), where windows can be shown and seen.
inline bool onXDisplay()
{
    return QGuiApplication::platformName() == QStringLiteral("xcb");
}

inline bool waitUntil(const std::function<bool()>& condition, int milliseconds = 5000)
{
    QElapsedTimer timer;
    timer.start();
    const double limit = milliseconds * timingScale();
    while (!condition()) {
        if (timer.elapsed() > limit)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// The X server as a window manager or a user sees it, over Qt's own connection.
class X11View {
public:
    X11View()
        : connection_(qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection())
    {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }

    xcb_connection_t* connection() const { return connection_; }
    xcb_window_t root() const { return root_; }

    xcb_atom_t atom(const char* name) const
    {
        const auto reply = ownedReply(xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr));
        return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }

    QString atomName(xcb_atom_t atom) const
    {
        const auto reply =
            ownedReply(xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr));
        return reply ? QString::fromLatin1(xcb_get_atom_name_name(reply.get()),
                                           xcb_get_atom_name_name_length(reply.get()))
                     : QString();
    }

    // A property of 32-bit values (atoms, cardinals, windows); empty when missing.
    std::vector<std::uint32_t> values(xcb_window_t window, const char* property) const
    {
        const auto reply = ownedReply(xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, atom(property), XCB_ATOM_ANY, 0, 1024),
            nullptr));
        if (!reply || reply->format != 32)
            return {};
        const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
        return {data, data + xcb_get_property_value_length(reply.get()) / 4};
    }

    // The names of the atoms a property lists (_NET_WM_STATE, _NET_WM_WINDOW_TYPE).
    QStringList atomNames(xcb_window_t window, const char* property) const
    {
        QStringList names;
        for (std::uint32_t value : values(window, property))
            names.append(atomName(value));
        return names;
    }

    // A window manager names a window of its own on the root, which names itself (EWMH); one that has gone
    // leaves the root's property behind, naming a window that is gone.
    bool windowManagerRuns() const
    {
        const std::vector<std::uint32_t> check = values(root_, "_NET_SUPPORTING_WM_CHECK");
        return check.size() == 1 && values(check[0], "_NET_SUPPORTING_WM_CHECK") == check;
    }

    // Whether the window manager, if one runs, keeps this hint; without one the window keeps what was set.
    bool kept(const char* hint) const
    {
        if (!windowManagerRuns())
            return true;
        const std::vector<std::uint32_t> supported = values(root_, "_NET_SUPPORTED");
        return std::find(supported.begin(), supported.end(), atom(hint)) != supported.end();
    }

    // The window's inside on the screen, in the X server's (device) pixels.
    QRect contentOnScreen(xcb_window_t window) const
    {
        const auto geometry =
            ownedReply(xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr));
        const auto origin = ownedReply(xcb_translate_coordinates_reply(
            connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr));
        if (!geometry || !origin)
            return {};
        return {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
    }

    bool isViewable(xcb_window_t window) const
    {
        const auto attributes = ownedReply(xcb_get_window_attributes_reply(
            connection_, xcb_get_window_attributes(connection_, window), nullptr));
        return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    // The child of the root that holds the window (the window itself, or a window manager's frame).
    xcb_window_t topLevel(xcb_window_t window) const
    {
        for (;;) {
            const auto tree =
                ownedReply(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
            if (!tree || tree->parent == root_ || tree->parent == XCB_WINDOW_NONE)
                return window;
            window = tree->parent;
        }
    }

    // Whether one window is stacked above another (their top-level windows, that is).
    bool isAbove(xcb_window_t upper, xcb_window_t lower) const
    {
        const auto tree =
            ownedReply(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
        if (!tree)
            return false;
        const xcb_window_t* children = xcb_query_tree_children(tree.get()); // bottom to top
        const xcb_window_t* end = children + xcb_query_tree_children_length(tree.get());
        const xcb_window_t* upperPlace = std::find(children, end, topLevel(upper));
        return upperPlace != end && upperPlace > std::find(children, end, topLevel(lower));
    }

    // What the screen shows (the root window's pixels), device pixels.
    static QImage screenPixels() { return QGuiApplication::primaryScreen()->grabWindow(0).toImage(); }

    // What the screen shows of a window (its inside, without a window manager's frame), device pixels.
    static QImage windowPixels(WId window)
    {
        return QGuiApplication::primaryScreen()->grabWindow(window).toImage();
    }

private:
    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_WINDOW_NONE;
};

// Runs xdotool with the arguments (real pointer and key events through XTEST); true when it succeeded.
inline bool xdotool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(10000))
        return false;
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Clicks the left button at a point of the screen (device pixels), letting Qt see each step.
inline bool clickAt(QPoint point)
{
    const bool done = xdotool({QStringLiteral("mousemove"), QString::number(point.x()),
                               QString::number(point.y()), QStringLiteral("click"), QStringLiteral("1")});
    QTest::qWait(50);
    return done;
}

// The folder build/test-artifacts/ui/ (beside the tests' folder), made if missing: screenshots for people
// to look at.
inline QString artifactsFolder()
{
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/../test-artifacts/ui");
    QDir().mkpath(folder);
    return folder;
}

// Keeps a screenshot, NAME.png, in the artifacts folder.
inline QString saveScreenshot(const QImage& image, const QString& name)
{
    const QString path = QDir(artifactsFolder()).absoluteFilePath(name + QStringLiteral(".png"));
    EXPECT_TRUE(image.save(path)) << path.toStdString();
    return path;
}

// Counts the paint events of the widget it filters.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// How many different colours the picture has (on a grid of `step` pixels), and whether it has at least
// `colours` of them with some other than `background`: a picture of something, not a blank area.
inline int colourCount(const QImage& image, int step = 2)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += step)
        for (int x = 0; x < image.width(); x += step)
            colours.insert(image.pixel(x, y) | 0xff000000u);
    return static_cast<int>(colours.size());
}

inline bool showsSomething(const QImage& image, QRgb background, int colours = 3)
{
    if (image.isNull() || colourCount(image) < colours)
        return false;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            if ((image.pixel(x, y) | 0xff000000u) != (background | 0xff000000u))
                return true;
    return false;
}

} // namespace ebbcast::test
