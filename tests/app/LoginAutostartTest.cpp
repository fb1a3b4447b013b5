#include "app/LoginAutostart.h"

#include "core/base/FileError.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// What desktop-file-validate says of an entry; empty when it finds nothing wrong.
QString validate(const QString& path)
{
    QProcess validator;
    validator.setProcessChannelMode(QProcess::MergedChannels);
    validator.start(u"desktop-file-validate"_s, {path});
    if (!validator.waitForFinished(30000))
        return u"desktop-file-validate did not finish"_s;
    const QString output = QString::fromLocal8Bit(validator.readAll()).trimmed();
    return validator.exitCode() == 0 && output.isEmpty()
               ? QString()
               : output + u" (exit "_s + QString::number(validator.exitCode()) + u")"_s;
}

TEST(LoginAutostart, EntryPathFollowsXdgConfigHomeElseTheHomeFolder)
{
    QProcessEnvironment environment;
    environment.insert(u"HOME"_s, u"/home/ada"_s);
    EXPECT_EQ(LoginAutostart::entryPathFor(environment),
              u"/home/ada/.config/autostart/com.tavilon.Ebbcast.desktop"_s);
    environment.insert(u"XDG_CONFIG_HOME"_s, u"relative/config"_s); // not absolute: ignored
    EXPECT_EQ(LoginAutostart::entryPathFor(environment),
              u"/home/ada/.config/autostart/com.tavilon.Ebbcast.desktop"_s);
    environment.insert(u"XDG_CONFIG_HOME"_s, u"/srv/cfg"_s);
    EXPECT_EQ(LoginAutostart::entryPathFor(environment), u"/srv/cfg/autostart/com.tavilon.Ebbcast.desktop"_s);
}

TEST(LoginAutostart, SwitchingOnWritesAValidEntryAndOffRemovesIt)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"config/autostart/com.tavilon.Ebbcast.desktop"_s);
    // A program path with the characters an Exec key must quote or escape.
    const LoginAutostart autostart(path, u"/opt/My Apps/ebb$cast\"100%"_s);
    EXPECT_FALSE(autostart.isEnabled());
    autostart.setEnabled(false); // nothing to remove: fine

    autostart.setEnabled(true);
    EXPECT_TRUE(autostart.isEnabled());
    const QString entry = QString::fromUtf8(test::TemporaryFolder::readAll(path));
    EXPECT_TRUE(entry.contains(u"\nExec=\"/opt/My Apps/ebb\\\\$cast\\\\\"100%%\"\n"_s))
        << entry.toStdString();
    if (QStandardPaths::findExecutable(u"desktop-file-validate"_s).isEmpty())
        ADD_FAILURE() << "desktop-file-validate is missing (desktop-file-utils)";
    else
        EXPECT_EQ(validate(path), QString());

    autostart.setEnabled(true); // again: the same entry, no error
    autostart.setEnabled(false);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(autostart.isEnabled());
}

TEST(LoginAutostart, AnEntryTheDesktopDisabledCountsAsOff)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"com.tavilon.Ebbcast.desktop"_s);
    const LoginAutostart autostart(path, u"/usr/bin/ebbcast"_s);
    for (const QByteArray& line :
         {QByteArray("Hidden=true"), QByteArray("X-GNOME-Autostart-enabled=false")}) {
        test::TemporaryFolder::writeAll(path,
                                        "[Desktop Entry]\nType=Application\nExec=ebbcast\n" + line + "\n");
        EXPECT_FALSE(autostart.isEnabled()) << line.constData();
    }
    // Switching on again replaces it with an entry that starts Ebbcast.
    autostart.setEnabled(true);
    EXPECT_TRUE(autostart.isEnabled());
}

TEST(LoginAutostart, AFolderThatCannotBeMadeIsReportedAndLeavesNothing)
{
    test::TemporaryFolder folder;
    // A file where the autostart folder belongs (root could write into a read-only folder).
    test::TemporaryFolder::writeAll(folder.file(u"autostart"_s), "not a folder");
    const LoginAutostart autostart(folder.file(u"autostart/com.tavilon.Ebbcast.desktop"_s),
                                   u"/usr/bin/ebbcast"_s);
    EXPECT_THROW(autostart.setEnabled(true), FileError);
    EXPECT_FALSE(autostart.isEnabled());
    EXPECT_EQ(test::TemporaryFolder::readAll(folder.file(u"autostart"_s)), QByteArray("not a folder"));
}

} // namespace
} // namespace ebbcast
