#pragma once

#include "capture/FrontmostApplicationSource.h"
#include "core/documents/ActiveAppMetadata.h"

#include <QStringList>

namespace ebbcast {

// Which application is frontmost and whether it is on the watch list (the applications that count as
// meetings). Main thread.
class AppActivityMonitor {
public:
    AppActivityMonitor(FrontmostApplicationSource& source, QStringList watchList);

    // Name "Unknown" and identifier "unknown" where the window system does not tell.
    ActiveAppMetadata activeApplicationInfo();
    // The frontmost application's name contains an entry of the watch list, ignoring case ("Zoom" matches
    // "zoom.us"). Empty entries and an empty list match nothing.
    bool isActiveAppInWatchList();

    const QStringList& watchList() const { return watchList_; }
    void setWatchList(const QStringList& watchList);

    static bool isInWatchList(const QString& applicationName, const QStringList& watchList);

private:
    FrontmostApplicationSource& source_;
    QStringList watchList_;
};

} // namespace ebbcast
