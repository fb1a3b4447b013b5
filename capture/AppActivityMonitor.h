#pragma once

#include "capture/FrontmostApplicationSource.h"
#include "core/documents/ActiveAppMetadata.h"

#include <QStringList>

namespace ebbcast {

class PreferencesStore;

// Which application is frontmost and whether it is on the watch list of the settings.
// Main thread (it reads the settings store).
class AppActivityMonitor {
public:
    AppActivityMonitor(PreferencesStore& preferences, FrontmostApplicationSource& source);

    static QStringList defaultWatchList();

    // Name "Unknown" and identifier "unknown" where the window system does not tell.
    ActiveAppMetadata activeApplicationInfo();
    // The frontmost application's name contains an entry of `enabledWatchListApps`, ignoring case
    // ("Zoom" matches "zoom.us"). Empty entries and an empty list match nothing.
    bool isActiveAppInWatchList();

    static bool isInWatchList(const QString& applicationName, const QStringList& watchList);

private:
    PreferencesStore& preferences_;
    FrontmostApplicationSource& source_;
};

} // namespace ebbcast
