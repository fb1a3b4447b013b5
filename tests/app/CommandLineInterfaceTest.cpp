#include "CommandLineInterface.h"

#include "AppPaths.h"
#include "Logger.h"
#include "PreferencesStore.h"
#include "SettingValueText.h"
#include "SettingsFile.h"
#include "TemporaryFolder.h"

#include <QMetaProperty>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Runs commands the way main() does: a fresh store per command, reading what earlier commands wrote.
class CommandLineInterfaceTest : public ::testing::Test {
protected:
    struct Result {
        int status;
        QString out;
        QString err;
    };

    Result run(const QStringList& arguments)
    {
        Logger logger(paths_.logFilePath());
        SettingsFile file(paths_.settingsFilePath(), logger);
        PreferencesStore preferences(file, logger);
        Result result{};
        QTextStream out(&result.out);
        QTextStream err(&result.err);
        result.status = CommandLineInterface(paths_, preferences, file, nullptr, out, err).run(arguments);
        return result;
    }

    QByteArray settingsBytes() const { return test::TemporaryFolder::readAll(paths_.settingsFilePath()); }

    test::TemporaryFolder folder_;
    AppPaths paths_{folder_.file(u"config/Tavilon"_s), folder_.file(u"state/Tavilon"_s)};
};

TEST_F(CommandLineInterfaceTest, SetThenGetRoundTripsEveryKind)
{
    const std::pair<QString, QString> cases[] = {
        {u"autoStartRecording"_s, u"true"_s},
        {u"silenceThreshold"_s, u"0.125"_s},
        {u"defaultDisplayID"_s, u"4294967295"_s},
        {u"recorderName"_s, u"Ada Lovelace"_s},
        {u"enabledWatchListApps"_s, uR"(["Zoom","Microsoft Teams"])"_s},
        {u"audioFormat"_s, u"wav"_s},
        {u"updateFeedURL"_s, u""_s},
    };
    for (const auto& [key, value] : cases) {
        SCOPED_TRACE(key.toStdString());
        const Result set = run({u"settings"_s, u"set"_s, key, value});
        EXPECT_EQ(set.status, 0) << set.err.toStdString();
        const Result get = run({u"settings"_s, u"get"_s, key});
        EXPECT_EQ(get.status, 0);
        EXPECT_EQ(get.out, value + u'\n');
    }
}

TEST_F(CommandLineInterfaceTest, RefusedValuesLeaveTheFileUnchanged)
{
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recorderID"_s, u"ada"_s}).status, 0);
    const QByteArray before = settingsBytes();

    const QStringList refused[] = {
        {u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"loud"_s},
        {u"settings"_s, u"set"_s, u"autoStartRecording"_s, u"sometimes"_s},
        {u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"-1"_s},
        {u"settings"_s, u"set"_s, u"enabledWatchListApps"_s, u"Zoom"_s},
        {u"settings"_s, u"set"_s, u"audioFormat"_s, u"flac"_s},
        {u"settings"_s, u"set"_s, u"noSuchKey"_s, u"1"_s},
        {u"settings"_s, u"set"_s, u"objectName"_s, u"x"_s},
        {u"settings"_s, u"set"_s, u"recorderID"_s},
        {u"settings"_s, u"reset"_s, u"noSuchKey"_s},
        {u"settings"_s, u"get"_s, u"noSuchKey"_s},
    };
    for (const QStringList& arguments : refused) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const Result result = run(arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_TRUE(result.err.startsWith(u"ebbcast: "_s)) << result.err.toStdString();
        EXPECT_TRUE(result.out.isEmpty());
        EXPECT_EQ(settingsBytes(), before);
    }
    EXPECT_TRUE(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"loud"_s})
                    .err.contains(u"expected a finite number"_s));
}

TEST_F(CommandLineInterfaceTest, ResetBringsBackTheDefault)
{
    run({u"settings"_s, u"set"_s, u"recorderName"_s, u"Ada"_s});
    run({u"settings"_s, u"set"_s, u"recorderID"_s, u"ada"_s});
    EXPECT_EQ(run({u"settings"_s, u"reset"_s, u"recorderName"_s}).status, 0);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"recorderName"_s}).out, u"Velno\n"_s);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"recorderID"_s}).out, u"ada\n"_s);
}

TEST_F(CommandLineInterfaceTest, ListShowsEverySettingInOrderAndHidesSecrets)
{
    run({u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"s3cret"_s});
    const Result list = run({u"settings"_s, u"list"_s});
    EXPECT_EQ(list.status, 0);
    const QStringList lines = list.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 26);
    EXPECT_EQ(lines.first(), u"recordingFolderPath = ~/Movies/Tavilon"_s);
    EXPECT_EQ(lines.last(), u"updateFeedURL = "_s);
    EXPECT_FALSE(list.out.contains(u"s3cret"_s));
    EXPECT_TRUE(list.out.contains(u"glossenGatewayToken = (set"_s));
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"glossenGatewayToken"_s}).out, u"s3cret\n"_s);
}

TEST_F(CommandLineInterfaceTest, ValuesWithControlCharactersPrintOneSettingPerLine)
{
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recorderName"_s, u"Ada\n\u001b]0;owned\u0007"_s}).status, 0);
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recordingFolderPath"_s, u"/srv/a\u001b[2Jb"_s}).status, 0);
    const QString shownName = uR"(Ada\n\x1b]0;owned\x07)"_s;

    const Result list = run({u"settings"_s, u"list"_s});
    EXPECT_EQ(list.out.split(u'\n', Qt::SkipEmptyParts).size(), 26);
    EXPECT_TRUE(list.out.contains(u"recorderName = "_s + shownName + u'\n'));
    EXPECT_FALSE(SettingValueText::holdsControlCharacters(QString(list.out).remove(u'\n')));

    const Result overview = run({});
    EXPECT_TRUE(overview.out.contains(uR"(Recordings:       /srv/a\x1b[2Jb/)"_s))
        << overview.out.toStdString();
    EXPECT_FALSE(SettingValueText::holdsControlCharacters(QString(overview.out).remove(u'\n')));

    const Result get = run({u"settings"_s, u"get"_s, u"recorderName"_s});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, shownName + u'\n');
    EXPECT_TRUE(get.err.contains(u"recorderName holds control characters"_s)) << get.err.toStdString();
    EXPECT_TRUE(run({u"settings"_s, u"get"_s, u"recorderID"_s}).err.isEmpty());
}

TEST_F(CommandLineInterfaceTest, OverviewHelpVersionAndUnknownCommands)
{
    const Result overview = run({});
    EXPECT_EQ(overview.status, 0);
    EXPECT_TRUE(overview.out.contains(paths_.settingsFilePath()));
    EXPECT_TRUE(overview.out.contains(paths_.logFilePath()));
    EXPECT_TRUE(overview.out.contains(u"silenceThreshold = 0.025"_s));

    const Result help = run({u"--help"_s});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.startsWith(u"Usage: ebbcast"_s));

    const Result version = run({u"--version"_s});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.startsWith(u"ebbcast "_s));

    const Result unknown = run({u"--frobnicate"_s});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.err.contains(u"--help"_s));
    EXPECT_EQ(run({u"settings"_s}).status, 2);
    EXPECT_EQ(run({u"settings"_s, u"delete"_s}).status, 2);
}

TEST_F(CommandLineInterfaceTest, UnwritableSettingsFailWithStatusOne)
{
    test::TemporaryFolder::writeAll(folder_.file(u"config"_s), "a file where the folder should be");
    const Result result = run({u"settings"_s, u"set"_s, u"recorderName"_s, u"Ada"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.startsWith(u"ebbcast: could not save recorderName: "_s))
        << result.err.toStdString();
}

} // namespace
} // namespace ebbcast
