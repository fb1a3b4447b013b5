// The files that go with the executable: the desktop entry, the icon and the manual page, checked with the
// tools the desktop and Debian use, against the commands and options the built ebbcast itself names, and as
// `cmake --install` lays them out.

#include "app/LoginAutostart.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMap>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSvgRenderer>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString sourceDir = QString::fromUtf8(EBBCAST_SOURCE_DIR);
const QString desktopEntryPath = sourceDir + u"/data/com.tavilon.Ebbcast.desktop"_s;
const QString iconPath = sourceDir + u"/data/icons/com.tavilon.Ebbcast.svg"_s;
const QString manPagePath = sourceDir + u"/docs/ebbcast.1"_s;

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program to its end (a minute at most) with the environment given, or the test's own.
Outcome run(const QString& program, const QStringList& arguments,
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Outcome outcome;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        outcome.err = program + u" did not finish"_s;
        return outcome;
    }
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err += QString::fromUtf8(process.readAllStandardError());
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return outcome;
}

// A desktop entry's groups and their keys (comments and blank lines left out).
QMap<QString, QMap<QString, QString>> desktopEntryGroups(const QByteArray& contents)
{
    QMap<QString, QMap<QString, QString>> groups;
    QString group;
    for (const QString& line : QString::fromUtf8(contents).split(u'\n')) {
        if (line.startsWith(u'[') && line.endsWith(u']'))
            group = line.mid(1, line.size() - 2);
        else if (const qsizetype equals = line.indexOf(u'='); equals > 0 && !line.startsWith(u'#'))
            groups[group].insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return groups;
}

// What desktop-file-validate says of an entry, its exit status included; empty when it finds nothing wrong.
QString validationProblems(const QString& path)
{
    if (QStandardPaths::findExecutable(u"desktop-file-validate"_s).isEmpty())
        return u"desktop-file-validate is missing (desktop-file-utils)"_s;
    const Outcome validated = run(u"desktop-file-validate"_s, {path});
    const QString said = QString(validated.out + validated.err).trimmed();
    return validated.exitCode == 0 && said.isEmpty()
               ? QString()
               : said + u" (exit "_s + QString::number(validated.exitCode) + u')';
}

TEST(DesktopEntry, PassesTheValidatorAndAgreesWithTheAutostartEntry)
{
    EXPECT_EQ(validationProblems(desktopEntryPath), QString());

    const auto launcher = desktopEntryGroups(test::TemporaryFolder::readAll(desktopEntryPath));
    const auto autostart = desktopEntryGroups(LoginAutostart(QString(), u"ebbcast"_s).entry());
    const auto& entry = launcher.value(u"Desktop Entry"_s);
    const auto& started = autostart.value(u"Desktop Entry"_s);
    for (const QString& key : {u"Type"_s, u"Name"_s, u"Comment"_s, u"Exec"_s, u"Icon"_s, u"Terminal"_s})
        EXPECT_EQ(entry.value(key), started.value(key)) << key.toStdString();
    // The icon the entries name is the one installed, and the entry's file name is the application's D-Bus
    // name, as desktops expect of an application that owns one.
    EXPECT_EQ(entry.value(u"Icon"_s), QFileInfo(iconPath).completeBaseName());
    EXPECT_EQ(QFileInfo(desktopEntryPath).completeBaseName(), u"com.tavilon.Ebbcast"_s);
    EXPECT_EQ(LoginAutostart::entryFileName(), QFileInfo(desktopEntryPath).fileName());

    // The actions control the running application, through a command the built ebbcast knows.
    const QStringList actions = entry.value(u"Actions"_s).split(u';', Qt::SkipEmptyParts);
    EXPECT_EQ(actions, (QStringList{u"Start"_s, u"Stop"_s, u"AddMarker"_s}));
    for (const QString& action : actions) {
        const QStringList exec =
            launcher.value(u"Desktop Action "_s + action).value(u"Exec"_s).split(u' ', Qt::SkipEmptyParts);
        ASSERT_GE(exec.size(), 2) << action.toStdString();
        EXPECT_EQ(exec.constFirst(), u"ebbcast"_s);
        EXPECT_EQ(exec.at(1), u"ctl"_s);
        const Outcome usage = run(QString::fromUtf8(EBBCAST_EXECUTABLE), {exec.at(1), u"--help"_s});
        EXPECT_EQ(usage.exitCode, 0) << action.toStdString() << ": " << usage.err.toStdString();
    }
}

TEST(Icon, IsAScalableSquareIconThatDrawsAtMenuSize)
{
    QSvgRenderer renderer(iconPath);
    ASSERT_TRUE(renderer.isValid());
    const QRectF box = renderer.viewBoxF();
    EXPECT_GT(box.width(), 0);
    EXPECT_EQ(box.width(), box.height());

    // At 16 px the tile fills the middle and leaves the rounded corners clear.
    QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    EXPECT_EQ(qAlpha(image.pixel(8, 8)), 255);
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(image.pixel(15, 15)), 0);
}

class ManPage : public ::testing::Test {
protected:
    // The page as man shows it, on lines long enough that nothing is broken or hyphenated, its runs of white
    // space made one space.
    static QString renderedText()
    {
        const Outcome rendered =
            run(u"groff"_s, {u"-man"_s, u"-Tascii"_s, u"-rLL=20000n"_s, u"-P-cbou"_s, manPagePath});
        EXPECT_EQ(rendered.exitCode, 0) << rendered.err.toStdString();
        return rendered.out.simplified();
    }

    // Whether the page names `word` as a word of its own (not as part of a longer option or name).
    static bool names(const QString& text, const QString& word)
    {
        return text.contains(
            QRegularExpression(u"(?<![\\w-])"_s + QRegularExpression::escape(word) + u"(?![\\w-])"_s));
    }

    // The ebbcast executable with folders of the test's own.
    Outcome ebbcast(const QStringList& arguments) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, folder_.file(u"state"_s));
        return run(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments, environment);
    }

    // The lines of a help text's section ("Commands:"), up to the blank line that ends it.
    static QStringList section(const QString& help, const QString& heading)
    {
        QStringList lines = help.split(u'\n');
        const qsizetype start = lines.indexOf(heading);
        if (start < 0)
            return {};
        lines = lines.mid(start + 1);
        const qsizetype end = lines.indexOf(QString());
        return end < 0 ? lines : lines.mid(0, end);
    }

    // The options a text names: "-h", "--help", "--duration" (from "--duration=60" too).
    static QSet<QString> optionsIn(const QString& text)
    {
        QSet<QString> options;
        static const QRegularExpression option(u"(?<![\\w-])(--?[A-Za-z][\\w-]*)"_s);
        for (auto match = option.globalMatch(text); match.hasNext();)
            options.insert(match.next().captured(1));
        return options;
    }

    test::TemporaryFolder folder_;
};

TEST_F(ManPage, FormatsWithoutAWarningAndNamesThisVersion)
{
    for (const QString& page : {manPagePath, QString(sourceDir + u"/docs/ebbcast-gateway.1"_s)}) {
        const Outcome checked = run(u"groff"_s, {u"-man"_s, u"-ww"_s, u"-z"_s, page});
        EXPECT_EQ(checked.exitCode, 0) << page.toStdString();
        EXPECT_EQ(checked.out + checked.err, QString()) << page.toStdString();
    }

    const QString source = QString::fromUtf8(test::TemporaryFolder::readAll(manPagePath));
    const QRegularExpressionMatch title = QRegularExpression(u"^\\.TH EBBCAST 1 \\S+ \"Ebbcast ([^\"]+)\""_s,
                                                             QRegularExpression::MultilineOption)
                                              .match(source);
    ASSERT_TRUE(title.hasMatch());
    EXPECT_EQ(title.captured(1), QString::fromUtf8(EBBCAST_PROJECT_VERSION));
}

// Every command `ebbcast --help` lists, with its actions, and every option it and each command's own help
// name: a command added or changed without its page fails here.
TEST_F(ManPage, NamesEveryCommandActionAndOptionTheProgramLists)
{
    const QString text = renderedText();
    const Outcome help = ebbcast({u"--help"_s});
    ASSERT_EQ(help.exitCode, 0) << help.err.toStdString();
    const QStringList commandLines = section(help.out, u"Commands:"_s);
    ASSERT_FALSE(commandLines.isEmpty()) << help.out.toStdString();

    // "  drive sign-in|sign-out|status   ...": the command, its actions, its options; continuation lines,
    // further indented, only describe.
    static const QRegularExpression commandLine(u"^  ([a-z][\\w-]*)(.*)$"_s);
    static const QRegularExpression wordGap(u"[\\s|\\[\\]]+"_s);
    static const QRegularExpression action(u"^[a-z][\\w-]*$"_s);
    QStringList commands;
    for (const QString& line : commandLines) {
        const QRegularExpressionMatch match = commandLine.match(line);
        if (!match.hasMatch())
            continue;
        const QString command = match.captured(1);
        if (!commands.contains(command))
            commands.append(command);
        EXPECT_TRUE(names(text, u"ebbcast "_s + command)) << "command " << command.toStdString();
        const QString synopsis = match.captured(2).split(u"  "_s).constFirst();
        for (const QString& word : synopsis.split(wordGap, Qt::SkipEmptyParts)) {
            if (!action.match(word).hasMatch())
                continue;
            EXPECT_TRUE(names(text, u"ebbcast "_s + command + u' ' + word))
                << "action " << command.toStdString() << ' ' << word.toStdString();
        }
    }
    for (const QString& command : {u"record"_s, u"settings"_s, u"help"_s})
        EXPECT_TRUE(commands.contains(command)) << "not read from --help: " << command.toStdString();

    QSet<QString> options = optionsIn(help.out);
    for (const QString& command : std::as_const(commands)) {
        if (command == u"help")
            continue; // the dispatcher's own: "ebbcast help COMMAND" is "ebbcast COMMAND --help"
        const Outcome usage = ebbcast({command, u"--help"_s});
        EXPECT_EQ(usage.exitCode, 0) << command.toStdString() << ": " << usage.err.toStdString();
        options.unite(optionsIn(usage.out));
    }
    for (const QString& option : {u"--headless"_s, u"--version"_s, u"--duration"_s})
        EXPECT_TRUE(options.contains(option)) << "not read from the help texts: " << option.toStdString();
    for (const QString& option : std::as_const(options))
        EXPECT_TRUE(names(text, option)) << "option " << option.toStdString();
}

TEST_F(ManPage, DescribesEverySettingAndEveryEnvironmentVariableTheReadmeLists)
{
    const QString text = renderedText();
    const Outcome usage = ebbcast({u"settings"_s, u"--help"_s});
    ASSERT_EQ(usage.exitCode, 0) << usage.err.toStdString();
    const QStringList settings = section(usage.out, u"Settings and their values:"_s);
    ASSERT_GT(settings.size(), 10) << usage.out.toStdString();
    for (const QString& line : settings) {
        const QString key = line.simplified().section(u' ', 0, 0);
        EXPECT_TRUE(names(text, key)) << "setting " << key.toStdString();
    }

    QStringList variables;
    static const QRegularExpression tableRow(u"^\\| `([A-Z][A-Z0-9_]+)` \\|"_s,
                                             QRegularExpression::MultilineOption);
    // The README's table of environment variables, up to its next heading (the build options' table, later,
    // has names of the same form).
    const QString readme = QString::fromUtf8(test::TemporaryFolder::readAll(sourceDir + u"/README.md"_s))
                               .section(u"Environment variables, read at start-up"_s, 1, 1)
                               .section(u"\n#"_s, 0, 0);
    for (auto match = tableRow.globalMatch(readme); match.hasNext();)
        variables.append(match.next().captured(1));
    for (const QString& variable : {u"EBBCAST_GOOGLE_AUTH_URL"_s, u"EBBCAST_CAMERA"_s})
        EXPECT_TRUE(variables.contains(variable)) << "not read from the README: " << variable.toStdString();
    const QString environment =
        text.section(u"ENVIRONMENT"_s, 1, 1, QString::SectionSkipEmpty).section(u"FILES"_s, 0, 0);
    for (const QString& variable : std::as_const(variables))
        EXPECT_TRUE(names(environment, variable)) << "variable " << variable.toStdString();
}

// `cmake --install` of the build folder: each file where the desktop, man and dpkg look for it, the
// compressed ones in the form Debian wants (gzip without a name or time stamp).
TEST(Installation, PutsEachFileWhereTheDesktopLooksForIt)
{
    test::TemporaryFolder prefix;
    const Outcome installed =
        run(QString::fromUtf8(EBBCAST_CMAKE_COMMAND),
            {u"--install"_s, QString::fromUtf8(EBBCAST_BINARY_DIR), u"--prefix"_s, prefix.path()});
    ASSERT_EQ(installed.exitCode, 0) << installed.out.toStdString() << installed.err.toStdString();

    EXPECT_TRUE(QFileInfo(prefix.file(u"bin/ebbcast"_s)).isExecutable());
    // The offline gateway sits beside ebbcast, where the application looks for it first.
    EXPECT_TRUE(QFileInfo(prefix.file(u"bin/ebbcast-gateway"_s)).isExecutable());
    EXPECT_EQ(
        test::TemporaryFolder::readAll(prefix.file(u"share/applications/com.tavilon.Ebbcast.desktop"_s)),
        test::TemporaryFolder::readAll(desktopEntryPath));
    EXPECT_EQ(test::TemporaryFolder::readAll(
                  prefix.file(u"share/icons/hicolor/scalable/apps/com.tavilon.Ebbcast.svg"_s)),
              test::TemporaryFolder::readAll(iconPath));
    EXPECT_TRUE(QFileInfo(prefix.file(u"share/doc/ebbcast/copyright"_s)).isFile());
    // No service file: a D-Bus call never launches a recorder.
    EXPECT_TRUE(
        QFileInfo(prefix.file(u"share/dbus-1/interfaces/com.tavilon.Ebbcast.Control1.xml"_s)).isFile());
    EXPECT_FALSE(QFileInfo::exists(prefix.file(u"share/dbus-1/services"_s)));

    const auto expectPlainGzip = [](const QString& path) {
        const QByteArray bytes = test::TemporaryFolder::readAll(path);
        ASSERT_GE(bytes.size(), 10) << path.toStdString();
        EXPECT_EQ(bytes.left(2), QByteArray("\x1f\x8b", 2)) << path.toStdString();
        EXPECT_EQ(bytes.at(3) & 0x08, 0) << "a file name is stored in " << path.toStdString();
        EXPECT_EQ(bytes.mid(4, 4), QByteArray(4, '\0')) << "a time stamp is stored in " << path.toStdString();
    };
    for (const QString& page : {u"ebbcast"_s, u"ebbcast-gateway"_s}) {
        const QString manPage = prefix.file(u"share/man/man1/%1.1.gz"_s.arg(page));
        expectPlainGzip(manPage);
        const Outcome manText = run(u"gzip"_s, {u"-dc"_s, manPage});
        EXPECT_EQ(manText.out.toUtf8(),
                  test::TemporaryFolder::readAll(sourceDir + u"/docs/%1.1"_s.arg(page)));
    }

    const QString changelog = prefix.file(u"share/doc/ebbcast/changelog.Debian.gz"_s);
    expectPlainGzip(changelog);
    const Outcome changes = run(u"gzip"_s, {u"-dc"_s, changelog});
    EXPECT_TRUE(QRegularExpression(u"^ebbcast \\("_s +
                                   QRegularExpression::escape(QString::fromUtf8(EBBCAST_PROJECT_VERSION)) +
                                   u"-[0-9][0-9A-Za-z.+~]*\\) unstable; urgency=medium\n"_s)
                    .match(changes.out)
                    .hasMatch())
        << changes.out.toStdString();
    EXPECT_TRUE(
        QRegularExpression(
            u"\n -- [^<>\n]+ <[^<>@\n]+@[^<>\n]+>  \\w{3}, \\d{2} \\w{3} \\d{4} \\d{2}:\\d{2}:\\d{2} \\+0000\n$"_s)
            .match(changes.out)
            .hasMatch())
        << changes.out.toStdString();
}

} // namespace
} // namespace ebbcast
