#include "capture/AppActivityMonitor.h"

#include "core/settings/PreferencesStore.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

AppActivityMonitor::AppActivityMonitor(PreferencesStore& preferences, FrontmostApplicationSource& source)
    : preferences_(preferences)
    , source_(source)
{}

QStringList AppActivityMonitor::defaultWatchList()
{
    return PreferencesStore::defaultWatchList();
}

ActiveAppMetadata AppActivityMonitor::activeApplicationInfo()
{
    const std::optional<FrontmostApplication> application = source_.frontmostApplication();
    ActiveAppMetadata info{u"Unknown"_s, u"unknown"_s};
    if (application && !application->name.isEmpty())
        info.name = application->name;
    if (application && !application->identifier.isEmpty())
        info.bundleIdentifier = application->identifier;
    return info;
}

bool AppActivityMonitor::isActiveAppInWatchList()
{
    return isInWatchList(activeApplicationInfo().name, preferences_.enabledWatchListApps());
}

bool AppActivityMonitor::isInWatchList(const QString& applicationName, const QStringList& watchList)
{
    for (const QString& entry : watchList) {
        if (!entry.isEmpty() && applicationName.contains(entry, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace ebbcast
