#include "app/X11WindowHints.h"

#include "capture/linux/XcbHandles.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ebbcast {

namespace {

xcb_connection_t* qtConnection()
{
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The number of the X screen the display name chooses (":0.1" is screen 1), 0 when it names none.
int screenNumber()
{
    const QByteArray display = qgetenv("DISPLAY");
    int screen = 0;
    char* host = nullptr;
    int number = 0;
    if (!display.isEmpty() && xcb_parse_display(display.constData(), &host, &number, &screen) == 0)
        screen = 0;
    std::free(host);
    return screen;
}

} // namespace

void showOnAllWorkspaces(QWidget& window, bool mapped)
{
    xcb_connection_t* connection = qtConnection();
    if (connection == nullptr)
        return;
    const auto windowId = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t state = internAtom(connection, "_NET_WM_STATE", false);
    const xcb_atom_t sticky = internAtom(connection, "_NET_WM_STATE_STICKY", false);
    const xcb_atom_t desktop = internAtom(connection, "_NET_WM_DESKTOP", false);
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

bool compositingManagerRuns()
{
    xcb_connection_t* connection = qtConnection();
    if (connection == nullptr)
        return false;
    const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber());
    const xcb_atom_t selection = internAtom(connection, name.c_str(), false);
    if (selection == XCB_ATOM_NONE)
        return false;
    const auto owner = ownedReply(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}

} // namespace ebbcast
