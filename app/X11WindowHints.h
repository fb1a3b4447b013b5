#pragma once

class QWidget;

namespace ebbcast {

// What Qt has no call for on X11, done over Qt's own xcb connection; nothing on other platforms.

// Asks for the window on every workspace (EWMH): on a window not yet mapped the properties themselves
// (_NET_WM_STATE gains _NET_WM_STATE_STICKY, _NET_WM_DESKTOP becomes 0xFFFFFFFF: all desktops), which the
// window manager reads when the window is mapped (Qt merges its own states into the list when it maps the
// window); on a mapped window the window manager owns them, so the requests go to the root window as client
// messages. The window must have its native window (winId()).
void showOnAllWorkspaces(QWidget& window, bool mapped);

// Whether a compositing manager runs on the application's X screen: it owns the selection _NET_WM_CM_S<n>
// (n the screen's number). Only then do the transparent parts of a window with an alpha channel show what
// lies beneath; without one they come out black.
bool compositingManagerRuns();

} // namespace ebbcast
