#pragma once

#include "capture/FrontmostApplicationSource.h"

#include <QDateTime>
#include <QHash>

#include <memory>
#include <mutex>

namespace ebbcast {

// The frontmost application on X11: the window in the root's _NET_ACTIVE_WINDOW (set by every EWMH window
// manager), its WM_CLASS and _NET_WM_PID. Name and identifier come from the application's desktop entry
// (matched by StartupWMClass or by file name against the WM_CLASS class or instance); without one the name is
// the WM_CLASS class and the identifier the WM_CLASS instance.
// Properties are read whatever type they were written with: tools and some window managers store the window
// and process numbers as CARDINAL rather than the types EWMH names.
// Thread-safe: one X connection, guarded by a mutex, reopened after it broke.
class X11FrontmostApplicationSource : public FrontmostApplicationSource {
public:
    // `displayName` as in $DISPLAY; empty: take $DISPLAY. `applicationFolders`: where desktop entries are
    // looked for; empty: $XDG_DATA_HOME/applications and each of $XDG_DATA_DIRS/applications.
    explicit X11FrontmostApplicationSource(QString displayName = QString(),
                                           QStringList applicationFolders = {});
    ~X11FrontmostApplicationSource() override;

    std::optional<FrontmostApplication> frontmostApplication() override;

private:
    struct DesktopEntry {
        QString id;
        QString name;
    };

    bool connectLocked();
    std::optional<DesktopEntry> desktopEntryFor(const QString& instance, const QString& className);

    QString displayName_;
    QStringList applicationFolders_;
    std::mutex mutex_;
    struct Connection;
    std::unique_ptr<Connection> connection_;
    QHash<QString, DesktopEntry> entries_; // lower-case WM class or file name → entry
    QDateTime entriesReadAt_;
};

} // namespace ebbcast
