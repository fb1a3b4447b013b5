#include "app/ArgumentParser.h"
#include "app/ClosestMatch.h"
#include "app/CommandContext.h"
#include "app/CommandDispatcher.h"
#include "app/Console.h"
#include "app/InputLine.h"
#include "app/LinuxRecorderFactory.h"
#include "app/PlatformBackends.h"
#include "app/RecordCommand.h"
#include "app/RecordingProcessLock.h"
#include "app/RecoverCommand.h"
#include "app/SettingValueText.h"
#include "app/SettingsCommand.h"
#include "app/SettingsWiring.h"
#include "app/StandardErrorAlerts.h"
#include "app/StopRequest.h"
#include "capture/AppActivityMonitor.h"
#include "capture/FrontmostApplicationSource.h"
#include "capture/PermissionManager.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/AppPaths.h"
#include "core/base/BuildInfo.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/UploadManager.h"
#include "session/ActivityInhibitor.h"
#include "session/RecordingSession.h"
#include "shell/StopSignals.h"
#include "support/FakeScreenFrameSource.h"
#include "support/InMemorySecretStore.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The test's display list in place of the platform's.
class BorrowedScreens : public ScreenFrameSource {
public:
    explicit BorrowedScreens(ScreenFrameSource& screens)
        : screens_(screens)
    {}
    std::vector<ScreenDisplay> displays() override { return screens_.displays(); }
    void start(const ScreenDisplay& display, int framesPerSecond, FrameHandler frames,
               StoppedHandler stopped) override
    {
        screens_.start(display, framesPerSecond, std::move(frames), std::move(stopped));
    }
    void stop() override { screens_.stop(); }

private:
    ScreenFrameSource& screens_;
};

// A pipe whose read end stands in for standard input, holding `bytes` and then the end of input.
class InputPipe {
public:
    explicit InputPipe(const QByteArray& bytes, bool end = true)
    {
        EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
        EXPECT_EQ(::write(fds_[1], bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
        if (end)
            closeWriteEnd();
    }
    ~InputPipe()
    {
        closeWriteEnd();
        ::close(fds_[0]);
    }
    int readEnd() const { return fds_[0]; }
    void closeWriteEnd()
    {
        if (fds_[1] >= 0)
            ::close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2] = {-1, -1};
};

// Runs command lines the way main() does: parse, then build (a fresh store reading what earlier commands
// wrote), then run under the event loop.
class CommandLineInterfaceTest : public ::testing::Test {
protected:
    struct Result {
        int status;
        QString out;
        QString err;
    };

    CommandDispatcher::Invocation parse(const QStringList& arguments)
    {
        QBuffer out;
        QBuffer err;
        Console console(out, err, -1, false);
        SettingsCommand settings;
        return CommandDispatcher(console, {&settings}, paths_).parse(arguments);
    }

    Result run(const QStringList& arguments, const QByteArray& input = {})
    {
        QBuffer out;
        QBuffer err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        InputPipe in(input);
        int status = 0;
        {
            Console console(out, err, in.readEnd(), false);
            StopSignals stopSignals;
            RecordCommand record;
            RecoverCommand recover;
            SettingsCommand settings;
            CommandDispatcher commandLine(console, {&record, &recover, &settings}, paths_);
            const auto invocation = commandLine.parse(arguments);
            if (invocation.command == nullptr) {
                status = commandLine.answer(invocation);
            } else {
                Logger logger(paths_.logFilePath());
                SettingsFile file(paths_.settingsFilePath(), logger);
                PreferencesStore preferences(file, logger);
                QNetworkAccessManager network;
                PermissionManager permissions(logger);
                PlatformBackends backends = loadPlatformBackends(QProcessEnvironment::systemEnvironment());
                backends.screens = std::make_unique<BorrowedScreens>(screens_);
                AppActivityMonitor activity(*backends.frontmostApplication,
                                            SettingsWiring::watchList(preferences));
                ClockSyncManager clockSync(SettingsWiring::clockSyncConfig(preferences), logger, network);
                StandardErrorAlerts alerts(console);
                RecordingSession session(SettingsWiring::sessionSettings(preferences), permissions, activity,
                                         clockSync, logger, *backends.recorders, *backends.inhibitor, alerts);
                RecordingProcessLock lock(paths_.stateDirectory() + u"/recording.lock"_s);
                SettingsWiring settingsWiring(preferences);
                settingsWiring.connect(activity);
                settingsWiring.connect(clockSync);
                settingsWiring.connect(session);
                test::InMemorySecretStore secrets;
                const GoogleEndpoints endpoints =
                    GoogleEndpoints::fromEnvironment(QProcessEnvironment::systemEnvironment());
                GoogleAuthManager googleAuth(SettingsWiring::googleOAuthClient(preferences), secrets, network,
                                             endpoints, logger, [](const QUrl&) {}, {});
                GoogleDriveClient googleDrive(googleAuth, network, endpoints);
                const DriveWebLinks driveLinks(endpoints.driveWebURL);
                UploadManager uploads(SettingsWiring::uploadConfig(preferences), googleDrive, logger);
                CommandContext context{console,    stopSignals, paths_, preferences, file,
                                       backends,   session,     lock,   googleAuth,  googleDrive,
                                       driveLinks, uploads,     logger};
                status = commandLine.run(*invocation.command, context);
                logger.flush();
            }
        }
        return {status, QString::fromUtf8(out.data()), QString::fromUtf8(err.data())};
    }

    QByteArray settingsBytes() const { return test::TemporaryFolder::readAll(paths_.settingsFilePath()); }
    QJsonObject settings() const { return QJsonDocument::fromJson(settingsBytes()).object(); }

    test::TemporaryFolder folder_;
    AppPaths paths_{folder_.file(u"config/Tavilon"_s), folder_.file(u"state/Tavilon"_s)};
    test::FakeScreenFrameSource screens_;
};

TEST_F(CommandLineInterfaceTest, SetThenGetRoundTripsEveryKind)
{
    const std::pair<QString, QString> cases[] = {
        {u"autoStartRecording"_s, u"true"_s},
        {u"silenceThreshold"_s, u"0.125"_s},
        {u"silenceThreshold"_s, u"1"_s},
        {u"autoStopSilenceSeconds"_s, u"0.5"_s},
        {u"defaultDisplayID"_s, u"4294967295"_s},
        {u"recorderName"_s, u"Ada Lovelace"_s},
        {u"enabledWatchListApps"_s, uR"(["Zoom","Microsoft Teams"])"_s},
        {u"audioFormat"_s, u"wav"_s},
        {u"recordingFolderPath"_s, u"~/Videos/Ebbcast"_s},
        {u"clockSyncURL"_s, u"https://time.example.test:8443/now?x=1"_s},
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
        {u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"1.01"_s},
        {u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"-0.1"_s},
        {u"settings"_s, u"set"_s, u"autoStopSilenceSeconds"_s, u"0"_s},
        {u"settings"_s, u"set"_s, u"microphonePromptCooldownSeconds"_s, u"-5"_s},
        {u"settings"_s, u"set"_s, u"autoStartRecording"_s, u"sometimes"_s},
        {u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"-1"_s},
        {u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"1.5"_s},
        {u"settings"_s, u"set"_s, u"enabledWatchListApps"_s, u"Zoom"_s},
        {u"settings"_s, u"set"_s, u"audioFormat"_s, u"flac"_s},
        {u"settings"_s, u"set"_s, u"recordingFolderPath"_s, u"Movies"_s},
        {u"settings"_s, u"set"_s, u"recordingFolderPath"_s, u""_s},
        {u"settings"_s, u"set"_s, u"clockSyncURL"_s, u"ftp://time.example.test"_s},
        {u"settings"_s, u"set"_s, u"glossenGatewayBaseURL"_s, u"gateway.internal:8000"_s},
        {u"settings"_s, u"set"_s, u"updateFeedURL"_s, u"https://"_s},
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
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"loud"_s}).err,
              u"ebbcast: invalid value \"loud\" for silenceThreshold: expected a number from 0 to 1\n"_s);
    EXPECT_EQ(
        run({u"settings"_s, u"set"_s, u"microphonePromptCooldownSeconds"_s, u"-5"_s}).err,
        u"ebbcast: invalid value \"-5\" for microphonePromptCooldownSeconds: expected a number of seconds, "
        "0 or more\n"_s);
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"microphonePromptCooldownSeconds"_s, u"0"_s}).status, 0)
        << "no cooldown: every use of the microphone may ask";
}

TEST_F(CommandLineInterfaceTest, ARefusedSecretIsNeverRepeated)
{
    for (const QString& key : {u"webhookURL"_s, u"glossenGatewayToken"_s, u"googleClientSecret"_s}) {
        SCOPED_TRACE(key.toStdString());
        const QString secret = u"hunter2-"_s + key;
        // Only the address has a form to refuse; the tokens are refused for their kind only, never here.
        const Result set = run({u"settings"_s, u"set"_s, key, secret});
        EXPECT_FALSE(set.err.contains(secret)) << set.err.toStdString();
        const Result list = run({u"settings"_s, u"list"_s});
        EXPECT_FALSE(list.out.contains(u"hunter2"_s));
    }
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"webhookURL"_s, u"hunter2"_s}).err,
              u"ebbcast: invalid value for webhookURL: expected an http:// or https:// URL, or nothing to "
              "turn it off\n"_s);
}

TEST_F(CommandLineInterfaceTest, ResetBringsBackTheDefault)
{
    run({u"settings"_s, u"set"_s, u"recorderName"_s, u"Ada"_s});
    run({u"settings"_s, u"set"_s, u"recorderID"_s, u"ada"_s});
    EXPECT_EQ(run({u"settings"_s, u"reset"_s, u"recorderName"_s}).status, 0);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"recorderName"_s}).out, u"Velno\n"_s);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"recorderID"_s}).out, u"ada\n"_s);
}

TEST_F(CommandLineInterfaceTest, KeysMatchWithoutRegardToCaseAndAreStoredUnderTheirOwnName)
{
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"SILENCEthreshold"_s, u"0.5"_s}).status, 0);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"silencethreshold"_s}).out, u"0.5\n"_s);
    EXPECT_EQ(settings(), (QJsonObject{{u"silenceThreshold"_s, 0.5}}));
    EXPECT_EQ(run({u"settings"_s, u"reset"_s, u"SilenceThreshold"_s}).status, 0);
    EXPECT_EQ(settings(), QJsonObject{});
}

TEST_F(CommandLineInterfaceTest, ListShowsEverySettingInOrderAndHidesSecrets)
{
    run({u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"s3cret"_s});
    run({u"settings"_s, u"set"_s, u"webhookURL"_s, u"https://hooks.example.test/s3cret"_s});
    const Result list = run({u"settings"_s, u"list"_s});
    EXPECT_EQ(list.status, 0);
    const QStringList lines = list.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 26);
    EXPECT_EQ(lines.first(), u"recordingFolderPath = ~/Movies/Tavilon"_s);
    EXPECT_EQ(lines.last(), u"updateFeedURL = "_s);
    EXPECT_FALSE(list.out.contains(u"s3cret"_s));
    EXPECT_TRUE(list.out.contains(u"glossenGatewayToken = (set"_s));
    EXPECT_TRUE(list.out.contains(u"webhookURL = (set"_s));
    EXPECT_TRUE(list.out.contains(u"googleClientSecret = \n"_s)) << "an empty secret shows as empty";
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

    EXPECT_TRUE(list.out.contains(uR"(recordingFolderPath = /srv/a\x1b[2Jb)"_s)) << list.out.toStdString();

    const Result get = run({u"settings"_s, u"get"_s, u"recorderName"_s});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, shownName + u'\n');
    EXPECT_TRUE(get.err.contains(u"recorderName holds control characters"_s)) << get.err.toStdString();
    EXPECT_TRUE(run({u"settings"_s, u"get"_s, u"recorderID"_s}).err.isEmpty());

    const Result unknown = run({u"settings"_s, u"get"_s, u"x\u001b[2J"_s});
    EXPECT_FALSE(SettingValueText::holdsControlCharacters(QString(unknown.err).remove(u'\n')));
}

TEST_F(CommandLineInterfaceTest, ApplicationHelpVersionAndUnknownCommands)
{
    // Without arguments, and with --headless alone, the application runs (nothing is answered here).
    EXPECT_EQ(CommandDispatcher::Application::tray, parse({}).application);
    EXPECT_EQ(CommandDispatcher::Application::headless, parse({u"--headless"_s}).application);
    EXPECT_EQ(parse({u"--headless"_s}).command, nullptr);
    const Result extra = run({u"--headless"_s, u"record"_s});
    EXPECT_EQ(extra.status, 2);
    EXPECT_EQ(extra.err, u"ebbcast: --headless takes no arguments\nTry 'ebbcast --help'.\n"_s);
    // The application's chunk length, for demonstrations and tests, in the tray or headless.
    const auto headlessShort = parse({u"--headless"_s, u"--chunk-seconds"_s, u"2.5"_s});
    EXPECT_EQ(headlessShort.application, CommandDispatcher::Application::headless);
    EXPECT_EQ(headlessShort.chunkSeconds, 2.5);
    const auto trayShort = parse({u"--chunk-seconds=4"_s});
    EXPECT_EQ(trayShort.application, CommandDispatcher::Application::tray);
    EXPECT_EQ(trayShort.chunkSeconds, 4.0);
    EXPECT_EQ(parse({u"--headless"_s}).chunkSeconds, std::nullopt);
    for (const QString& bad : {u"0"_s, u"-1"_s, u"soon"_s, u"nan"_s}) {
        const Result refused = run({u"--chunk-seconds"_s, bad, u"--headless"_s});
        EXPECT_EQ(refused.status, 2) << bad.toStdString();
        EXPECT_TRUE(refused.err.startsWith(u"ebbcast: --chunk-seconds takes a number of seconds above 0"_s))
            << refused.err.toStdString();
    }
    EXPECT_EQ(run({u"--headless"_s, u"--chunk-seconds"_s}).status, 2);
    EXPECT_EQ(run({u"--headles"_s}).err,
              u"ebbcast: unknown option --headles; did you mean --headless?\nTry 'ebbcast --help'.\n"_s);

    for (const QStringList& arguments : {QStringList{u"--help"_s}, QStringList{u"-h"_s},
                                         QStringList{u"help"_s}, QStringList{u"--headless"_s, u"--help"_s}}) {
        const Result help = run(arguments);
        EXPECT_EQ(help.status, 0);
        EXPECT_TRUE(help.out.startsWith(u"Usage: ebbcast"_s));
        EXPECT_TRUE(help.out.contains(paths_.settingsFilePath()));
        EXPECT_TRUE(help.out.contains(paths_.logFilePath()));
        EXPECT_TRUE(help.out.contains(u"--headless"_s));
        for (const QString& command : {u"record"_s, u"recover"_s, u"settings set"_s})
            EXPECT_TRUE(help.out.contains(u"\n  "_s + command)) << command.toStdString();
    }

    const Result version = run({u"--version"_s});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, u"ebbcast "_s + QString::fromLatin1(BuildInfo::version) + u" (build "_s +
                               QString::fromLatin1(BuildInfo::buildNumber) + u")\n"_s);

    const Result unknown = run({u"--frobnicate"_s});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, u"ebbcast: unknown option --frobnicate\nTry 'ebbcast --help'.\n"_s);
    EXPECT_EQ(run({u"--versoin"_s}).err,
              u"ebbcast: unknown option --versoin; did you mean --version?\nTry 'ebbcast --help'.\n"_s);
    EXPECT_EQ(run({u"settings"_s}).status, 2);
    EXPECT_EQ(run({u"settings"_s, u"delete"_s}).status, 2);
    EXPECT_EQ(run({u"help"_s, u"recrod"_s}).err,
              u"ebbcast: unknown command \"recrod\"; did you mean record?\nTry 'ebbcast --help'.\n"_s);
}

TEST_F(CommandLineInterfaceTest, EveryCommandAnswersHelpWithItsOwnUsageWithoutRunning)
{
    const std::pair<QStringList, QString> cases[] = {
        {{u"record"_s, u"--help"_s}, u"Usage: ebbcast record "_s},
        {{u"record"_s, u"--duration"_s, u"5"_s, u"-h"_s}, u"Usage: ebbcast record "_s},
        {{u"help"_s, u"record"_s}, u"Usage: ebbcast record "_s},
        {{u"recover"_s, u"--help"_s}, u"Usage: ebbcast recover\n"_s},
        {{u"settings"_s, u"-h"_s}, u"Usage: ebbcast settings list\n"_s},
        {{u"settings"_s, u"set"_s, u"noSuchKey"_s, u"--help"_s}, u"Usage: ebbcast settings list\n"_s},
    };
    for (const auto& [arguments, usage] : cases) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const Result help = run(arguments);
        EXPECT_EQ(help.status, 0);
        EXPECT_TRUE(help.out.startsWith(usage)) << help.out.toStdString();
        EXPECT_TRUE(help.err.isEmpty());
    }
    EXPECT_FALSE(QFile::exists(paths_.logFilePath())) << "nothing was built";
    EXPECT_TRUE(run({u"settings"_s, u"--help"_s})
                    .out.contains(u"  silenceThreshold                a number from 0 to 1\n"_s));
}

TEST_F(CommandLineInterfaceTest, SecretsAndOtherValuesComeFromOneLineOfStandardInput)
{
    const Result token = run({u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"-"_s}, "tok en\r\nmore\n");
    EXPECT_EQ(token.status, 0) << token.err.toStdString();
    EXPECT_TRUE(token.out.isEmpty());
    EXPECT_TRUE(token.err.isEmpty()) << "no prompt when standard input is not a terminal";
    EXPECT_EQ(settings().value(u"glossenGatewayToken"_s), u"tok en"_s);

    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"webhookURL"_s, u"-"_s}, "https://hooks.example.test/a").status,
              0)
        << "the last line needs no line feed";
    EXPECT_EQ(settings().value(u"webhookURL"_s), u"https://hooks.example.test/a"_s);
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"-"_s}, "0.25\n").status, 0);
    EXPECT_EQ(settings().value(u"silenceThreshold"_s), 0.25);
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"-"_s}, "\n").status, 0);
    EXPECT_EQ(settings().value(u"glossenGatewayToken"_s), u""_s) << "an empty line clears a secret";

    const QByteArray before = settingsBytes();
    const Result none = run({u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"-"_s});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err, u"ebbcast: no value for glossenGatewayToken on standard input\n"_s);
    const Result refused = run({u"settings"_s, u"set"_s, u"webhookURL"_s, u"-"_s}, "hunter2\n");
    EXPECT_EQ(refused.status, 2);
    EXPECT_FALSE(refused.err.contains(u"hunter2"_s)) << refused.err.toStdString();
    const Result range = run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"-"_s}, "7\n");
    EXPECT_EQ(range.status, 2);
    EXPECT_EQ(settingsBytes(), before);
}

TEST_F(CommandLineInterfaceTest, ADisplayIdThatIsNotConnectedIsStoredWithANote)
{
    screens_.displayList = {{11, u"HDMI-1"_s, 0, 0, 1920, 1080, true},
                            {22, u"eDP-1"_s, 1920, 0, 1280, 800, false}};
    const Result connected = run({u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"22"_s});
    EXPECT_EQ(connected.status, 0);
    EXPECT_TRUE(connected.err.isEmpty()) << connected.err.toStdString();

    const Result missing = run({u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"33"_s});
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.err,
              u"ebbcast: no display with id 33 is connected now; the main display is recorded until "
              "it is (connected: 11 (HDMI-1), 22 (eDP-1))\n"_s);
    EXPECT_EQ(settings().value(u"defaultDisplayID"_s), 33);

    EXPECT_TRUE(run({u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"0"_s}).err.isEmpty())
        << "0 is the main one";
    screens_.unreachable = true;
    EXPECT_TRUE(run({u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"44"_s}).err.isEmpty())
        << "without a display server nothing is said";
}

TEST_F(CommandLineInterfaceTest, AnUnusableSettingsFileIsToldOncePerCommand)
{
    QDir().mkpath(paths_.configDirectory());
    test::TemporaryFolder::writeAll(paths_.settingsFilePath(),
                                    R"({"silenceThreshold": "loud", "webhookURL": 7, "audioFormat": "flac",
                                        "defaultDisplayID": -3, "recorderName": "Ada", "future": 1})");
    const Result get = run({u"settings"_s, u"get"_s, u"recorderName"_s});
    EXPECT_EQ(get.out, u"Ada\n"_s);
    const QStringList lines = get.err.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << get.err.toStdString();
    for (const QString& key :
         {u"silenceThreshold"_s, u"webhookURL"_s, u"audioFormat"_s, u"defaultDisplayID"_s})
        EXPECT_EQ(get.err.count(u" for "_s + key + u" that is not "_s), 1) << key.toStdString();
    EXPECT_TRUE(
        lines.first().startsWith(u"ebbcast: warning: the settings file "_s + paths_.settingsFilePath()));

    test::TemporaryFolder::writeAll(paths_.settingsFilePath(), "{ not json");
    const Result list = run({u"settings"_s, u"list"_s});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err.count(u"\n"_s), 1) << list.err.toStdString();
    EXPECT_TRUE(list.err.contains(u"cannot be read"_s));
    const QByteArray log = test::TemporaryFolder::readAll(paths_.logFilePath());
    EXPECT_EQ(log.count("Failed to read settings"), 1) << "the store logs it once, as before";
}

TEST_F(CommandLineInterfaceTest, UnwritableSettingsFailWithStatusOne)
{
    test::TemporaryFolder::writeAll(folder_.file(u"config"_s), "a file where the folder should be");
    const Result result = run({u"settings"_s, u"set"_s, u"recorderName"_s, u"Ada"_s});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.err.startsWith(u"ebbcast: could not save recorderName: "_s))
        << result.err.toStdString();
}

TEST(ArgumentParser, ReadsOptionsTheGnuWay)
{
    const QList<ArgumentParser::Option> options{{u"--duration"_s, true}, {u"--verbose"_s, false}};
    const auto parsed = [&options](const QStringList& arguments) {
        const auto result = ArgumentParser::parse(arguments, options);
        EXPECT_TRUE(std::holds_alternative<ArgumentParser::Parsed>(result));
        return std::get_if<ArgumentParser::Parsed>(&result) ? std::get<ArgumentParser::Parsed>(result)
                                                            : ArgumentParser::Parsed{};
    };
    const auto both = parsed({u"a"_s, u"--duration"_s, u"5"_s, u"--verbose"_s, u"b"_s});
    EXPECT_EQ(both.arguments, (QStringList{u"a"_s, u"b"_s}));
    EXPECT_EQ(both.values.value(u"--duration"_s), u"5"_s);
    EXPECT_TRUE(both.has(u"--verbose"_s));
    EXPECT_EQ(parsed({u"--duration=7"_s, u"--duration=8"_s}).values.value(u"--duration"_s), u"8"_s)
        << "last wins";
    EXPECT_EQ(parsed({u"--duration="_s}).values.value(u"--duration"_s, u"unset"_s), u""_s);
    EXPECT_EQ(parsed({u"--duration"_s, u"-3"_s}).values.value(u"--duration"_s), u"-3"_s);
    EXPECT_EQ(parsed({u"--"_s, u"--verbose"_s, u"--"_s, u"-x"_s}).arguments,
              (QStringList{u"--verbose"_s, u"--"_s, u"-x"_s}));
    EXPECT_EQ(parsed({u"-"_s, u"-0.5"_s, u"-.5"_s, u"-12"_s}).arguments,
              (QStringList{u"-"_s, u"-0.5"_s, u"-.5"_s, u"-12"_s}))
        << "standard input and negative numbers are arguments";
    EXPECT_FALSE(parsed({u"a"_s}).has(u"--verbose"_s));

    const std::pair<QStringList, QString> refused[] = {
        {{u"--durration"_s, u"5"_s}, u"unknown option --durration; did you mean --duration?"_s},
        {{u"--duration"_s}, u"--duration needs a value"_s},
        {{u"--verbose=yes"_s}, u"--verbose takes no value"_s},
        {{u"-x"_s}, u"unknown option -x (write -- before an argument that begins with '-')"_s},
        {{u"--frobnicate=1"_s}, u"unknown option --frobnicate"_s},
    };
    for (const auto& [arguments, message] : refused) {
        const auto result = ArgumentParser::parse(arguments, options);
        ASSERT_TRUE(std::holds_alternative<UsageError>(result)) << arguments.join(u' ').toStdString();
        EXPECT_EQ(std::get<UsageError>(result).message, message);
    }
    EXPECT_TRUE(ArgumentParser::asksForHelp({u"x"_s, u"-h"_s}));
    EXPECT_TRUE(ArgumentParser::asksForHelp({u"--help"_s, u"--"_s}));
    EXPECT_FALSE(ArgumentParser::asksForHelp({u"x"_s, u"--"_s, u"--help"_s}));
    EXPECT_FALSE(ArgumentParser::asksForHelp({u"--helpful"_s}));
}

TEST(ClosestMatch, SuggestsTheNearestCandidateOnlyWhenItIsClearlyMeant)
{
    const QStringList keys{u"silenceThreshold"_s, u"autoStopSilenceSeconds"_s, u"recorderID"_s,
                           u"recorderName"_s};
    EXPECT_EQ(closestMatch(u"silenceTreshold"_s, keys), u"silenceThreshold"_s);
    EXPECT_EQ(closestMatch(u"SILENCETHRESHOLD"_s, keys), u"silenceThreshold"_s);
    EXPECT_EQ(closestMatch(u"recorderNmae"_s, keys), u"recorderName"_s) << "a swap is one edit";
    EXPECT_EQ(closestMatch(u"threshold"_s, keys), u"silenceThreshold"_s) << "the only one holding it";
    EXPECT_EQ(closestMatch(u"recorder"_s, keys), u"recorderID"_s) << "nearer than recorderName";
    EXPECT_EQ(closestMatch(u"Silence"_s, keys), std::nullopt) << "two hold it, neither is near";
    EXPECT_EQ(closestMatch(u"volume"_s, keys), std::nullopt);
    EXPECT_EQ(closestMatch(u""_s, keys), std::nullopt);

    const QStringList verbs{u"list"_s, u"get"_s, u"set"_s, u"reset"_s};
    EXPECT_EQ(closestMatch(u"lst"_s, verbs), u"list"_s);
    EXPECT_EQ(closestMatch(u"et"_s, verbs), std::nullopt) << "get and set are equally near";
    EXPECT_EQ(closestMatch(u"x"_s, verbs), std::nullopt);
    EXPECT_EQ(editDistance(u"record"_s, u"recrod"_s), 1);
    EXPECT_EQ(editDistance(u"kitten"_s, u"sitting"_s), 3);
}

TEST(Console, KeepsTheStatusLineBelowMessagesOnATerminal)
{
    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    {
        Console console(out, err, -1, true);
        console.showStatus(u"00:00:01"_s);
        console.error(u"the microphone stopped"_s);
        console.showStatus(u"00:01"_s);
        console.endStatus();
        console.error(u"done"_s);
    }
    EXPECT_EQ(QString::fromUtf8(err.data()), u"\r00:00:01"
                                             "\r        \rebbcast: the microphone stopped\n00:00:01"
                                             "\r00:01   \n"
                                             "ebbcast: done\n"_s);

    QBuffer plain;
    plain.open(QIODevice::WriteOnly);
    Console console(out, plain, -1, false);
    console.showStatus(u"00:00:01"_s);
    console.error(u"x"_s);
    console.endStatus();
    EXPECT_EQ(plain.data(), "ebbcast: x\n") << "no status lines off a terminal";
}

TEST(Console, TellsWhyStandardOutputCouldNotBeWritten)
{
    class FullDevice : public QIODevice {
    public:
        FullDevice()
        {
            open(QIODevice::WriteOnly | QIODevice::Unbuffered);
            setErrorString(u"No space left on device"_s);
        }

    protected:
        qint64 readData(char*, qint64) override { return -1; }
        qint64 writeData(const char*, qint64) override { return -1; }
    };
    FullDevice full;
    QBuffer err;
    err.open(QIODevice::WriteOnly);
    Console console(full, err, -1, false);
    EXPECT_EQ(console.outputFailure(), std::nullopt) << "nothing written, nothing failed";
    console.out() << u"recorderName = Velno\n"_s;
    EXPECT_EQ(console.outputFailure(), u"No space left on device"_s);
}

TEST(RecordCommand, ShowsTheElapsedTimeInHoursMinutesAndSeconds)
{
    EXPECT_EQ(RecordCommand::elapsedText(0), u"00:00:00"_s);
    EXPECT_EQ(RecordCommand::elapsedText(999), u"00:00:00"_s);
    EXPECT_EQ(RecordCommand::elapsedText(3723500), u"01:02:03"_s);
    EXPECT_EQ(RecordCommand::elapsedText(360000000), u"100:00:00"_s);
}

TEST(InputLineReader, ReadsOneLineOrTellsWhyNot)
{
    const auto read = [](int descriptor) {
        auto reader = std::make_unique<InputLineReader>(descriptor);
        test::runTask(reader->finished());
        return reader;
    };
    {
        InputPipe input("s3cret\r\nnext line\n");
        const auto reader = read(input.readEnd());
        EXPECT_EQ(reader->outcome(), InputLineReader::Outcome::line);
        EXPECT_EQ(reader->line(), u"s3cret"_s);
    }
    {
        InputPipe input("caf\xc3\xa9");
        EXPECT_EQ(read(input.readEnd())->line(), u"caf\u00e9"_s) << "the end of input ends the line";
    }
    {
        InputPipe input("");
        EXPECT_EQ(read(input.readEnd())->outcome(), InputLineReader::Outcome::noInput);
    }
    EXPECT_EQ(read(987)->outcome(), InputLineReader::Outcome::noInput) << "a closed descriptor";
    {
        test::TemporaryFolder folder;
        test::TemporaryFolder::writeAll(folder.file(u"long"_s),
                                        QByteArray(InputLineReader::maximumLength + 2, 'a'));
        const int descriptor =
            ::open(QFile::encodeName(folder.file(u"long"_s)).constData(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(read(descriptor)->outcome(), InputLineReader::Outcome::tooLong);
        ::close(descriptor);
    }
    {
        InputPipe input("no line feed yet", false);
        InputLineReader reader(input.readEnd());
        QTimer::singleShot(50, &reader, &InputLineReader::cancel);
        test::runTask(reader.finished());
        EXPECT_EQ(reader.outcome(), InputLineReader::Outcome::cancelled);
    }
}

TEST(StopSignals, TurnsSigintAndSigtermIntoEventsAndRestoresTheirHandling)
{
    struct sigaction before {};
    ::sigaction(SIGTERM, nullptr, &before);
    {
        StopSignals stopSignals;
        EXPECT_EQ(stopSignals.received(), 0);
        stopSignals.install();
        QSignalSpy caught(&stopSignals, &StopSignals::caught);
        ::raise(SIGTERM);
        EXPECT_EQ(stopSignals.received(), SIGTERM) << "known before the event loop runs";
        ASSERT_TRUE(caught.wait(10000));
        EXPECT_EQ(caught.first().first().toInt(), SIGTERM);
        ::raise(SIGINT);
        ASSERT_TRUE(caught.wait(10000));
        EXPECT_EQ(stopSignals.received(), SIGTERM) << "the first one counts";
        EXPECT_EQ(stopSignals.exitStatus(3), 3);
    }
    struct sigaction after {};
    ::sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(StopSignals().received(), 0) << "a later command starts without a stop";
}

TEST(StopSignalsDeathTest, AStopBeforeAnythingWasMadeEndsTheProcessByThatSignal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            StopSignals stopSignals;
            stopSignals.install();
            ::raise(SIGINT);
            stopSignals.exitStatus(Command::endedBySignal);
        },
        ::testing::KilledBySignal(SIGINT), "");
}

TEST(StopRequest, ResumesItsWaiterOnceWhicheverSourceComesFirst)
{
    StopRequest stop;
    QSignalSpy requested(&stop, &StopRequest::stopRequested);
    QTimer::singleShot(20, &stop, &StopRequest::request);
    test::runTask(stop.requested());
    EXPECT_TRUE(stop.isRequested());
    stop.request();                  // a second source, later
    test::runTask(stop.requested()); // already requested: at once
    EXPECT_EQ(requested.size(), 1);
}

} // namespace
} // namespace ebbcast
