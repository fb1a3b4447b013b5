#include "app/MiniRecorderWindowController.h"
#include "model/EbbcastAppModel.h"
#include "model/EbbcastRunState.h"
#include "support/ShellWindowTesting.h"

#include <QAccessible>
#include <QApplication>
#include <QIcon>
#include <QPalette>
#include <QScreen>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QWidget>

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::waitUntil;
using test::X11View;

// The buttons from left to right, by object name.
const std::vector<QString> buttonOrder = {u"record"_s, u"stop"_s,    u"pause"_s, u"wrapUp"_s,
                                          u"marker"_s, u"overlay"_s, u"close"_s};

class MiniRecorderWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!test::onXDisplay())
            GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
        controller_.setVisibilityChangedHandler([this](bool visible) { visibility_.push_back(visible); });
    }

    MiniRecorderActions countingActions()
    {
        const auto count = [this](const char* name) {
            return [this, name] {
                ++calls_[name];
            };
        };
        return {count("startRecording"), count("stopRecording"), count("pauseRecording"),
                count("wrapUp"),         count("createMarker"),  count("toggleRecordingIndicators"),
                count("close")};
    }

    void showAndWait()
    {
        controller_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(controller_.window()));
    }

    QToolButton* button(const QString& name) const
    {
        auto* found = controller_.window()->findChild<QToolButton*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }

    static QString accessibleName(QWidget* widget)
    {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
    }

    xcb_window_t windowId() const { return static_cast<xcb_window_t>(controller_.window()->winId()); }

    static QPoint centreOnScreen(QWidget* widget) { return widget->mapToGlobal(widget->rect().center()); }

    std::map<std::string, int> calls_;
    std::vector<bool> visibility_;
    EbbcastAppModel model_{QUrl(u"http://127.0.0.1:9"_s)};
    MiniRecorderWindowController controller_{model_, countingActions()};
};

TEST_F(MiniRecorderWindowTest, AFramelessToolBarAboveOtherWindowsAtTheTopCentreOfThePrimaryScreen)
{
    EXPECT_EQ(controller_.window(), nullptr) << "made on the first show";
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    QWidget* window = controller_.window();
    EXPECT_TRUE(controller_.isVisible());
    EXPECT_EQ(window->size(), QSize(310, 54));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "not resizable";
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));

    // What a window manager reads: a utility window (no taskbar entry), above the others, no decorations.
    const X11View x11;
    const xcb_window_t id = windowId();
    EXPECT_TRUE(x11.atomNames(id, "_NET_WM_WINDOW_TYPE").contains(u"_NET_WM_WINDOW_TYPE_UTILITY"_s))
        << x11.atomNames(id, "_NET_WM_WINDOW_TYPE").join(u' ').toStdString();
    if (x11.kept("_NET_WM_STATE_ABOVE")) {
        EXPECT_TRUE(
            waitUntil([&] { return x11.atomNames(id, "_NET_WM_STATE").contains(u"_NET_WM_STATE_ABOVE"_s); }));
    }
    const std::vector<std::uint32_t> motif = x11.values(id, "_MOTIF_WM_HINTS");
    ASSERT_GE(motif.size(), 3u);
    EXPECT_NE(motif[0] & 2u, 0u) << "decorations not given";
    EXPECT_EQ(motif[2], 0u) << "decorations asked for";

    // On the screen: 310 × 54 at the top centre of the available area, 22 px below its top.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect content = x11.contentOnScreen(id);
    EXPECT_EQ(content.size(), QSize(310, 54));
    const int tolerance = x11.windowManagerRuns() ? 32 : 0;
    EXPECT_LE(std::abs(content.x() - (area.x() + (area.width() - 310) / 2)), tolerance) << content.x();
    EXPECT_LE(std::abs(content.y() - (area.y() + 22)), tolerance) << content.y();
    EXPECT_EQ(MiniRecorderWindowController::initialGeometry(QGuiApplication::primaryScreen()),
              QRect(area.x() + (area.width() - 310) / 2, area.y() + 22, 310, 54));
    EXPECT_EQ(MiniRecorderWindowController::initialGeometry(nullptr), std::nullopt);

    model_.setState(EbbcastRunState::recording);
    QTest::qWait(50);
    const QImage recording = X11View::windowPixels(id);
    test::saveScreenshot(recording, u"mini-controller-recording"_s);
    EXPECT_EQ(recording.size(), QSize(310, 54));
    EXPECT_TRUE(test::showsSomething(recording, window->palette().color(QPalette::Window).rgb(), 4))
        << test::colourCount(recording) << " colours";
    // The red state mark is there.
    bool red = false;
    for (int y = 0; y < recording.height() && !red; ++y)
        for (int x = 0; x < 40 && !red; ++x) {
            const QColor pixel = recording.pixelColor(x, y);
            red = pixel.red() > 180 && pixel.green() < 80 && pixel.blue() < 80;
        }
    EXPECT_TRUE(red) << "no red state mark while recording";
}

TEST_F(MiniRecorderWindowTest, ButtonsAreNamedAndEnabledAsTheRunStateAllows)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());

    // Every button is named for assistive technology, reachable by Tab, in order from left to right.
    std::vector<QString> tabOrder;
    for (QWidget* widget = controller_.window()->nextInFocusChain(); widget != controller_.window();
         widget = widget->nextInFocusChain())
        if (qobject_cast<QToolButton*>(widget) != nullptr && (widget->focusPolicy() & Qt::TabFocus))
            tabOrder.push_back(widget->objectName());
    EXPECT_EQ(tabOrder, buttonOrder);
    for (const QString& name : buttonOrder) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button(name));
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->role(), QAccessible::Button) << name.toStdString();
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << name.toStdString();
        EXPECT_FALSE(button(name)->icon().isNull()) << name.toStdString();
    }

    // Enabled: record, stop, pause, wrap up, marker, overlay toggle, close.
    struct Expected {
        std::vector<bool> enabled;
        QString wrapUp;
    };
    const std::vector<bool> nothingRecords = {true, false, false, true, false, false, true};
    const std::vector<bool> sessionRecords = {false, true, false, true, true, true, true};
    const std::map<EbbcastRunState, Expected> expected = {
        {EbbcastRunState::idle, {nothingRecords, u"Wrap Up"_s}},
        {EbbcastRunState::armed, {nothingRecords, u"Wrap Up"_s}},
        {EbbcastRunState::recording, {sessionRecords, u"Wrap Up"_s}},
        {EbbcastRunState::paused, {sessionRecords, u"Wrap Up"_s}},
        {EbbcastRunState::wrapUp, {{false, false, false, true, false, false, true}, u"End Wrap Up"_s}},
        {EbbcastRunState::uploading, {nothingRecords, u"Wrap Up"_s}},
        {EbbcastRunState::aiProcessing, {nothingRecords, u"Wrap Up"_s}},
        {EbbcastRunState::completed, {nothingRecords, u"Wrap Up"_s}},
        {EbbcastRunState::error, {nothingRecords, u"Wrap Up"_s}},
    };
    ASSERT_EQ(expected.size(), allRunStates().size());
    for (const EbbcastRunState state : allRunStates()) {
        SCOPED_TRACE(displayName(state).toStdString());
        model_.setState(state);
        std::vector<bool> enabled;
        for (const QString& name : buttonOrder)
            enabled.push_back(button(name)->isEnabled());
        EXPECT_EQ(enabled, expected.at(state).enabled);
        const QStringList names = {accessibleName(button(u"record"_s)), accessibleName(button(u"stop"_s)),
                                   accessibleName(button(u"pause"_s)),  accessibleName(button(u"wrapUp"_s)),
                                   accessibleName(button(u"marker"_s)), accessibleName(button(u"close"_s))};
        EXPECT_EQ(names, QStringList({u"Record"_s, u"Stop"_s, u"Pause"_s, expected.at(state).wrapUp,
                                      u"Marker"_s, u"Close"_s}));
        EXPECT_EQ(button(u"wrapUp"_s)->toolTip(), expected.at(state).wrapUp);
        EXPECT_EQ(accessibleName(controller_.window()->findChild<QWidget*>(u"runState"_s)),
                  displayName(state));
    }
    EXPECT_EQ(button(u"pause"_s)->toolTip(), u"Pause is not supported yet"_s);

    // The overlay toggle says what it will do.
    model_.setState(EbbcastRunState::recording);
    EXPECT_EQ(accessibleName(button(u"overlay"_s)), u"Hide Recording Overlay"_s);
    model_.setRecordingIndicatorsHidden(true);
    EXPECT_EQ(accessibleName(button(u"overlay"_s)), u"Show Recording Overlay"_s);
    EXPECT_EQ(button(u"overlay"_s)->toolTip(), u"Show Recording Overlay"_s);
    model_.setRecordingIndicatorsHidden(false);
    EXPECT_EQ(accessibleName(button(u"overlay"_s)), u"Hide Recording Overlay"_s);
}

TEST_F(MiniRecorderWindowTest, ButtonsAndKeysCallTheirActionsOnlyWhenEnabled)
{
    model_.setState(EbbcastRunState::recording);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    // Real clicks on the screen; the disabled ones do nothing.
    for (const QString& name : {u"record"_s, u"stop"_s, u"pause"_s, u"wrapUp"_s, u"marker"_s, u"overlay"_s})
        ASSERT_TRUE(test::clickAt(centreOnScreen(button(name))));
    EXPECT_TRUE(waitUntil([&] { return calls_["toggleRecordingIndicators"] == 1; }));
    EXPECT_EQ(
        calls_,
        (std::map<std::string, int>{
            {"stopRecording", 1}, {"wrapUp", 1}, {"createMarker", 1}, {"toggleRecordingIndicators", 1}}));

    model_.setState(EbbcastRunState::idle);
    calls_.clear();
    ASSERT_TRUE(test::clickAt(centreOnScreen(button(u"record"_s))));
    ASSERT_TRUE(test::clickAt(centreOnScreen(button(u"stop"_s))));
    EXPECT_TRUE(waitUntil([&] { return calls_["startRecording"] == 1; }));
    QTest::qWait(100);
    EXPECT_EQ(calls_, (std::map<std::string, int>{{"startRecording", 1}}));

    // Ctrl+. and Ctrl+M while the window is active: only while a session records.
    controller_.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller_.window()));
    calls_.clear();
    ASSERT_TRUE(test::xdotool({u"key"_s, u"ctrl+period"_s, u"ctrl+m"_s}));
    QTest::qWait(200);
    EXPECT_TRUE(calls_.empty()) << "keys acted while idle";
    model_.setState(EbbcastRunState::recording);
    ASSERT_TRUE(test::xdotool({u"key"_s, u"ctrl+period"_s}));
    EXPECT_TRUE(waitUntil([&] { return calls_["stopRecording"] == 1; }));
    ASSERT_TRUE(test::xdotool({u"key"_s, u"ctrl+m"_s}));
    EXPECT_TRUE(waitUntil([&] { return calls_["createMarker"] == 1; }));
    EXPECT_EQ(calls_.size(), 2u);
}

TEST_F(MiniRecorderWindowTest, TabMovesAVisibleFocusAcrossTheEnabledButtons)
{
    model_.setState(EbbcastRunState::recording);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    const auto looks = [](QWidget* widget) {
        QTest::qWait(50);
        return QGuiApplication::primaryScreen()
            ->grabWindow(static_cast<xcb_window_t>(widget->window()->winId()), widget->x(), widget->y(),
                         widget->width(), widget->height())
            .toImage();
    };
    // Activated, the window gives the focus to its first enabled button (Record is disabled while recording).
    controller_.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller_.window()));
    ASSERT_TRUE(waitUntil([] { return QApplication::focusWidget() != nullptr; }));
    std::vector<QString> visited = {QApplication::focusWidget()->objectName()};
    ASSERT_EQ(visited.front(), u"stop"_s);
    const QImage focused = looks(button(u"stop"_s));
    for (int step = 0; step < 4; ++step) {
        ASSERT_TRUE(test::xdotool({u"key"_s, u"Tab"_s}));
        ASSERT_TRUE(waitUntil([&] { return QApplication::focusWidget()->objectName() != visited.back(); }));
        visited.push_back(QApplication::focusWidget()->objectName());
    }
    EXPECT_EQ(visited, (std::vector<QString>{u"stop"_s, u"wrapUp"_s, u"marker"_s, u"overlay"_s, u"close"_s}));
    EXPECT_NE(looks(button(u"stop"_s)), focused) << "the focus is not visible";
}

TEST_F(MiniRecorderWindowTest, DraggedByItsBackgroundAndShownAgainWhereItWasLeft)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    QWidget* window = controller_.window();
    const X11View x11;
    const QPoint before = x11.contentOnScreen(windowId()).topLeft();
    // A point of the background, left of the state mark.
    const QPoint grip = before + QPoint(4, 27);
    ASSERT_TRUE(test::xdotool({u"mousemove"_s, QString::number(grip.x()), QString::number(grip.y())}));
    QTest::qWait(50);
    ASSERT_TRUE(test::xdotool({u"mousedown"_s, u"1"_s}));
    QTest::qWait(50);
    for (int step = 1; step <= 5; ++step) {
        ASSERT_TRUE(test::xdotool(
            {u"mousemove"_s, QString::number(grip.x() + step * 24), QString::number(grip.y() + step * 10)}));
        QTest::qWait(30);
    }
    ASSERT_TRUE(test::xdotool({u"mouseup"_s, u"1"_s}));
    const QPoint expected = before + QPoint(120, 50);
    EXPECT_TRUE(waitUntil([&] {
        const QPoint now = x11.contentOnScreen(windowId()).topLeft();
        return std::abs(now.x() - expected.x()) <= 2 && std::abs(now.y() - expected.y()) <= 2;
    })) << "now at "
        << x11.contentOnScreen(windowId()).x() << "," << x11.contentOnScreen(windowId()).y();
    EXPECT_TRUE(calls_.empty()) << "a drag is no click";

    // Hidden and shown again: the same window, where the user left it.
    const QPoint moved = x11.contentOnScreen(windowId()).topLeft();
    controller_.hide();
    EXPECT_FALSE(controller_.isVisible());
    EXPECT_TRUE(waitUntil([&] { return !x11.isViewable(windowId()); }));
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(controller_.window(), window);
    EXPECT_TRUE(waitUntil([&] { return x11.isViewable(windowId()); }));
    EXPECT_EQ(x11.contentOnScreen(windowId()).topLeft(), moved);
    EXPECT_EQ(visibility_, (std::vector<bool>{true, false, true}));
}

TEST_F(MiniRecorderWindowTest, ClosingOnlyHidesItAndEveryVisibilityChangeIsReported)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    QWidget* window = controller_.window();
    const QPoint place = window->pos();
    controller_.show(); // already shown: nothing to report
    ASSERT_TRUE(test::clickAt(centreOnScreen(button(u"close"_s))));
    EXPECT_TRUE(waitUntil([&] { return !controller_.isVisible(); }));
    EXPECT_EQ(calls_, (std::map<std::string, int>{{"close", 1}}));
    EXPECT_EQ(visibility_, (std::vector<bool>{true, false}));

    controller_.toggle();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(controller_.window()));
    EXPECT_EQ(controller_.window(), window);
    EXPECT_EQ(window->pos(), place);
    controller_.toggle();
    EXPECT_FALSE(controller_.isVisible());
    controller_.hide(); // already hidden
    // Closed by the window system (as a window manager's close does).
    controller_.show();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(controller_.isVisible());
    EXPECT_EQ(calls_["close"], 2);
    EXPECT_EQ(visibility_, (std::vector<bool>{true, false, true, false, true, false}));
}

// The icon theme's own icons when it has them; otherwise the bundled symbols in the palette's text colour,
// redrawn when the palette changes, sharp at scale 2.
TEST_F(MiniRecorderWindowTest, SymbolsFollowThePaletteWhenTheIconThemeHasNone)
{
    const QString theme = QIcon::themeName();
    QIcon::setThemeName(u"ebbcast-no-such-theme"_s);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    const auto symbolColour = [&](const QString& name, QIcon::Mode mode = QIcon::Normal) {
        const QImage image = button(name)->icon().pixmap(QSize(20, 20), 1.0, mode).toImage();
        // The most opaque pixel's colour.
        QColor strongest(Qt::transparent);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y).alpha() > strongest.alpha())
                    strongest = image.pixelColor(x, y);
        return strongest;
    };
    EXPECT_EQ(symbolColour(u"record"_s).rgb(),
              controller_.window()->palette().color(QPalette::ButtonText).rgb());

    QPalette dark = controller_.window()->palette();
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Button, QColor(0x30, 0x30, 0x30));
    dark.setColor(QPalette::ButtonText, QColor(0xf0, 0xf0, 0xf0));
    dark.setColor(QPalette::WindowText, QColor(0xf0, 0xf0, 0xf0));
    controller_.window()->setPalette(dark);
    for (const QString& name : buttonOrder)
        EXPECT_EQ(symbolColour(name).rgb(), QColor(0xf0, 0xf0, 0xf0).rgb()) << name.toStdString();
    EXPECT_LT(symbolColour(u"record"_s, QIcon::Disabled).alpha(), 128) << "disabled is faded";
    QTest::qWait(50);
    const QImage screenshot = X11View::windowPixels(windowId());
    test::saveScreenshot(screenshot, u"mini-controller-dark"_s);
    EXPECT_TRUE(test::showsSomething(screenshot, QColor(0x20, 0x20, 0x20).rgb(), 4));

    const QPixmap sharp = button(u"stop"_s)->icon().pixmap(QSize(20, 20), 2.0);
    EXPECT_EQ(sharp.size(), QSize(40, 40)) << "drawn for the device pixels";
    EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
    QIcon::setThemeName(theme);
}

TEST_F(MiniRecorderWindowTest, IconsComeFromTheDesktopThemeWhenItHasThem)
{
    const QString theme = QIcon::themeName();
    QIcon::setThemeName(u"Adwaita"_s);
    if (!QIcon::hasThemeIcon(u"media-record"_s)) {
        QIcon::setThemeName(theme);
        GTEST_SKIP() << "the Adwaita icon theme is not installed";
    }
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(button(u"record"_s)->icon().name(), u"media-record"_s);
    EXPECT_EQ(button(u"stop"_s)->icon().name(), u"media-playback-stop"_s);
    EXPECT_EQ(button(u"close"_s)->icon().name(), u"window-close"_s);
    QIcon::setThemeName(theme);
}

} // namespace
} // namespace ebbcast
