#include "app/WrapUpPreviewWindowController.h"

#include "app/CameraPreviewView.h"
#include "capture/CameraPreviewFeed.h"
#include "capture/linux/XcbHandles.h"
#include "core/base/EbbcastError.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// The top-level window: closing it hides it, and tells the controller.
class PreviewWindow : public QWidget {
public:
    explicit PreviewWindow(std::function<void()> closed)
        : closed_(std::move(closed))
    {}

protected:
    void closeEvent(QCloseEvent* event) override
    {
        closed_();
        QWidget::closeEvent(event); // accepted: hidden, never deleted
    }

private:
    std::function<void()> closed_;
};

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name)
{
    const auto reply = ownedReply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// Asks for the window on every workspace, the X11 way (EWMH), which Qt has no call for: on a window not yet
// mapped the properties themselves (_NET_WM_STATE gains _NET_WM_STATE_STICKY, _NET_WM_DESKTOP becomes
// 0xFFFFFFFF: all desktops), which the window manager reads when the window is mapped (Qt merges its own
// states into the list when it maps the window); on a mapped window the window manager owns them, so the
// requests go to the root window as client messages. Nothing on other platforms.
void showOnAllWorkspaces(QWidget& window, bool mapped)
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return;
    xcb_connection_t* connection = x11->connection();
    const auto windowId = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t state = internAtom(connection, "_NET_WM_STATE");
    const xcb_atom_t sticky = internAtom(connection, "_NET_WM_STATE_STICKY");
    const xcb_atom_t desktop = internAtom(connection, "_NET_WM_DESKTOP");
    if (state == XCB_ATOM_NONE || sticky == XCB_ATOM_NONE || desktop == XCB_ATOM_NONE)
        return;
    constexpr std::uint32_t allDesktops = 0xFFFFFFFF;

    if (!mapped) {
        std::vector<xcb_atom_t> states;
        const auto reply = ownedReply(xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, windowId, state, XCB_ATOM_ATOM, 0, 1024), nullptr));
        if (reply && reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
            const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
            states.assign(atoms, atoms + xcb_get_property_value_length(reply.get()) / 4);
        }
        if (std::find(states.begin(), states.end(), sticky) == states.end())
            states.push_back(sticky);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, windowId, state, XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(states.size()), states.data());
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, windowId, desktop, XCB_ATOM_CARDINAL, 32, 1,
                            &allDesktops);
    } else {
        const auto tree =
            ownedReply(xcb_query_tree_reply(connection, xcb_query_tree(connection, windowId), nullptr));
        if (!tree)
            return;
        const auto request = [&](xcb_atom_t type, const std::array<std::uint32_t, 5>& data) {
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = windowId;
            event.type = type;
            std::copy(data.begin(), data.end(), event.data.data32);
            xcb_send_event(connection, 0, tree->root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                           reinterpret_cast<const char*>(&event));
        };
        // _NET_WM_STATE_ADD (1) sticky; then all desktops; both from an application (source indication 1).
        request(state, {1, sticky, 0, 1, 0});
        request(desktop, {allDesktops, 1, 0, 0, 0});
    }
    xcb_flush(connection);
}

} // namespace

WrapUpPreviewWindowController::WrapUpPreviewWindowController(QObject* parent)
    : QObject(parent)
{}

WrapUpPreviewWindowController::~WrapUpPreviewWindowController() = default;

std::optional<QString> WrapUpPreviewWindowController::displayUnavailableReason()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return u"No display to show the wrap-up preview on."_s;
    const QString platform = QGuiApplication::platformName();
    if (platform == u"offscreen"_s || platform == u"minimal"_s)
        return u"No display to show the wrap-up preview on (the Qt platform \""_s + platform +
               u"\" shows no windows)."_s;
    if (QGuiApplication::primaryScreen() == nullptr)
        return u"No display to show the wrap-up preview on (no screen is connected)."_s;
    return std::nullopt;
}

void WrapUpPreviewWindowController::show(CameraPreviewFeed& feed)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (const std::optional<QString> reason = displayUnavailableReason())
        throw EbbcastError(*reason);

    if (!window_) {
        auto window = std::make_unique<PreviewWindow>([this] {
            view_->unbind();
            Q_EMIT closedByUser();
        });
        window->setWindowTitle(u"Wrap Up Preview"_s);
        window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
        window->setAttribute(Qt::WA_QuitOnClose, false);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = new CameraPreviewView(window.get());
        layout->addWidget(view_);
        window->setFixedSize(contentWidth, contentHeight);
        QRect content(0, 0, contentWidth, contentHeight);
        content.moveCenter(QGuiApplication::primaryScreen()->availableGeometry().center());
        window->setGeometry(content);
        window->winId(); // the native window, for its properties before it is first mapped
        window_ = std::move(window);
    }

    view_->bind(&feed);
    const bool mapped = window_->isVisible();
    if (!mapped)
        showOnAllWorkspaces(*window_, false);
    window_->showNormal(); // also brings a minimized window back
    window_->raise();
    window_->activateWindow();
    // Repeated as a request: a window manager that withdrew the window while it was hidden may have dropped
    // the properties, and one that manages it by now takes only requests.
    showOnAllWorkspaces(*window_, true);
}

void WrapUpPreviewWindowController::hide()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!window_)
        return;
    view_->unbind();
    window_->hide();
}

bool WrapUpPreviewWindowController::isShown() const
{
    return window_ && window_->isVisible();
}

QWidget* WrapUpPreviewWindowController::window() const
{
    return window_.get();
}

} // namespace ebbcast
