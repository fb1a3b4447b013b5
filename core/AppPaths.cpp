#include "AppPaths.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// An XDG variable counts only when it holds an absolute path; otherwise the default under home applies.
QString baseDirectory(const QProcessEnvironment& environment, const QString& variable,
                      const QString& fallback)
{
    const QString value = environment.value(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    const QString home = environment.value(u"HOME"_s, QDir::homePath());
    return QDir::cleanPath(home + u'/' + fallback);
}

} // namespace

AppPaths::AppPaths(QString configDirectory, QString stateDirectory)
    : configDirectory_(std::move(configDirectory))
    , stateDirectory_(std::move(stateDirectory))
{}

AppPaths AppPaths::fromEnvironment(const QProcessEnvironment& environment)
{
    return AppPaths(baseDirectory(environment, u"XDG_CONFIG_HOME"_s, u".config"_s) + u"/Tavilon"_s,
                    baseDirectory(environment, u"XDG_STATE_HOME"_s, u".local/state"_s) + u"/Tavilon"_s);
}

QString AppPaths::settingsFilePath() const
{
    return configDirectory_ + u"/settings.json"_s;
}

QString AppPaths::logFilePath() const
{
    return stateDirectory_ + u"/app.log"_s;
}

} // namespace ebbcast
