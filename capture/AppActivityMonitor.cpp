#include "capture/AppActivityMonitor.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

AppActivityMonitor::AppActivityMonitor(FrontmostApplicationSource& source, QStringList watchList)
    : source_(source)
    , watchList_(std::move(watchList))
{}

void AppActivityMonitor::setWatchList(const QStringList& watchList)
{
    watchList_ = watchList;
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
    return isInWatchList(activeApplicationInfo().name, watchList_);
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
