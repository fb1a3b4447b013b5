#include "app/OverviewCommand.h"

#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/SettingValueText.h"
#include "app/SettingsCommand.h"
#include "core/base/AppPaths.h"
#include "core/base/BuildInfo.h"
#include "core/settings/PreferencesStore.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

QString OverviewCommand::name() const
{
    return QString();
}

QString OverviewCommand::summary() const
{
    return QString();
}

QString OverviewCommand::usage() const
{
    return u"Without a command, ebbcast shows its settings and where it keeps its files.\n"_s;
}

std::optional<UsageError> OverviewCommand::parse(const QStringList&)
{
    return std::nullopt;
}

QCoro::Task<int> OverviewCommand::run(CommandContext& context)
{
    QTextStream& out = context.console.out();
    out << u"Ebbcast "_s << QString::fromLatin1(BuildInfo::version) << u"\n\n"_s << u"Settings file:    "_s
        << SettingValueText::escaped(context.paths.settingsFilePath()) << u'\n' << u"Log file:         "_s
        << SettingValueText::escaped(context.paths.logFilePath()) << u'\n' << u"Recordings:       "_s
        << SettingValueText::escaped(context.preferences.recordingFolderURL().toLocalFile()) << u"\n\n"_s;
    SettingsCommand::printAll(context.preferences, out);
    co_return 0;
}

} // namespace ebbcast
