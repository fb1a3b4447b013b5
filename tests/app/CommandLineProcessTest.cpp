#include "SmallDisk.h"
#include "TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

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
    std::unique_ptr<QProcess> start(const QStringList& arguments)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, folder_.file(u"state"_s));
        process->setProcessEnvironment(environment);
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

TEST_F(CommandLineProcessTest, ConcurrentProcessesSettingDifferentKeysLoseNothing)
{
    const QStringList keys = {u"recorderID"_s,   u"recorderName"_s,       u"webhookURL"_s,
                              u"clockSyncURL"_s, u"micInputDeviceName"_s, u"corvanePelkoUserID"_s};
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<QProcess>> processes;
        for (const QString& key : keys)
            processes.push_back(start({u"settings"_s, u"set"_s, key, key + QString::number(round)}));
        for (auto& process : processes) {
            ASSERT_TRUE(process->waitForFinished(20000));
            EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().constData();
        }
        const QJsonObject stored = settings();
        for (const QString& key : keys)
            EXPECT_EQ(stored.value(key).toString(), key + QString::number(round)) << key.toStdString();
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

} // namespace
} // namespace ebbcast
