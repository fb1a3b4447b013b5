// The tray menu as desktops drive it, against the probe (tests/app/TrayProbe.cpp) in a process of its own on
// a private X display and session bus: under an XEmbed tray (trayer), clicked and keyed through XTEST as a
// user does, and as a StatusNotifierItem whose menu a panel reads and runs over com.canonical.dbusmenu.

#include "capture/linux/XcbHandles.h"
#include "shell/NotificationBus.h"
#include "support/PrivateServers.h"
#include "support/ShellWindowTesting.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QImage>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <signal.h>
#include <xcb/xcb.h>

#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// Generous: a cold, loaded 2-core machine starts a Qt program, python and its D-Bus modules in seconds.
// (waitUntil scales it by the timing scale itself.)
constexpr int generous = 30000;

int patience()
{
    return static_cast<int>(generous * timingScale());
}

::testing::AssertionResult installed(const QStringList& programs)
{
    for (const QString& program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return ::testing::AssertionFailure()
                   << program.toStdString()
                   << " is missing: scripts/install-dependencies.sh --test installs it "
                      "(scripts/debian-packages-test.txt)";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult pythonDBusInstalled()
{
    QProcess python;
    python.start(
        u"/usr/bin/python3"_s,
        {u"-c"_s, u"import dbus, dbus.service, dbus.mainloop.glib; from gi.repository import GLib"_s});
    if (python.waitForFinished(patience()) && python.exitStatus() == QProcess::NormalExit &&
        python.exitCode() == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "/usr/bin/python3 with the dbus and gi modules is missing (python3-dbus, python3-gi: "
              "scripts/install-dependencies.sh --test installs them): "
           << python.readAllStandardError().toStdString();
}

// xdotool on the private display: its standard output, or nothing when it failed.
std::optional<QString> xdotoolOn(const QString& display, const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, display);
    process.setProcessEnvironment(environment);
    process.start(u"xdotool"_s, arguments);
    if (!process.waitForFinished(patience()) || process.exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    // "search" exits 1 when it finds nothing: an empty answer, not a failure.
    if (process.exitCode() != 0 && arguments.value(0) != u"search"_s)
        return std::nullopt;
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// The windows xdotool finds on the display (search arguments), mapped ones only.
QList<xcb_window_t> visibleWindows(const QString& display, const QStringList& search)
{
    QList<xcb_window_t> windows;
    const std::optional<QString> found =
        xdotoolOn(display, QStringList{u"search"_s, u"--onlyvisible"_s} + search);
    for (const QString& id : found.value_or(QString()).split(u'\n', Qt::SkipEmptyParts))
        windows.append(id.toUInt());
    return windows;
}

// The private display as the X server sees it, over a connection of the test's own.
class DisplayView {
public:
    explicit DisplayView(const QString& display)
        : connection_(xcb_connect(display.toLocal8Bit().constData(), nullptr))
    {
        if (!xcb_connection_has_error(connection_.get()))
            root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_.get())).data->root;
    }

    bool isOpen() const { return root_ != XCB_WINDOW_NONE; }

    // The owner of a selection (the tray manager's _NET_SYSTEM_TRAY_S0), or none.
    xcb_window_t selectionOwner(const char* selection) const
    {
        const auto reply = ownedReply(xcb_get_selection_owner_reply(
            connection_.get(),
            xcb_get_selection_owner(connection_.get(), internAtom(connection_.get(), selection, false)),
            nullptr));
        return reply ? reply->owner : static_cast<xcb_window_t>(XCB_WINDOW_NONE);
    }

    bool isViewable(xcb_window_t window) const
    {
        const auto attributes = this->attributes(window);
        return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    // A window the window manager leaves alone, as a popup menu is.
    bool isOverrideRedirect(xcb_window_t window) const
    {
        const auto attributes = this->attributes(window);
        return attributes && attributes->override_redirect;
    }

    // The window's place on the screen.
    QRect geometry(xcb_window_t window) const
    {
        const auto size = ownedReply(
            xcb_get_geometry_reply(connection_.get(), xcb_get_geometry(connection_.get(), window), nullptr));
        const auto origin = ownedReply(xcb_translate_coordinates_reply(
            connection_.get(), xcb_translate_coordinates(connection_.get(), window, root_, 0, 0), nullptr));
        if (!size || !origin)
            return {};
        return {origin->dst_x, origin->dst_y, size->width, size->height};
    }

    // The child of the root that holds the window: the window itself, or the tray that embeds it.
    xcb_window_t topLevel(xcb_window_t window) const
    {
        for (;;) {
            const auto tree = ownedReply(
                xcb_query_tree_reply(connection_.get(), xcb_query_tree(connection_.get(), window), nullptr));
            if (!tree || tree->parent == root_ || tree->parent == XCB_WINDOW_NONE)
                return window;
            window = tree->parent;
        }
    }

    // WM_CLASS: the instance and class names.
    QStringList windowClass(xcb_window_t window) const
    {
        const auto reply = ownedReply(xcb_get_property_reply(
            connection_.get(),
            xcb_get_property(connection_.get(), 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
            nullptr));
        if (!reply || reply->format != 8)
            return {};
        const QByteArray value(static_cast<const char*>(xcb_get_property_value(reply.get())),
                               xcb_get_property_value_length(reply.get()));
        return QString::fromLatin1(value).split(QChar(0), Qt::SkipEmptyParts);
    }

    // What the screen shows in `area` (a 24-bit screen's pixels).
    QImage grab(const QRect& area) const
    {
        const auto reply = ownedReply(xcb_get_image_reply(
            connection_.get(),
            xcb_get_image(connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, root_,
                          static_cast<std::int16_t>(area.x()), static_cast<std::int16_t>(area.y()),
                          static_cast<std::uint16_t>(area.width()), static_cast<std::uint16_t>(area.height()),
                          ~0u),
            nullptr));
        if (!reply || reply->depth != 24 ||
            xcb_get_image_data_length(reply.get()) != area.width() * area.height() * 4)
            return {};
        return QImage(xcb_get_image_data(reply.get()), area.width(), area.height(), area.width() * 4,
                      QImage::Format_RGB32)
            .copy();
    }

    QRect screen() const
    {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_.get())).data;
        return {0, 0, screen->width_in_pixels, screen->height_in_pixels};
    }

private:
    XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_window_t window) const
    {
        return ownedReply(xcb_get_window_attributes_reply(
            connection_.get(), xcb_get_window_attributes(connection_.get(), window), nullptr));
    }

    XcbConnection connection_;
    xcb_window_t root_ = XCB_WINDOW_NONE;
};

// ebbcast_tray_probe on the display and bus given, read line by line; ended with SIGTERM (then SIGKILL) when
// the test is over, however it ends.
class TrayProbe {
public:
    TrayProbe(const QString& display, const QString& busAddress)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, display);
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress);
        environment.remove(u"QT_SCALE_FACTOR"_s);
        process_.setProcessEnvironment(environment);
        process_.start(QStringLiteral(EBBCAST_TRAY_PROBE), {});
    }
    ~TrayProbe() { stopProcess(process_); }

    TrayProbe(const TrayProbe&) = delete;
    TrayProbe& operator=(const TrayProbe&) = delete;

    // Waits until the probe printed `line` (`count` times), gives up when it ends first.
    bool waitForLine(const QString& line, qsizetype count = 1)
    {
        QDeadlineTimer deadline(patience());
        for (;;) {
            read();
            if (lines_.count(line) >= count)
                return true;
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
                return false;
            process_.waitForReadyRead(50);
        }
    }

    const QStringList& lines()
    {
        read();
        return lines_;
    }

    // What it printed so far, for a failure's message.
    std::string transcript()
    {
        read();
        const QString text =
            u"standard output:\n"_s + lines_.join(u'\n') + u"\nstandard error:\n"_s + errors_;
        return text.toStdString();
    }

    // Ends it with SIGTERM: its exit code, or -1 when it did not end by itself in time.
    int terminate()
    {
        if (process_.state() != QProcess::Running)
            return -1;
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(patience()) || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        read();
        return process_.exitCode();
    }

private:
    void read()
    {
        partial_ += process_.readAllStandardOutput();
        errors_ += QString::fromLocal8Bit(process_.readAllStandardError());
        qsizetype end = 0;
        while ((end = partial_.indexOf('\n')) >= 0) {
            lines_.append(QString::fromLocal8Bit(partial_.left(end)));
            partial_.remove(0, end + 1);
        }
    }

    QProcess process_;
    QByteArray partial_;
    QStringList lines_;
    QString errors_;
};

// The dashboard window ("Ebbcast") is on the display.
bool dashboardMapped(const QString& display, const DisplayView& view)
{
    return waitUntil(
        [&] {
            for (const xcb_window_t window : visibleWindows(display, {u"--name"_s, u"^Ebbcast$"_s}))
                if (view.isViewable(window) && view.geometry(window).width() >= 400)
                    return true;
            return false;
        },
        generous);
}

// Under an XEmbed tray: a private display with trayer on its top edge and the probe's icon embedded in it.
// The private bus has no StatusNotifierWatcher, so the icon takes the XEmbed way.
class XEmbedTrayMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(installed({u"Xvfb"_s, u"xdpyinfo"_s, u"trayer"_s, u"xdotool"_s, u"dbus-daemon"_s}));
        display_.emplace(u"1280x1024x24"_s); // the dashboard (760 × 680) fits below the tray
        bus_.emplace();
        view_.emplace(display_->name());
        ASSERT_TRUE(view_->isOpen());

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, display_->name());
        tray_.setProcessEnvironment(environment);
        tray_.setStandardOutputFile(QProcess::nullDevice());
        tray_.setStandardErrorFile(QProcess::nullDevice());
        tray_.start(u"trayer"_s, {u"--edge"_s, u"top"_s, u"--SetDockType"_s, u"true"_s});
        ASSERT_TRUE(tray_.waitForStarted(patience()));
        // Once trayer manages the tray, an icon shown then is embedded at once.
        ASSERT_TRUE(waitUntil([&] { return view_->selectionOwner("_NET_SYSTEM_TRAY_S0") != XCB_WINDOW_NONE; },
                              generous))
            << "trayer took no tray selection";

        probe_.emplace(display_->name(), bus_->address());
        ASSERT_TRUE(probe_->waitForLine(u"ready"_s)) << probe_->transcript();
        // The icon: a window of the probe inside trayer's panel.
        ASSERT_TRUE(waitUntil(
            [&] {
                for (const xcb_window_t window :
                     visibleWindows(display_->name(), {u"--classname"_s, u"ebbcast"_s})) {
                    const xcb_window_t holder = view_->topLevel(window);
                    if (holder != window && view_->windowClass(holder).contains(u"trayer"_s)) {
                        icon_ = window;
                        return true;
                    }
                }
                return false;
            },
            generous))
            << "the icon was not embedded in the tray\n"
            << probe_->transcript();
    }

    void TearDown() override
    {
        // Stopped first, then the tray and the display it was on.
        probe_.reset();
        stopProcess(tray_);
    }

    // Clicks the icon with a button (1 left, 3 right), through XTEST.
    void clickIcon(int button) const
    {
        ASSERT_TRUE(xdotoolOn(display_->name(), {u"mousemove"_s, u"--window"_s, QString::number(icon_),
                                                 u"10"_s, u"10"_s, u"click"_s, QString::number(button)}));
    }

    std::optional<PrivateDisplay> display_;
    std::optional<PrivateBus> bus_;
    std::optional<DisplayView> view_;
    QProcess tray_;
    std::optional<TrayProbe> probe_;
    xcb_window_t icon_ = XCB_WINDOW_NONE;
};

TEST_F(XEmbedTrayMenuTest, ARightClickOpensTheWholeMenuAndOpenEbbcastShowsTheDashboard)
{
    const QRect iconArea = view_->geometry(icon_);
    EXPECT_TRUE(view_->isViewable(icon_));
    // The idle symbol is drawn on the tray.
    EXPECT_TRUE(waitUntil([&] { return colourCount(view_->grab(iconArea), 1) >= 3; }, generous))
        << colourCount(view_->grab(iconArea), 1) << " colours where the icon is";
    EXPECT_TRUE(view_->geometry(view_->topLevel(icon_)).contains(iconArea))
        << "the icon lies inside the tray";

    clickIcon(3);
    ASSERT_TRUE(probe_->waitForLine(u"menu.aboutToShow"_s)) << probe_->transcript();
    // The menu: a popup window of the probe's, beside the icon.
    xcb_window_t menu = XCB_WINDOW_NONE;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const xcb_window_t window :
                 visibleWindows(display_->name(), {u"--classname"_s, u"ebbcast"_s}))
                if (window != icon_ && view_->isOverrideRedirect(window) && view_->isViewable(window))
                    menu = window;
            return menu != XCB_WINDOW_NONE;
        },
        generous))
        << probe_->transcript();
    const QRect menuArea = view_->geometry(menu);
    // The controller's fourteen items shown in idle, not the icon's first menu of three.
    EXPECT_GE(menuArea.height(), 200) << "menu " << menuArea.width() << "x" << menuArea.height();
    EXPECT_LE(menuArea.top(), iconArea.bottom() + 40) << "the menu opens at the icon";

    // Drawn: text and lines in many shades, not an unpainted area.
    QImage drawn;
    EXPECT_TRUE(waitUntil(
        [&] {
            drawn = view_->grab(menuArea);
            return colourCount(drawn) >= 8;
        },
        generous))
        << colourCount(drawn) << " colours in the menu";
    const QRect trayAndMenu = view_->geometry(view_->topLevel(icon_)).united(menuArea).adjusted(0, 0, 16, 16);
    const QImage screenshot = view_->grab(trayAndMenu.intersected(view_->screen()));
    ASSERT_FALSE(screenshot.isNull());
    saveScreenshot(screenshot, u"tray-menu-xembed"_s);

    // Down goes to the first enabled item, "Open Ebbcast" (the title above it is disabled).
    ASSERT_TRUE(xdotoolOn(display_->name(), {u"key"_s, u"Down"_s, u"Return"_s}));
    ASSERT_TRUE(probe_->waitForLine(u"dashboard shown"_s)) << probe_->transcript();
    const QStringList said = probe_->lines();
    EXPECT_TRUE(said.contains(u"menu.showDashboard"_s)) << probe_->transcript();
    EXPECT_FALSE(said.contains(u"tray.open"_s)) << "the menu item, not a click on the icon, showed it";
    EXPECT_TRUE(dashboardMapped(display_->name(), *view_));
    EXPECT_TRUE(waitUntil([&] { return !view_->isViewable(menu); }, generous)) << "the menu closed";
    EXPECT_TRUE(view_->isViewable(icon_));
}

TEST_F(XEmbedTrayMenuTest, ALeftClickShowsTheDashboardWithoutTheMenuAndSigtermEndsCleanly)
{
    clickIcon(1);
    ASSERT_TRUE(probe_->waitForLine(u"dashboard shown"_s)) << probe_->transcript();
    EXPECT_TRUE(probe_->lines().contains(u"tray.open"_s));
    EXPECT_TRUE(dashboardMapped(display_->name(), *view_));
    EXPECT_FALSE(probe_->lines().contains(u"menu.aboutToShow"_s)) << "the left button opens no menu";

    EXPECT_EQ(probe_->terminate(), 0) << probe_->transcript();
}

// An item of a com.canonical.dbusmenu layout: (ia{sv}av).
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;

    bool isSeparator() const { return properties.value(u"type"_s).toString() == u"separator"_s; }
    QString label() const { return properties.value(u"label"_s).toString(); }
    // "enabled" and "visible" are true when left out.
    bool flag(const QString& name) const { return properties.value(name, true).toBool(); }
    // The key combination: one list of key names per step.
    QList<QStringList> shortcut() const
    {
        QList<QStringList> steps;
        if (!properties.contains(u"shortcut"_s))
            return steps;
        const auto argument = qvariant_cast<QDBusArgument>(properties.value(u"shortcut"_s));
        argument.beginArray();
        while (!argument.atEnd()) {
            QStringList keys;
            argument >> keys;
            steps.append(keys);
        }
        argument.endArray();
        return steps;
    }
    const MenuNode* child(const QString& childLabel) const
    {
        for (const MenuNode& node : children)
            if (node.label() == childLabel)
                return &node;
        return nullptr;
    }
};

MenuNode readMenuNode(const QDBusArgument& argument)
{
    MenuNode node;
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        node.children.append(readMenuNode(qvariant_cast<QDBusArgument>(child.variant())));
    }
    argument.endArray();
    argument.endStructure();
    return node;
}

// A desktop panel's side of the StatusNotifierItem protocol: the watcher stand-in on a private bus, started
// before the probe (Qt looks for a host once, when the icon is made), and the probe's item and menu as the
// panel reads them over that bus.
class StatusNotifierTrayMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(installed({u"Xvfb"_s, u"xdpyinfo"_s, u"xdotool"_s, u"dbus-daemon"_s}));
        ASSERT_TRUE(pythonDBusInstalled());
        display_.emplace(u"1280x1024x24"_s);
        bus_.emplace();
        view_.emplace(display_->name());
        ASSERT_TRUE(view_->isOpen());
        watcher_.emplace(*bus_, u"org.kde.StatusNotifierWatcher"_s,
                         QStringList{QStringLiteral(EBBCAST_STATUS_NOTIFIER_WATCHER), u"--address"_s,
                                     bus_->address(), u"--record"_s, record_},
                         folder_.file(u"watcher.log"_s));
        probe_.emplace(display_->name(), bus_->address());
        ASSERT_TRUE(probe_->waitForLine(u"ready"_s)) << probe_->transcript();

        // The item registers itself with the watcher: its bus name, and the path of its object there.
        ASSERT_TRUE(waitUntil(
            [&] {
                for (const QJsonObject& entry : readRecord(record_))
                    if (entry.value(u"event"_s).toString() == u"item"_s) {
                        service_ = entry.value(u"service"_s).toString();
                        itemPath_ = entry.value(u"path"_s).toString();
                    }
                return !service_.isEmpty();
            },
            generous))
            << "no StatusNotifierItem registered\n"
            << probe_->transcript();
    }

    void TearDown() override
    {
        probe_.reset();
        watcher_.reset();
    }

    // Calls a method of the probe's; the reply's arguments (empty on an error, which fails the test).
    QList<QVariant> call(const QString& path, const QString& interface, const QString& method,
                         const QList<QVariant>& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service_, path, interface, method);
        message.setArguments(arguments);
        const QDBusMessage reply = bus_->connection().call(message, QDBus::Block, patience());
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << method.toStdString() << ": " << reply.errorMessage().toStdString();
        return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments() : QList<QVariant>();
    }

    QString menuPath()
    {
        const QList<QVariant> reply = call(itemPath_, u"org.freedesktop.DBus.Properties"_s, u"Get"_s,
                                           {u"org.kde.StatusNotifierItem"_s, u"Menu"_s});
        if (reply.isEmpty())
            return {};
        return qvariant_cast<QDBusObjectPath>(qvariant_cast<QDBusVariant>(reply.first()).variant()).path();
    }

    // The whole menu, as a panel reads it to show it.
    MenuNode layout(const QString& menu)
    {
        const QList<QVariant> reply =
            call(menu, u"com.canonical.dbusmenu"_s, u"GetLayout"_s, {0, -1, QStringList()});
        if (reply.size() < 2)
            return {};
        return readMenuNode(qvariant_cast<QDBusArgument>(reply.at(1)));
    }

    TemporaryFolder folder_;
    QString record_ = folder_.file(u"watcher.jsonl"_s);
    std::optional<PrivateDisplay> display_;
    std::optional<PrivateBus> bus_;
    std::optional<DisplayView> view_;
    std::optional<StandInService> watcher_;
    std::optional<TrayProbe> probe_;
    QString service_;
    QString itemPath_;
};

TEST_F(StatusNotifierTrayMenuTest, APanelReadsTheMenuWithItsIdleStatesAndRunsStartRecordingAndOpen)
{
    const QString menu = menuPath();
    ASSERT_FALSE(menu.isEmpty());
    // A panel announces that it opens the menu: the controller updates its items for it.
    const qsizetype opened = probe_->lines().count(u"menu.aboutToShow"_s);
    call(menu, u"com.canonical.dbusmenu"_s, u"AboutToShow"_s, {0});
    EXPECT_TRUE(probe_->waitForLine(u"menu.aboutToShow"_s, opened + 1)) << probe_->transcript();

    const MenuNode root = layout(menu);
    QStringList entries;
    for (const MenuNode& node : root.children)
        entries.append(node.isSeparator() ? u"--"_s : node.label());
    // Every item in order, each "&" as the "_" that marks a mnemonic in dbusmenu.
    EXPECT_EQ(entries, QStringList({u"Ebbcast"_s,
                                    u"--"_s,
                                    u"_Open Ebbcast"_s,
                                    u"Show _Mini Controller"_s,
                                    u"Hide Recording O_verlay"_s,
                                    u"--"_s,
                                    u"_Start Recording"_s,
                                    u"S_top Recording"_s,
                                    u"--"_s,
                                    u"_Wrap Up Note"_s,
                                    u"Stop _Wrap Up Note"_s,
                                    u"Create Mar_ker"_s,
                                    u"--"_s,
                                    u"Connect _Google Drive"_s,
                                    u"_Upload Last Session"_s,
                                    u"Open Last _Drive Folder"_s,
                                    u"--"_s,
                                    u"Open _Recordings Folder"_s,
                                    u"_Preferences"_s,
                                    u"_Check for Updates"_s,
                                    u"--"_s,
                                    u"_Quit"_s}));

    struct Expected {
        QString label;
        bool enabled;
        bool visible;
    };
    // Idle: nothing records, no note, no upload yet.
    for (const Expected& expected :
         {Expected{u"Ebbcast"_s, false, true}, Expected{u"_Open Ebbcast"_s, true, true},
          Expected{u"Hide Recording O_verlay"_s, false, true}, Expected{u"_Start Recording"_s, true, true},
          Expected{u"S_top Recording"_s, false, false}, Expected{u"_Wrap Up Note"_s, true, true},
          Expected{u"Stop _Wrap Up Note"_s, false, false}, Expected{u"Create Mar_ker"_s, false, true},
          Expected{u"Open Last _Drive Folder"_s, false, true}, Expected{u"_Quit"_s, true, true}}) {
        SCOPED_TRACE(expected.label.toStdString());
        const MenuNode* item = root.child(expected.label);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->flag(u"enabled"_s), expected.enabled);
        EXPECT_EQ(item->flag(u"visible"_s), expected.visible);
    }
    // Found above, and the desktop shows their shortcuts.
    EXPECT_EQ(root.child(u"_Quit"_s)->shortcut(), QList<QStringList>{QStringList({u"Control"_s, u"Q"_s})});
    EXPECT_EQ(root.child(u"S_top Recording"_s)->shortcut(),
              QList<QStringList>{QStringList({u"Control"_s, u"."_s})});

    // The panel's click on "Start Recording" starts a session.
    const MenuNode* start = root.child(u"_Start Recording"_s);
    ASSERT_NE(start, nullptr);
    call(menu, u"com.canonical.dbusmenu"_s, u"Event"_s,
         {start->id, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)),
          static_cast<uint>(QDateTime::currentSecsSinceEpoch())});
    ASSERT_TRUE(probe_->waitForLine(u"session.start"_s)) << probe_->transcript();
    EXPECT_EQ(probe_->lines().count(u"session.start"_s), 1);
    // The exported menu follows: stop and marker in place of start.
    MenuNode recording;
    EXPECT_TRUE(waitUntil(
        [&] {
            recording = layout(menu);
            const MenuNode* stop = recording.child(u"S_top Recording"_s);
            const MenuNode* marker = recording.child(u"Create Mar_ker"_s);
            const MenuNode* started = recording.child(u"_Start Recording"_s);
            return stop && marker && started && stop->flag(u"visible"_s) && stop->flag(u"enabled"_s) &&
                   marker->flag(u"enabled"_s) && !started->flag(u"visible"_s);
        },
        generous))
        << "the menu did not turn to a recording session's";

    // The panel's primary activation (a left click on the item) opens the dashboard on the display.
    call(itemPath_, u"org.kde.StatusNotifierItem"_s, u"Activate"_s, {0, 0});
    ASSERT_TRUE(probe_->waitForLine(u"dashboard shown"_s)) << probe_->transcript();
    EXPECT_TRUE(probe_->lines().contains(u"tray.open"_s));
    EXPECT_TRUE(dashboardMapped(display_->name(), *view_));

    EXPECT_EQ(probe_->terminate(), 0) << probe_->transcript();
}

} // namespace
} // namespace ebbcast::test
