#include "core/base/AppPaths.h"

#include <QDir>

#include <pwd.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// An XDG variable counts only when it holds an absolute path; otherwise the default under home applies.
QString baseDirectory(const QProcessEnvironment& environment, const QString& variable, const QString& home,
                      const QString& fallback)
{
    const QString value = environment.value(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(home + u'/' + fallback);
}

} // namespace

AppPaths::AppPaths(QString configDirectory, QString stateDirectory)
    : configDirectory_(std::move(configDirectory))
    , stateDirectory_(std::move(stateDirectory))
{}

std::optional<AppPaths> AppPaths::fromEnvironment(const QProcessEnvironment& environment)
{
    const QString home = environment.value(u"HOME"_s);
    if (home.isEmpty() || !QDir::isAbsolutePath(home))
        return std::nullopt;
    return AppPaths(baseDirectory(environment, u"XDG_CONFIG_HOME"_s, home, u".config"_s) + u"/Tavilon"_s,
                    baseDirectory(environment, u"XDG_STATE_HOME"_s, home, u".local/state"_s) + u"/Tavilon"_s);
}

QString AppPaths::missingHomeProblem()
{
    return u"HOME is not set to an absolute folder; cannot tell where settings, the log and recordings belong"_s;
}

QString AppPaths::settingsFilePath() const
{
    return configDirectory_ + u"/settings.json"_s;
}

QString AppPaths::logFilePath() const
{
    return stateDirectory_ + u"/app.log"_s;
}

QString AppPaths::expandHome(const QString& path)
{
    if (!path.startsWith(u'~'))
        return path;
    const qsizetype slash = path.indexOf(u'/');
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString rest = slash < 0 ? QString() : path.mid(slash);
    if (user.isEmpty())
        return QDir::homePath() + rest;
    const QByteArray name = user.toLocal8Bit();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return path;
    return QString::fromLocal8Bit(found->pw_dir) + rest;
}

} // namespace ebbcast
