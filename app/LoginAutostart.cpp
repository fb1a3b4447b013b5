#include "app/LoginAutostart.h"

#include "core/base/AtomicFile.h"
#include "core/base/FileError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <cerrno>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// An argument of an Exec key: quoted when it holds anything but plain characters, with the characters the
// desktop entry format reserves inside quotes escaped, and each "%" doubled (field codes).
QString execArgument(const QString& argument)
{
    QString escaped = argument;
    escaped.replace(u"%"_s, u"%%"_s);
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#()`"_s;
    bool plain = !escaped.isEmpty();
    for (const QChar c : std::as_const(escaped))
        plain = plain && !reserved.contains(c);
    if (plain)
        return escaped;
    QString quoted;
    for (const QChar c : std::as_const(escaped)) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    // The value of a desktop entry is itself an escaped string: a backslash is written twice.
    quoted.replace(u"\\"_s, u"\\\\"_s);
    return u"\""_s + quoted + u"\""_s;
}

} // namespace

LoginAutostart::LoginAutostart(QString entryPath, QString program)
    : entryPath_(std::move(entryPath))
    , program_(std::move(program))
{}

QString LoginAutostart::entryFileName()
{
    return u"com.tavilon.Ebbcast.desktop"_s;
}

QString LoginAutostart::entryPathFor(const QProcessEnvironment& environment)
{
    QString config = environment.value(u"XDG_CONFIG_HOME"_s);
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = environment.value(u"HOME"_s) + u"/.config"_s;
    return QDir(config).filePath(u"autostart/"_s + entryFileName());
}

bool LoginAutostart::isEnabled() const
{
    QFile file(entryPath_);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray contents = file.read(64 * 1024);
    for (const QByteArray& raw : contents.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    }
    return true;
}

void LoginAutostart::setEnabled(bool enabled) const
{
    if (enabled) {
        const QString folder = QFileInfo(entryPath_).absolutePath();
        if (!QDir().mkpath(folder))
            throw FileError(FileError::Code::createDirectoryFailed, folder,
                            u"the folder could not be made"_s);
        AtomicFile::write(entryPath_, entry());
        return;
    }
    if (::unlink(QFile::encodeName(entryPath_).constData()) != 0 && errno != ENOENT)
        throw FileError::fromErrno(FileError::Code::removeFailed, entryPath_);
}

QByteArray LoginAutostart::entry() const
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Ebbcast\n"
                          "Comment=Quiet desktop capture for AI workflows\n"
                          "Exec=%1\n"
                          "Icon=com.tavilon.Ebbcast\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(program_))
        .toUtf8();
}

} // namespace ebbcast
