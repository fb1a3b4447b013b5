#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The ebbcast executable run as a user would, with its own XDG folders.
class CommandLineProcessTest : public ::testing::Test {
protected:
    std::unique_ptr<QProcess> start(const QStringList& arguments, const QString& standardOutputFile = {})
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, folder_.file(u"state"_s));
        for (const QString& name : changes_.keys())
            environment.insert(name, changes_.value(name));
        process->setProcessEnvironment(environment);
        if (!standardOutputFile.isEmpty())
            process->setStandardOutputFile(standardOutputFile);
        process->start(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments);
        return process;
    }

    int run(const QStringList& arguments, QByteArray* out = nullptr, QByteArray* err = nullptr)
    {
        auto process = start(arguments);
        EXPECT_TRUE(process->waitForFinished(20000));
        if (out)
            *out = process->readAllStandardOutput();
        if (err)
            *err = process->readAllStandardError();
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    QString settingsPath() const { return folder_.file(u"config/Tavilon/settings.json"_s); }

    QJsonObject settings() const
    {
        return QJsonDocument::fromJson(
                   test::TemporaryFolder::readAll(folder_.file(u"config/Tavilon/settings.json"_s)))
            .object();
    }

    test::TemporaryFolder folder_;
    QProcessEnvironment changes_; // to the environment of every command
};

TEST_F(CommandLineProcessTest, ExitStatusesFollowTheOutcome)
{
    QByteArray out;
    QByteArray err;
    EXPECT_EQ(run({u"--version"_s}, &out), 0);
    EXPECT_TRUE(out.startsWith("ebbcast "));
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"0.05"_s}), 0);
    EXPECT_EQ(run({u"settings"_s, u"get"_s, u"silenceThreshold"_s}, &out), 0);
    EXPECT_EQ(out, "0.05\n");
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"x"_s}, nullptr, &err), 2);
    EXPECT_TRUE(err.startsWith("ebbcast: invalid value"));
    EXPECT_EQ(run({u"bogus"_s}), 2);
    EXPECT_EQ(settings(), (QJsonObject{{u"silenceThreshold"_s, 0.05}}));
}

// Arguments in, standard output, standard error and exit status out, in order against one settings file.
// Expected streams are regular expressions that must match the whole stream.
TEST_F(CommandLineProcessTest, ArgumentsGiveTheirOutputAndExitStatus)
{
    struct Case {
        QStringList arguments;
        QByteArray input; // standard input, then its end
        int status;
        QString out;
        QString err;
    };
    const QString none = u""_s;
    const QString any = u".*"_s;
    const QString tryRecord = u"\nTry 'ebbcast record --help'\\.\n"_s;
    const Case cases[] = {
        // Every command has its own help, on standard output, with status 0; nothing runs.
        {{u"--help"_s},
         {},
         0,
         u"Usage: ebbcast \\[--headless\\] \\[--chunk-seconds SECONDS\\]\n       ebbcast COMMAND.*"_s,
         none},
        {{u"ctl"_s, u"--help"_s}, {}, 0, u"Usage: ebbcast ctl start\\|stop.*Exit status.*"_s, none},
        {{u"help"_s, u"recover"_s}, {}, 0, u"Usage: ebbcast recover\n.*"_s, none},
        {{u"record"_s, u"--help"_s},
         {},
         0,
         u"Usage: ebbcast record \\[--duration SECONDS\\].*Exit status.*"_s,
         none},
        {{u"record"_s, u"--duration=3"_s, u"-h"_s}, {}, 0, u"Usage: ebbcast record .*"_s, none},
        {{u"recover"_s, u"--help"_s}, {}, 0, u"Usage: ebbcast recover\n.*"_s, none},
        {{u"recover"_s, u"-h"_s}, {}, 0, u"Usage: ebbcast recover\n.*"_s, none},
        {{u"settings"_s, u"--help"_s},
         {},
         0,
         u"Usage: ebbcast settings list\n.*webhookURL .* \\(secret\\)\n.*"_s,
         none},
        {{u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"-h"_s},
         {},
         0,
         u"Usage: ebbcast settings .*"_s,
         none},
        {{u"-V"_s}, {}, 0, u"ebbcast \\d+\\.\\d+\\.\\d+ \\(build \\d+\\)\n"_s, none},
        // Mistakes are answered with the closest command, verb, setting or option.
        {{u"recrod"_s},
         {},
         2,
         none,
         u"ebbcast: unknown command \"recrod\"; did you mean record\\?\nTry 'ebbcast --help'\\.\n"_s},
        {{u"recover"_s, u"now"_s},
         {},
         2,
         none,
         u"ebbcast: recover takes no arguments\nTry 'ebbcast recover --help'\\.\n"_s},
        {{u"settings"_s, u"lst"_s},
         {},
         2,
         none,
         u"ebbcast: unknown settings command \"lst\"; did you mean list\\?\n.*"_s},
        {{u"settings"_s, u"get"_s, u"silenceTreshold"_s},
         {},
         2,
         none,
         u"ebbcast: unknown setting \"silenceTreshold\"; did you mean silenceThreshold\\?\n"_s},
        {{u"settings"_s, u"get"_s, u"volume"_s},
         {},
         2,
         none,
         u"ebbcast: unknown setting \"volume\"; 'ebbcast settings list' shows every setting\n"_s},
        {{u"record"_s, u"--durration"_s, u"5"_s},
         {},
         2,
         none,
         u"ebbcast: unknown option --durration; did you mean --duration\\?"_s + tryRecord},
        // --opt=value, --opt value, and -- before an argument that begins with '-'.
        {{u"record"_s, u"--duration=0"_s},
         {},
         2,
         none,
         u"ebbcast: --duration takes a number of seconds above 0\n"_s},
        {{u"record"_s, u"--duration=5"_s, u"--chunk-seconds"_s, u"x"_s},
         {},
         2,
         none,
         u"ebbcast: --chunk-seconds takes a number of seconds above 0\n"_s},
        {{u"record"_s, u"--duration=5"_s, u"later"_s},
         {},
         2,
         none,
         u"ebbcast: record takes no arguments, only options"_s + tryRecord},
        {{u"record"_s, u"--duration"_s}, {}, 2, none, u"ebbcast: --duration needs a value"_s + tryRecord},
        {{u"settings"_s, u"set"_s, u"recorderName"_s, u"-Ada-"_s},
         {},
         2,
         none,
         u"ebbcast: unknown option -Ada- \\(write -- before an argument that begins with '-'\\)\n.*"_s},
        {{u"settings"_s, u"set"_s, u"recorderName"_s, u"--"_s, u"-Ada-"_s}, {}, 0, none, none},
        {{u"settings"_s, u"get"_s, u"recorderName"_s}, {}, 0, u"-Ada-\n"_s, none},
        {{u"settings"_s, u"set"_s, u"--"_s, u"recorderName"_s, u"--help"_s}, {}, 0, none, none},
        {{u"settings"_s, u"get"_s, u"RECORDERNAME"_s}, {}, 0, u"--help\n"_s, none},
        // Ranges and forms; a negative number is a value, not an option.
        {{u"settings"_s, u"set"_s, u"SilenceThreshold"_s, u"0.5"_s}, {}, 0, none, none},
        {{u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"-0.5"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value \"-0.5\" for silenceThreshold: expected a number from 0 to 1\n"_s},
        {{u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"1.5"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value \"1.5\" for silenceThreshold: expected a number from 0 to 1\n"_s},
        {{u"settings"_s, u"set"_s, u"autoStopSilenceSeconds"_s, u"0"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value \"0\" for autoStopSilenceSeconds: expected a number of seconds above 0\n"_s},
        {{u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"-1"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value \"-1\" for defaultDisplayID: expected a display id, .*\n"_s},
        {{u"settings"_s, u"set"_s, u"defaultDisplayID"_s, u"4294967296"_s}, {}, 2, none, any},
        {{u"settings"_s, u"set"_s, u"recordingFolderPath"_s, u"Movies"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value \"Movies\" for recordingFolderPath: expected an absolute folder, or one under a home folder written with ~\n"_s},
        {{u"settings"_s, u"set"_s, u"recordingFolderPath"_s, u"~/Videos"_s}, {}, 0, none, none},
        {{u"settings"_s, u"set"_s, u"clockSyncURL"_s, u"ftp://time.example.test"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value \"ftp://time.example.test\" for clockSyncURL: expected an http:// or https:// URL, or nothing to turn it off\n"_s},
        {{u"settings"_s, u"set"_s, u"clockSyncURL"_s, u""_s}, {}, 0, none, none},
        {{u"settings"_s, u"set"_s, u"webhookURL"_s, u"hunter2"_s},
         {},
         2,
         none,
         u"ebbcast: invalid value for webhookURL: expected .*\n"_s},
        // Secrets from standard input; masked in the list, printed by get.
        {{u"settings"_s, u"set"_s, u"webhookURL"_s, u"-"_s},
         "https://hooks.example.test/hunter2\n",
         0,
         none,
         none},
        {{u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"-"_s}, "hunter2\n", 0, none, none},
        {{u"settings"_s, u"set"_s, u"googleClientSecret"_s, u"-"_s},
         "",
         2,
         none,
         u"ebbcast: no value for googleClientSecret on standard input\n"_s},
        {{u"settings"_s, u"list"_s},
         {},
         0,
         u"(?!.*hunter2).*\nwebhookURL = \\(set; shown by 'ebbcast settings get webhookURL'\\)\n.*"_s,
         none},
        {{u"--help"_s}, {}, 0, u"(?!.*hunter2)Usage: ebbcast .*"_s, none},
        {{u"settings"_s, u"get"_s, u"glossenGatewayToken"_s}, {}, 0, u"hunter2\n"_s, none},
        {{u"settings"_s, u"get"_s, u"silenceThreshold"_s}, {}, 0, u"0.5\n"_s, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(u' ').toStdString());
        auto process = start(c.arguments);
        process->write(c.input);
        process->closeWriteChannel();
        ASSERT_TRUE(process->waitForFinished(20000));
        const QString out = QString::fromUtf8(process->readAllStandardOutput());
        const QString err = QString::fromUtf8(process->readAllStandardError());
        EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process->exitCode(), c.status) << err.toStdString();
        const auto whole = [](const QString& pattern) {
            return QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                                      QRegularExpression::DotMatchesEverythingOption);
        };
        EXPECT_TRUE(whole(c.out).match(out).hasMatch()) << out.toStdString();
        EXPECT_TRUE(whole(c.err).match(err).hasMatch()) << err.toStdString();
        const bool getsTheSecret =
            c.arguments == QStringList{u"settings"_s, u"get"_s, u"glossenGatewayToken"_s};
        if (!getsTheSecret) {
            EXPECT_FALSE(out.contains(u"hunter2"_s) || err.contains(u"hunter2"_s))
                << "only get prints a secret";
        }
    }
    EXPECT_EQ(settings().value(u"glossenGatewayToken"_s), u"hunter2"_s);
}

TEST_F(CommandLineProcessTest, AFailedWriteToStandardOutputFails)
{
    if (!QFileInfo(u"/dev/full"_s).exists())
        GTEST_SKIP() << "no /dev/full here";
    const QStringList commands[] = {{u"settings"_s, u"list"_s},
                                    {u"settings"_s, u"get"_s, u"recorderName"_s},
                                    {u"--help"_s},
                                    {u"--version"_s}};
    for (const QStringList& arguments : commands) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        auto process = start(arguments, u"/dev/full"_s);
        ASSERT_TRUE(process->waitForFinished(20000));
        EXPECT_EQ(process->exitCode(), 1);
        EXPECT_TRUE(process->readAllStandardError().endsWith(
            "ebbcast: could not write to standard output: No space left on device\n"));
    }
}

TEST_F(CommandLineProcessTest, HelpAndUsageErrorsNeedNoHomeAndCreateNothing)
{
    const QString root = folder_.file(u"root"_s);
    ASSERT_TRUE(QDir().mkpath(root));
    QProcessEnvironment environment;
    environment.insert(u"PATH"_s, qEnvironmentVariable("PATH"));
    environment.insert(u"XDG_CONFIG_HOME"_s, root + u"/config"_s);
    environment.insert(u"XDG_STATE_HOME"_s, root + u"/state"_s);
    const std::pair<QStringList, int> cases[] = {
        {{u"--help"_s}, 0},
        {{u"settings"_s, u"--help"_s}, 0},
        {{u"bogus"_s}, 2},
        {{u"settings"_s, u"set"_s, u"silenceThreshold"_s, u"9"_s}, 2},
        {{u"record"_s, u"--duration"_s, u"-1"_s}, 2},
    };
    for (const auto& [arguments, status] : cases) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(root);
        process.start(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), status) << process.readAllStandardError().constData();
        EXPECT_TRUE(
            QDir(root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    }
}

TEST_F(CommandLineProcessTest, AnInterruptWhileASecretIsAwaitedWritesNothingAndEndsByTheSignal)
{
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recorderID"_s, u"ada"_s}), 0);
    const QByteArray before = test::TemporaryFolder::readAll(settingsPath());
    auto process = start({u"settings"_s, u"set"_s, u"glossenGatewayToken"_s, u"-"_s});
    ASSERT_TRUE(process->waitForStarted(20000));
    process->write("half a tok"); // no line feed: the line is not complete
    // However early the signal comes, before or after the handler is installed, the outcome is the same.
    QTest::qWait(300);
    ::kill(static_cast<pid_t>(process->processId()), SIGINT);
    ASSERT_TRUE(process->waitForFinished(20000));
    EXPECT_EQ(process->exitStatus(), QProcess::CrashExit) << process->readAllStandardError().constData();
    EXPECT_EQ(test::TemporaryFolder::readAll(settingsPath()), before);
}

TEST_F(CommandLineProcessTest, ConcurrentProcessesSettingDifferentKeysLoseNothing)
{
    const QStringList keys = {u"recorderID"_s,   u"recorderName"_s,       u"webhookURL"_s,
                              u"clockSyncURL"_s, u"micInputDeviceName"_s, u"corvanePelkoUserID"_s};
    // The addresses must look like addresses; the rest takes any text.
    const auto value = [](const QString& key, int round) -> QString {
        return u"https://example.test/"_s + key + QString::number(round);
    };
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<QProcess>> processes;
        for (const QString& key : keys)
            processes.push_back(start({u"settings"_s, u"set"_s, key, value(key, round)}));
        for (auto& process : processes) {
            ASSERT_TRUE(process->waitForFinished(20000));
            EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().constData();
        }
        const QJsonObject stored = settings();
        for (const QString& key : keys)
            EXPECT_EQ(stored.value(key).toString(), value(key, round)) << key.toStdString();
    }
}

TEST_F(CommandLineProcessTest, FullDiskFailsTheChangeWithStatusOneAndKeepsTheSettings)
{
    test::SmallDisk disk(folder_.file(u"config"_s), 64);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recorderID"_s, u"ada"_s}), 0);
    const QByteArray before = test::TemporaryFolder::readAll(settingsPath());
    {
        QFile filler(disk.file(u"filler"_s));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, '\0')) == 4096) {
        }
    }

    QByteArray err;
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"recorderName"_s, u"X"_s}, nullptr, &err), 1);
    EXPECT_TRUE(err.startsWith("ebbcast: could not save recorderName: Could not write the file"))
        << err.constData();
    EXPECT_TRUE(err.contains("No space left on device")) << err.constData();
    EXPECT_EQ(test::TemporaryFolder::readAll(settingsPath()), before);
    EXPECT_EQ(QDir(disk.file(u"Tavilon"_s)).entryList(QDir::Files | QDir::Hidden),
              (QStringList{u"settings.json"_s, u"settings.json.lock"_s}));
}

TEST_F(CommandLineProcessTest, AFifoInPlaceOfTheSettingsFileDoesNotHoldUpCommands)
{
    QDir().mkpath(folder_.file(u"config/Tavilon"_s));
    ASSERT_EQ(::mkfifo(QFile::encodeName(settingsPath()).constData(), 0600), 0);
    auto list = start({u"settings"_s, u"list"_s});
    ASSERT_TRUE(list->waitForFinished(5000)) << "the command waits for a writer";
    EXPECT_EQ(list->exitCode(), 0);
    EXPECT_TRUE(list->readAllStandardOutput().contains("recorderName = Velno\n"));
    const QByteArray log = test::TemporaryFolder::readAll(folder_.file(u"state/Tavilon/app.log"_s));
    EXPECT_EQ(log.count("[ERROR] "), 1);
    EXPECT_TRUE(log.contains("(not a regular file)")) << log.constData();

    auto set = start({u"settings"_s, u"set"_s, u"recorderName"_s, u"Ada"_s});
    ASSERT_TRUE(set->waitForFinished(5000));
    EXPECT_EQ(set->exitCode(), 0) << set->readAllStandardError().constData();
    EXPECT_EQ(settings(), (QJsonObject{{u"recorderName"_s, u"Ada"_s}}));
}

TEST_F(CommandLineProcessTest, WithoutAnAbsoluteHomeNothingIsCreated)
{
    const QString root = folder_.file(u"root"_s);
    ASSERT_TRUE(QDir().mkpath(root));
    const std::optional<QString> homes[] = {std::nullopt, u""_s, u"home"_s};
    for (const auto& home : homes) {
        SCOPED_TRACE(home.value_or(u"(unset)"_s).toStdString());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& variable :
             {u"HOME"_s, u"XDG_CONFIG_HOME"_s, u"XDG_STATE_HOME"_s, u"XDG_DATA_HOME"_s, u"XDG_CACHE_HOME"_s})
            environment.remove(variable);
        if (home)
            environment.insert(u"HOME"_s, *home);
        for (const QStringList& arguments :
             {QStringList{}, QStringList{u"settings"_s, u"set"_s, u"recorderName"_s, u"X"_s}}) {
            QProcess process;
            process.setProcessEnvironment(environment);
            process.setWorkingDirectory(root);
            process.start(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments);
            ASSERT_TRUE(process.waitForFinished(20000));
            EXPECT_EQ(process.exitCode(), 1);
            EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
            EXPECT_TRUE(process.readAllStandardError().contains(
                "ebbcast: HOME is not set to an absolute folder; cannot tell where settings, the log and "
                "recordings belong\n"));
            EXPECT_TRUE(
                QDir(root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
        }
    }
}

// With the build's default gateway, "local", live transcription is on until it is set, off for another
// gateway; the listing shows what applies.
TEST_F(CommandLineProcessTest, LiveTranscriptionFollowsTheLocalGatewayInTheListing)
{
    changes_.insert(u"EBBCAST_GATEWAY_BASE_URL"_s, u"local"_s);
    const auto list = [this] {
        QByteArray out;
        EXPECT_EQ(run({u"settings"_s, u"list"_s}, &out), 0);
        return out;
    };
    QByteArray out = list();
    EXPECT_TRUE(out.contains("\nenableLiveTranscription = true\nglossenGatewayBaseURL = local\n"))
        << out.constData();

    EXPECT_EQ(
        run({u"settings"_s, u"set"_s, u"glossenGatewayBaseURL"_s, u"https://gateway.example.test/gw"_s}), 0);
    EXPECT_TRUE(list().contains("\nenableLiveTranscription = false\n"));
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"glossenGatewayBaseURL"_s, u" Local "_s}), 0);
    EXPECT_TRUE(list().contains("\nenableLiveTranscription = true\n"));
    EXPECT_EQ(run({u"settings"_s, u"set"_s, u"enableLiveTranscription"_s, u"false"_s}), 0);
    EXPECT_TRUE(list().contains("\nenableLiveTranscription = false\n"));
    EXPECT_EQ(settings(), (QJsonObject{{u"glossenGatewayBaseURL"_s, u" Local "_s},
                                       {u"enableLiveTranscription"_s, false}}));

    EXPECT_EQ(run({u"settings"_s, u"reset"_s, u"enableLiveTranscription"_s}), 0);
    EXPECT_EQ(run({u"settings"_s, u"reset"_s, u"glossenGatewayBaseURL"_s}), 0);
    EXPECT_TRUE(list().contains("\nenableLiveTranscription = true\nglossenGatewayBaseURL = local\n"));
    changes_.insert(u"EBBCAST_GATEWAY_BASE_URL"_s, QString());
    EXPECT_TRUE(list().contains("\nenableLiveTranscription = false\nglossenGatewayBaseURL = \n"));
}

} // namespace
} // namespace ebbcast
